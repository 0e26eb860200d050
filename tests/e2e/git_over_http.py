#!/usr/bin/env python3
"""Real git over HTTP with Basic authentication, git's http-backend behind a
small server on 127.0.0.1, and git-credential-tarnwel as the helper: two users
of one host keep two credentials, each clone fetches and pushes as its own user
without being asked again, and a password the server no longer takes is erased
and asked for once, leaving the other user's alone.

Usage: git_over_http.py BIN_DIR
"""
import base64
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading

BIN = os.path.abspath(sys.argv[1])
PASSWORDS = {"alice": "a-pw", "bob": "b-pw"}
SEEN = []  # the user each authenticated request came as


class GitServer(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        auth = base64.b64decode(self.headers.get("Authorization", "Basic ")[6:]).decode()
        user, _, password = auth.partition(":")
        if PASSWORDS.get(user) != password or not password:
            self.send_response(401)
            self.send_header("WWW-Authenticate", 'Basic realm="git"')
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        SEEN.append(user)
        path, _, query = self.path.partition("?")
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        env = {"PATH": os.environ["PATH"], "GIT_PROJECT_ROOT": ROOT, "GIT_HTTP_EXPORT_ALL": "1",
               "PATH_INFO": path, "QUERY_STRING": query, "REQUEST_METHOD": self.command,
               "CONTENT_TYPE": self.headers.get("Content-Type", ""), "REMOTE_USER": user,
               "CONTENT_LENGTH": str(len(body)), "REMOTE_ADDR": "127.0.0.1",
               "HTTP_GIT_PROTOCOL": self.headers.get("Git-Protocol", ""),
               "HTTP_CONTENT_ENCODING": self.headers.get("Content-Encoding", "")}
        out = subprocess.run(["git", "http-backend"], input=body, env=env,
                             capture_output=True, check=True).stdout
        head, _, rest = out.partition(b"\r\n\r\n")
        headers = [line.split(": ", 1) for line in head.decode().split("\r\n")]
        status = [int(v.split()[0]) for k, v in headers if k.lower() == "status"] or [200]
        self.send_response(status[0])
        for key, value in headers:
            if key.lower() != "status":
                self.send_header(key, value)
        self.send_header("Content-Length", str(len(rest)))
        self.end_headers()
        self.wfile.write(rest)

    do_POST = do_GET


def git(*args, cwd=None):
    """Runs git; whether it succeeded, the users the server saw, and whose
    password git asked for."""
    SEEN.clear()
    open(ASKED, "w").close()
    ran = subprocess.run(["git", *args], cwd=cwd, env=ENV, capture_output=True)
    return ran.returncode == 0, sorted(set(SEEN)), open(ASKED).read().split()


work = tempfile.mkdtemp()
ROOT, ASKED = work + "/srv", work + "/asked"
subprocess.run(["git", "init", "-q", "--bare", ROOT + "/repo.git"], check=True)
subprocess.run(["git", "-C", ROOT + "/repo.git", "config", "http.receivepack", "true"], check=True)
with open(work + "/askpass", "w") as f:  # git's own prompt: the user types the server's password
    f.write(f'#!/bin/sh\nu=${{1#*//}}; u=${{u%%@*}}; echo "$u" >>{ASKED}\n'
            f'grep "^$u " {work}/passwords | cut -d" " -f2\n')
with open(work + "/grant", "w") as f:  # the agent's confirmation: granted
    f.write("#!/bin/sh\nexit 0\n")
os.chmod(work + "/askpass", 0o700)
os.chmod(work + "/grant", 0o700)
open(work + "/passwords", "w").write("alice a-pw\nbob b-pw\n")
ENV = {"PATH": os.environ["PATH"], "HOME": work, "GIT_CONFIG_NOSYSTEM": "1",
       "GIT_ASKPASS": work + "/askpass", "TARNWEL_AGENT_RUNTIME_DIR": work,
       "TARNWEL_AGENT_ASKPASS": work + "/grant", "GIT_AUTHOR_NAME": "t", "GIT_AUTHOR_EMAIL": "t@t",
       "GIT_COMMITTER_NAME": "t", "GIT_COMMITTER_EMAIL": "t@t"}
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), GitServer)
threading.Thread(target=server.serve_forever, daemon=True).start()
url = f"127.0.0.1:{server.server_port}/repo.git"
subprocess.run(["git", "config", "--global", "credential.helper", BIN + "/git-credential-tarnwel"],
               env=ENV, check=True)
try:
    assert git("clone", "-q", f"http://alice@{url}", work + "/a") == (True, ["alice"], ["alice"])
    assert git("clone", "-q", f"http://bob@{url}", work + "/b") == (True, ["bob"], ["bob"])
    assert git("commit", "-q", "--allow-empty", "-m", "x", cwd=work + "/a") == (True, [], [])
    assert git("push", "-q", "origin", "HEAD:main", cwd=work + "/a") == (True, ["alice"], [])
    assert git("fetch", "-q", cwd=work + "/b") == (True, ["bob"], [])
    assert git("fetch", "-q", cwd=work + "/a") == (True, ["alice"], [])
    # alice's password changes: git rejects the stale one, which is erased,
    # and asks for the new one once; bob's stays.
    PASSWORDS["alice"] = "a-new"
    open(work + "/passwords", "w").write("alice a-new\nbob b-pw\n")
    assert git("fetch", "-q", cwd=work + "/a") == (False, [], [])
    assert git("fetch", "-q", cwd=work + "/a") == (True, ["alice"], ["alice"])
    assert git("fetch", "-q", cwd=work + "/a") == (True, ["alice"], [])
    assert git("fetch", "-q", cwd=work + "/b") == (True, ["bob"], [])
finally:
    subprocess.run([BIN + "/tarnwelctl", "shutdown"], env=ENV, capture_output=True)
    server.shutdown()
    shutil.rmtree(work)
print("two users of one host kept apart")
