"""A zelvar console on a fresh demo database, for the console's tests.

ConsoleUnderTest(folder) makes a demo world in `folder` (zelvar init --demo),
adds the logins in LOGINS, starts `zelvar console` on a free loopback port
and stops it at close(). The tool is ZELVAR_BIN (default build/bin/zelvar).
"""
import http.client
import json
import os
import re
import signal
import subprocess
import tempfile
import threading
import time

LOGINS = {
    "ana": ("admin", "ana-password-1"),
    "sam": ("support", "sam-password-1"),
    "vic": ("viewer", "vic-password-1"),
}


def tool_path():
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, "..", "..", "build", "bin", "zelvar")
    return os.path.abspath(os.environ.get("ZELVAR_BIN", default))


def run_tool(folder, *args, stdin=None):
    """Runs the tool in `folder`; returns (status, stdout, stderr)."""
    done = subprocess.run([tool_path(), *args], cwd=folder, input=stdin, capture_output=True,
                          text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


class ConsoleUnderTest:
    def __init__(self, folder=None, extra_args=()):
        self._scratch = None
        if folder is None:
            self._scratch = tempfile.TemporaryDirectory(prefix="zelvar-console-")
            folder = self._scratch.name
        self.folder = folder
        self.db = os.path.join(folder, "zelvar.db")
        self.users_file = os.path.join(folder, "console-users.json")
        self.audit_file = os.path.join(folder, "audit.jsonl")
        status, out, err = run_tool(folder, "init", "--demo", "--db", self.db)
        if status != 0:
            raise RuntimeError("zelvar init --demo failed: " + err)
        for name, (role, password) in LOGINS.items():
            status, out, err = run_tool(folder, "console", "user", "add", name, "--role", role,
                                        "--password-stdin", "--users", self.users_file,
                                        stdin=password + "\n")
            if status != 0:
                raise RuntimeError("zelvar console user add failed: " + err)
        self.log = open(os.path.join(folder, "console.log"), "w+")
        self.process = subprocess.Popen(
            [tool_path(), "console", "--listen", "127.0.0.1:0", "--db", self.db, "--users", self.users_file,
             "--audit", self.audit_file, *extra_args],
            cwd=folder, stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline()
        match = re.search(r"listening on (https?)://([0-9.]+):([0-9]+)/", line)
        if not match:
            self.close()
            raise RuntimeError("the console did not start: " + line + self.log_text())
        self.scheme, self.host, self.port = match.group(1), match.group(2), int(match.group(3))
        # Whatever else it prints must not fill the pipe and stop it.
        threading.Thread(target=self.process.stdout.read, daemon=True).start()
        self.url = "%s://%s:%d" % (self.scheme, self.host, self.port)

    def log_text(self):
        self.log.flush()
        self.log.seek(0)
        return self.log.read()

    def audit_lines(self):
        if not os.path.exists(self.audit_file):
            return []
        with open(self.audit_file, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        if self._scratch is not None:
            self._scratch.cleanup()


class Client:
    """One API client with its own login cookie and CSRF token."""

    def __init__(self, console):
        self.console = console
        self.cookie = None
        self.csrf = None

    def request(self, method, path, body=None, csrf=True, headers=None):
        """Returns (HTTP status, parsed JSON or None, raw headers)."""
        connection = http.client.HTTPConnection(self.console.host, self.console.port, timeout=60)
        sent = dict(headers or {})
        if self.cookie:
            sent["Cookie"] = self.cookie
        if csrf and self.csrf and method != "GET":
            sent["X-CSRF-Token"] = self.csrf
        data = None
        if body is not None:
            data = json.dumps(body).encode("utf-8")
            sent["Content-Type"] = "application/json"
        connection.request(method, path, body=data, headers=sent)
        response = connection.getresponse()
        raw = response.read()
        connection.close()
        try:
            parsed = json.loads(raw.decode("utf-8")) if raw else None
        except ValueError:
            parsed = None
        return response.status, parsed, response.getheaders()

    def login(self, name, password=None):
        if password is None:
            password = LOGINS[name][1]
        status, body, headers = self.request("POST", "/api/login", {"user": name, "password": password})
        for key, value in headers:
            if key.lower() == "set-cookie" and value.startswith("zelvar_session="):
                self.cookie = value.split(";", 1)[0]
        if status == 200:
            self.csrf = body["csrf"]
        return status, body, headers


def wait_until(predicate, seconds=10.0):
    end = time.time() + seconds
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()
