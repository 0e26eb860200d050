#!/usr/bin/env python3
"""TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK against logind as python3-dbusmock's
template plays it, on a private system bus: the session's Lock signal and its
LockedHint turning true forget every secret of an agent with the setting, in
the polled loop and with wake-on-connect; an agent without it keeps them.
With no bus the agent says so once and serves on.

Usage: screen_lock.py BIN_DIR
"""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

import dbus
import dbusmock

LIMIT = 15  # seconds: far above any healthy delay; only a failed run waits this long
BIN = sys.argv.pop(1)
SESSION_INTERFACE = "org.freedesktop.login1.Session"


class Agent:
    """The real agent on a runtime directory of its own, with `settings`."""

    def __init__(self, test, settings):
        self.base = tempfile.mkdtemp()
        test.addCleanup(subprocess.run, ["rm", "-rf", self.base])
        env = {"PATH": "/usr/bin:/bin", "TARNWEL_AGENT_RUNTIME_DIR": self.base,
               "TARNWEL_AGENT_ASKPASS": "/bin/true", "XDG_SESSION_ID": "c1",
               "DBUS_SYSTEM_BUS_ADDRESS": os.environ["DBUS_SYSTEM_BUS_ADDRESS"], **settings}
        self.env = {name: value for name, value in env.items() if value is not None}
        self.process = subprocess.Popen([f"{BIN}/tarnwel-agent"], env=self.env,
                                        stderr=subprocess.PIPE, text=True)
        for cleanup in (self.process.stderr.close, self.process.wait, self.process.kill):
            test.addCleanup(cleanup)  # run last first: kill, reap, close
        self.wait_for(lambda: self.ctl("ping").returncode == 0, "serving")

    def ctl(self, *args, secret=None):
        return subprocess.run([f"{BIN}/tarnwelctl", *args], env=self.env, input=secret,
                              capture_output=True, text=True, timeout=LIMIT)

    def cached(self):
        return json.loads(self.ctl("--json", "status").stdout)["cached_profiles"]

    def wait_for(self, done, what):
        deadline = time.monotonic() + LIMIT
        while not done():
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.process.kill()
                raise AssertionError(f"never {what}: {self.process.stderr.read()}")
            time.sleep(0.01)  # polling for the event itself; the limit decides failure

    def stop(self):
        self.ctl("shutdown")
        return self.process.wait(LIMIT), self.process.stderr.read()


class ScreenLockTest(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()

    def setUp(self):
        self.logind, _ = self.spawn_server_template("logind", {}, subprocess.DEVNULL)
        self.addCleanup(self.logind.wait)
        self.addCleanup(self.logind.terminate)
        bus = self.get_dbus(system_bus=True)
        self.manager = bus.get_object("org.freedesktop.login1", "/org/freedesktop/login1")
        self.path = self.manager.AddSession("c1", "seat0", dbus.UInt32(os.getuid()), "user", True,
                                            dbus_interface=dbusmock.MOCK_IFACE)
        self.session = bus.get_object("org.freedesktop.login1", self.path)

    def test_lock_and_locked_hint_forget_every_secret_with_the_setting_only(self):
        watching = [Agent(self, {"TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK": "1",
                                 "TARNWEL_AGENT_WAKE_ON_CONNECT": wake}) for wake in "01"]
        unwatched = Agent(self, {})
        for locks in (lambda: self.session.Lock(dbus_interface=SESSION_INTERFACE),
                      lambda: self.session.SetLockedHint(True, dbus_interface=SESSION_INTERFACE)):
            for agent in watching + [unwatched]:
                for profile in ("a", "b"):
                    self.assertEqual(agent.ctl("unlock", profile, "--reason", "r",
                                               secret="s").returncode, 0)
            locks()
            for agent in watching:
                agent.wait_for(lambda agent=agent: agent.cached() == [], "wiped")
            self.assertEqual(unwatched.cached(), ["a", "b"])
        for agent in watching + [unwatched]:
            self.assertEqual(agent.stop(), (0, ""))

    def test_an_agent_in_no_session_watches_its_users_graphical_one(self):
        # As for an agent that the user's service manager starts; and GetUser
        # as logind answers it (the template's joins a string and a number).
        for method, code in (("GetSession", 'raise dbus.exceptions.DBusException("no session", '
                                            'name="org.freedesktop.login1.NoSessionForPID")'),
                             ("GetUser", 'ret = "/org/freedesktop/login1/user/%d" % args[0]')):
            self.manager.AddMethod("org.freedesktop.login1.Manager", method,
                                   "s" if method == "GetSession" else "u", "o", code,
                                   dbus_interface=dbusmock.MOCK_IFACE)
        user = self.get_dbus(system_bus=True).get_object(
            "org.freedesktop.login1", f"/org/freedesktop/login1/user/{os.getuid()}")
        user.Set("org.freedesktop.login1.User", "Display",
                 dbus.Struct(("c1", dbus.ObjectPath(self.path)), signature="so"),
                 dbus_interface=dbus.PROPERTIES_IFACE)
        agent = Agent(self, {"TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK": "1", "XDG_SESSION_ID": None})
        self.assertEqual(agent.ctl("unlock", "a", "--reason", "r", secret="s").returncode, 0)
        self.session.Lock(dbus_interface=SESSION_INTERFACE)
        agent.wait_for(lambda: agent.cached() == [], "wiped")
        self.assertEqual(agent.stop(), (0, ""))

    def test_without_a_bus_the_agent_says_so_once_and_serves(self):
        agent = Agent(self, {"TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK": "1",
                             "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent"})
        self.assertEqual(agent.ctl("unlock", "a", "--reason", "r", secret="s").returncode, 0)
        self.assertEqual(agent.stop(), (0, "tarnwel-agent: the screen lock is not watched: the "
                                           "system bus: No such file or directory (os error 2)\n"))


if __name__ == "__main__":
    unittest.main()
