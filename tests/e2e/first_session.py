#!/usr/bin/env python3
"""The README's first session typed at a terminal, without a desktop: pasted
into an interactive bash and run by `bash -c`, answering the secret and the
login password as a person would, with cwrap's pam_wrapper in place of the
system's PAM. Then a request made without a terminal, answered with a wrong
password by `tarnwelctl confirm` at another one, and one made in the
background of a terminal.

Usage: first_session.py BIN_DIR README PAM_WRAPPER_LIBRARY PAM_WRAPPER_MODULE_DIR
"""
import contextlib
import os
import pwd
import pty
import re
import select
import subprocess
import sys
import tempfile
import time

LIMIT = 15  # seconds: far above any healthy delay; only a failed run waits this long
BIN, README, PAM_WRAPPER, PAM_MODULES = sys.argv[1:5]
PASSWORD = "login password"


def readme_session():
    text = open(README, encoding="utf-8").read()
    start = text.index("```sh\n", text.index("Hand the agent a secret, use it, forget it."))
    block = text[start + 6:text.index("```", start + 6)].splitlines()
    commands = "".join(line + "\n" for line in block if line and not line.startswith("#"))
    # Each "# ..." line is output, less a note "  (...)" after it; "…" and
    # process ids stand for what varies.
    shown = [re.sub(r"  \(.*\)$", "", line[2:]) for line in block if line.startswith("# ")]
    expected = [(line, re.sub(r"pid\\ \d+", r"pid\\ \\d+", re.escape(line).replace("…", ".*?")))
                for line in shown]
    return commands, expected


class Terminal:
    """A program on a pseudo-terminal of its own, read as a screen."""

    def __init__(self, argv, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(argv[0], argv, env)
        self.screen, self.mark = "", 0

    def expect(self, pattern):
        """Waits until `pattern` (a regex) shows after what was matched before."""
        deadline = time.monotonic() + LIMIT
        while not (found := re.compile(pattern).search(self.screen, self.mark)):
            ready, _, _ = select.select([self.fd], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(self.fd, 4096).decode(errors="replace") if ready else ""
            if not chunk:
                raise AssertionError(f"never saw {pattern!r} after: {self.screen[self.mark:]!r}")
            self.screen += chunk.replace("\r\n", "\n")
        self.mark = found.end()

    def send(self, text):
        os.write(self.fd, text.encode())

    def finish(self):
        """The exit status, once the program ends (it is killed after LIMIT)."""
        deadline = time.monotonic() + LIMIT
        while time.monotonic() < deadline:  # drained, so that no write of its blocks
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            try:
                ready and os.read(self.fd, 4096)
            except OSError:  # the terminal's last holder has closed it
                break
        else:
            os.kill(self.pid, 9)
        _, status = os.waitpid(self.pid, 0)
        os.close(self.fd)
        assert time.monotonic() < deadline, "the program did not end: " + self.screen[self.mark:]
        return os.waitstatus_to_exitcode(status)


def environment(base):
    """Every program's environment: PAM is pam_wrapper's, whose pam_matrix
    takes PASSWORD as this user's login password."""
    services = os.path.join(base, "pam.d")
    os.mkdir(services)
    matrix = f"{PAM_MODULES}/pam_matrix.so passdb={base}/passdb\n"
    for service in ("tarnwel-agent", "other"):
        with open(os.path.join(services, service), "w", encoding="utf-8") as f:
            f.write("auth required " + matrix + "account required " + matrix)
    with open(os.path.join(base, "passdb"), "w", encoding="utf-8") as f:
        f.write(f"{pwd.getpwuid(os.getuid()).pw_name}:{PASSWORD}:tarnwel-agent\n")
    env = {"PATH": BIN + ":/usr/bin:/bin", "HOME": base, "TERM": "xterm", "PS1": "$ ",
           "TARNWEL_AGENT_RUNTIME_DIR": base, "LD_PRELOAD": PAM_WRAPPER, "PAM_WRAPPER": "1",
           "PAM_WRAPPER_SERVICE_DIR": services, "UID_WRAPPER_DISABLE_DEEPBIND": "1"}
    env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
    # Under a sanitizer: its runtime need not come first, as pam_wrapper is
    # preloaded, and pam_wrapper must not load PAM with RTLD_DEEPBIND, which
    # the runtime refuses (pam_wrapper reads uid_wrapper's switch for that).
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return env


@contextlib.contextmanager
def session():
    """The environment of a private base directory, whose agent is shut down at the end."""
    with tempfile.TemporaryDirectory() as base:
        env = environment(base)
        try:
            yield env
        finally:
            subprocess.run([BIN + "/tarnwelctl", "shutdown"], env=env, capture_output=True)


def run_session(argv, paste):
    commands, expected = readme_session()
    with session() as env:
        term = Terminal(argv(commands), env)
        if paste:  # as a terminal pastes: bracketed, then Enter
            term.expect(r"\$ ")
            term.send("\x1b[200~" + commands + "\x1b[201~\r")
        for line, pattern in expected:
            if line.startswith("Password"):  # the login password, typed unseen
                term.expect(r"Password: ")
                term.send(PASSWORD + "\r")
                continue
            term.expect(pattern)
            if line.startswith("Secret for profile"):
                term.send("hunter2\r")
        if paste:
            term.send("exit 0\r")
        # "bash -c" ends with the session's last command, a "get" that finds nothing.
        assert term.finish() == (0 if paste else 1), term.screen


def run_confirm_elsewhere():
    ctl = BIN + "/tarnwelctl"
    with session() as env:
        def pending():
            return subprocess.run([ctl, "confirm", "--list"], env=env, text=True,
                                  capture_output=True).stdout

        script = subprocess.Popen([ctl, "unlock", "p", "--reason", "from a script"], env=env,
                                  stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                  start_new_session=True, text=True)
        script.stdin.write("s3cret")
        script.stdin.close()
        # Once it says that it waits, the question is posted.
        ready, _, _ = select.select([script.stderr], [], [], LIMIT)
        assert ready, "the unlock never said that it waits"
        assert script.stderr.readline() == (
            "tarnwelctl: waiting for confirmation of \"from a script\": answer it with "
            "'tarnwelctl confirm' at a terminal of yours\n")
        listed = pending()
        assert re.fullmatch(r"- from a script\n  Profile: p\n  Requested by .*/tarnwelctl "
                            r"\(pid \d+\)\n",
                            listed), listed
        term = Terminal([ctl, "confirm"], env)
        term.expect(r"Confirm: from a script\nProfile: p\nRequested by .*\nPassword: ")
        for attempt in ("y", "wrong", PASSWORD + "x"):  # neither a yes nor a wrong one
            term.send(attempt + "\r")
            term.expect(r"Password: " if attempt != PASSWORD + "x" else "refused 3 times")
        assert attempt not in term.screen, "a password was echoed"
        assert term.finish() == 0, term.screen
        assert script.wait(LIMIT) == 1
        err = script.stderr.read()  # and it said so once
        assert err == "tarnwelctl: presence check failed: the password was refused 3 " \
                      "times; nothing was stored\n", err
        assert pending() == "no confirmation is waiting\n", pending()


def run_in_background():
    """An unlock sent to the background is not stopped for its terminal: it says
    that it waits, and asks once it is brought to the foreground."""
    with session() as env:
        term = Terminal(["/bin/bash", "--norc", "--noprofile", "-i"], env)
        term.expect(r"\$ ")
        term.send("stty tostop; printf s | tarnwelctl unlock bg --reason later &\r")
        term.expect(r"waiting for confirmation of \"later\": .* or bring this job to the "
                    r"foreground\n")
        term.send("fg\r")
        term.expect(r"Confirm: later\nProfile: bg\nRequested by .*\nPassword: ")
        term.send(PASSWORD + "\r")
        term.expect(r"\$ ")  # typed before the job has ended, a line is flushed away
        term.send("tarnwelctl get bg\r")
        term.expect(r"[\r\n]s\n")
        term.send("exit\r")
        assert term.finish() == 0, term.screen


run_session(lambda commands: ["/bin/bash", "--norc", "--noprofile", "-i"], paste=True)
run_in_background()
run_session(lambda commands: ["/bin/bash", "-c", commands], paste=False)
run_confirm_elsewhere()
