"""The web console's API: sign-in, roles, CSRF, input checks, the audit line
of every write, and the listening rules. Runs the built tool against a
fresh SQLite demo world."""
import json
import os
import sqlite3
import ssl
import subprocess
import sys
import tempfile
import unittest
import http.client

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_fixture import Client, ConsoleUnderTest, run_tool, tool_path  # noqa: E402

LINA, MIRA, KAI = 1, 2, 3  # demo players; lina and mira are friends

READS = ["/api/session", "/api/users?search=li", "/api/players/1", "/api/players/1/friends",
         "/api/players/1/goods", "/api/players/1/messages", "/api/players/1/trades",
         "/api/players/1/invitations", "/api/audit", "/api/health"]
# Each write with a body that would succeed, and the least role allowed.
WRITES = [
    ("/api/players/1/goods", {"entries": ["1001:7天:1"], "order_id": "w-1"}, "support"),
    ("/api/players/1/messages", {"to": MIRA, "text": "hello"}, "support"),
    ("/api/players/1/unfriend", {"friend": MIRA}, "support"),
    ("/api/players/1/goods/revoke", {"row_ids": [1]}, "admin"),
    ("/api/players/1/goods/expire", {"row_ids": [1]}, "admin"),
    ("/api/console-users", {"name": "new", "role": "viewer", "password": "new-password-1"}, "admin"),
    ("/api/console-users/vic/remove", None, "admin"),
]


class ConsoleApiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.console = ConsoleUnderTest()

    @classmethod
    def tearDownClass(cls):
        cls.console.close()

    def signed_in(self, name):
        client = Client(self.console)
        status, body, _ = client.login(name)
        self.assertEqual(status, 200, body)
        return client

    def state(self):
        """What any write could change: row counts, the logins, the audit trail."""
        db = sqlite3.connect(self.console.db)
        counts = [db.execute("SELECT COUNT(*) FROM " + t).fetchone()[0]
                  for t in ("tblUserGoods", "tblUserMsg", "tblFriend", "tblGoodsOrder")]
        dues = db.execute("SELECT tDueTime FROM tblUserGoods ORDER BY nId").fetchall()
        db.close()
        with open(self.console.users_file) as f:
            logins = f.read()
        return counts, dues, logins, len(self.console.audit_lines())

    def test_without_a_valid_session_nothing_is_served_or_changed(self):
        before = self.state()
        for cookie in (None, "zelvar_session=" + "0" * 64, "zelvar_session="):
            client = Client(self.console)
            client.cookie, client.csrf = cookie, "0" * 64
            for path in READS:
                self.assertEqual(client.request("GET", path)[0], 401, path)
            for path, body, _ in WRITES + [("/api/logout", None, "viewer")]:
                status, answer, _ = client.request("POST", path, body)
                self.assertEqual(status, 401, path)
                self.assertIn("error", answer)
        self.assertEqual(self.state(), before)

    def test_wrong_password_is_refused_and_the_cookie_is_strict(self):
        client = Client(self.console)
        self.assertEqual(client.login("sam", "not-the-password")[0], 401)
        self.assertEqual(client.login("nobody", "whatever-it-is")[0], 401)
        status, body, headers = client.login("sam")
        self.assertEqual(status, 200)
        self.assertEqual(body["role"], "support")
        cookie = [v for k, v in headers if k.lower() == "set-cookie"][0]
        for attribute in ("HttpOnly", "SameSite=Strict", "Path=/", "Max-Age=28800"):
            self.assertIn(attribute, cookie)
        self.assertNotIn("Secure", cookie)  # plain HTTP on loopback
        headers = dict((k.lower(), v) for k, v in client.request("GET", "/api/session")[2])
        self.assertIn("default-src 'self'", headers["content-security-policy"])

    def test_writes_need_the_csrf_token_and_the_role(self):
        before = self.state()
        roles = ["viewer", "support", "admin"]
        for name, role in (("vic", "viewer"), ("sam", "support"), ("ana", "admin")):
            client = self.signed_in(name)
            for path, body, least in WRITES:
                token = client.csrf
                client.csrf = None
                self.assertEqual(client.request("POST", path, body)[0], 403, path + " without token")
                client.csrf = "f" * 64
                self.assertEqual(client.request("POST", path, body)[0], 403, path + " with a forged token")
                client.csrf = token
                if roles.index(role) < roles.index(least):
                    status, answer, _ = client.request("POST", path, body)
                    self.assertEqual(status, 403, path + " as " + role)
                    self.assertIn(least, answer["error"])
        self.assertEqual(self.state(), before)

    def test_bad_input_gets_400_with_a_message_and_changes_nothing(self):
        client = self.signed_in("ana")
        before = self.state()
        cases = [
            ("/api/players/abc/goods", {"entries": ["1001:7天:1"], "order_id": "b-1"}),
            ("/api/players/0/goods", {"entries": ["1001:7天:1"], "order_id": "b-1"}),
            ("/api/players/1/goods", {"entries": [], "order_id": "b-1"}),
            ("/api/players/1/goods", {"entries": "1001:7天:1", "order_id": "b-1"}),
            ("/api/players/1/goods", {"entries": ["1001:5天:1"], "order_id": "b-1"}),
            ("/api/players/1/goods", {"entries": ["1001:7天:1"]}),
            ("/api/players/1/goods", {"entries": ["1001:7天:1"], "order_id": ""}),
            ("/api/players/1/goods", {"entries": ["1001:7天:1"], "order_id": "x" * 65}),
            ("/api/players/1/goods/revoke", {"row_ids": ["1"]}),
            ("/api/players/1/goods/revoke", {"row_ids": [1, 1]}),
            ("/api/players/1/goods/expire", {"row_ids": [1], "at": "tomorrow"}),
            ("/api/players/1/messages", {"to": MIRA, "text": ""}),
            ("/api/players/1/messages", {"to": "mira", "text": "hi"}),
            ("/api/players/1/messages", {"to": MIRA, "text": "x" * 4001}),
            ("/api/players/1/unfriend", {}),
            ("/api/console-users", {"name": "a b", "role": "viewer", "password": "long-enough-1"}),
            ("/api/console-users", {"name": "ok", "role": "root", "password": "long-enough-1"}),
            ("/api/console-users", {"name": "ok", "role": "viewer", "password": "short"}),
            ("/api/console-users/ana/remove", None),
        ]
        for path, body in cases:
            status, answer, _ = client.request("POST", path, body)
            self.assertEqual(status, 400, "%s %s: %s" % (path, body, answer))
            self.assertTrue(answer["error"], path)
        status, answer, _ = client.request("POST", "/api/players/1/goods", headers={"X": "y"},
                                           body=None)
        self.assertEqual(status, 400)
        connection = http.client.HTTPConnection(self.console.host, self.console.port)
        connection.request("POST", "/api/players/1/messages", body=b"{not json",
                           headers={"Cookie": client.cookie, "X-CSRF-Token": client.csrf})
        response = connection.getresponse()
        self.assertEqual(response.status, 400)
        self.assertIn("JSON", json.loads(response.read())["error"])
        self.assertEqual(client.request("GET", "/api/players/99999/goods")[0], 404)
        self.assertEqual(client.request("GET", "/api/users?search=li&limit=0")[0], 400)
        self.assertEqual(client.request("GET", "/api/audit?since=yesterday")[0], 400)
        self.assertEqual(self.state(), before)

    def test_reads_answer_as_the_command_line_does_and_mark_nothing_read(self):
        client = self.signed_in("vic")
        for path, args in (("/api/users?search=li", ["users", "li"]),
                           ("/api/players/1/friends", ["friends", "1"]),
                           ("/api/players/1/invitations", ["invitations", "1"])):
            status, body, _ = client.request("GET", path)
            self.assertEqual(status, 200, path)
            _, out, _ = run_tool(self.console.folder, "--db", self.console.db, "--json", *args)
            expected = json.loads(out)
            for answer in (expected, body):  # the reply's clock may tick between the two
                answer.pop("server_time", None)
                answer["entries"] = [e for e in answer.get("entries", []) if e["key"] != -9999]
            self.assertEqual(body, expected, path)
        first = client.request("GET", "/api/players/1/messages")[1]
        second = client.request("GET", "/api/players/1/messages")[1]
        self.assertGreater(first["unread_total"], 0)
        self.assertEqual(first["unread_total"], second["unread_total"])
        health = client.request("GET", "/api/health")[1]
        self.assertIn("checks", health)

    def test_each_write_is_done_once_and_audited_under_the_login(self):
        support, admin = self.signed_in("sam"), self.signed_in("ana")
        audited = len(self.console.audit_lines())

        def write(client, path, body, expected=200):
            status, answer, _ = client.request("POST", path, body)
            self.assertEqual(status, expected, "%s: %s" % (path, answer))
            line = self.console.audit_lines()[-1]
            return answer, line

        grant = {"entries": ["1001:7天:1", "3150:2个:3150"], "order_id": "ticket-1"}
        answer, line = write(support, "/api/players/2/goods", grant)
        self.assertEqual((answer["granted_now"], line["operator"], line["outcome"]), (2, "sam@console", "done"))
        answer, line = write(support, "/api/players/2/goods", grant)  # a retry of the same order
        self.assertEqual((answer["granted_now"], answer["order_repeated"]), (0, True))
        db = sqlite3.connect(self.console.db)
        self.assertEqual(db.execute("SELECT COUNT(*) FROM tblGoodsOrder WHERE sOrderId='ticket-1'").fetchone()[0], 2)
        rows = [r[0] for r in db.execute("SELECT nId FROM tblUserGoods WHERE nUserId=2 ORDER BY nId")]
        db.close()
        answer, line = write(admin, "/api/players/2/goods/expire", {"row_ids": [rows[-2]]})
        self.assertEqual((line["command"], line["operator"]), ("expire", "ana@console"))
        answer, line = write(admin, "/api/players/2/goods/revoke", {"row_ids": [rows[-1]]})
        self.assertEqual((line["command"], answer["rows_changed"] > 0), ("revoke", True))
        answer, line = write(support, "/api/players/2/messages", {"to": LINA, "text": "ticket 1 done"})
        self.assertEqual((line["command"], line["outcome"]), ("message", "done"))
        # Messages go only between friends: refused, and audited as failed.
        answer, line = write(support, "/api/players/2/messages", {"to": 29, "text": "hi"}, 422)
        self.assertEqual(line["outcome"], "failed")
        answer, line = write(support, "/api/players/2/unfriend", {"friend": LINA})
        self.assertEqual((line["command"], line["outcome"]), ("unfriend", "done"))
        answer, line = write(admin, "/api/console-users", {"name": "tom", "role": "viewer",
                                                           "password": "tom-password-1"})
        self.assertEqual(line["command"], "console user add")
        tom = Client(self.console)
        self.assertEqual(tom.login("tom", "tom-password-1")[0], 200)
        answer, line = write(admin, "/api/console-users/tom/remove", None)
        self.assertEqual(tom.request("GET", "/api/session")[0], 401)  # its session ended
        self.assertEqual(len(self.console.audit_lines()), audited + 9)
        audit = support.request("GET", "/api/audit?operator=ana@console&command=revoke")[1]
        self.assertEqual([r["command"] for r in audit["rows"]], ["revoke"])

    def test_logout_ends_the_session(self):
        client = self.signed_in("vic")
        self.assertEqual(client.request("POST", "/api/logout")[0], 200)
        self.assertEqual(client.request("GET", "/api/session")[0], 401)


class ConsoleSignInLimitTest(unittest.TestCase):
    def test_failed_sign_ins_are_limited_per_name_and_address(self):
        console = ConsoleUnderTest()
        try:
            client = Client(console)
            for _ in range(5):
                self.assertEqual(client.login("sam", "wrong-password")[0], 401)
            status, body, headers = client.login("sam")  # right password, but too late
            self.assertEqual(status, 429, body)
            self.assertTrue(any(k.lower() == "retry-after" for k, _ in headers))
            self.assertEqual(client.login("ana")[0], 429)  # same address
        finally:
            console.close()


class ConsoleListenTest(unittest.TestCase):
    def console_args(self, *args):
        folder = tempfile.mkdtemp(prefix="zelvar-listen-")
        return [tool_path(), "console", "--users", os.path.join(folder, "u.json"),
                "--audit", os.path.join(folder, "a.jsonl"), *args]

    def test_other_addresses_need_tls_or_an_explicit_insecure_http(self):
        for args in (["--listen", "0.0.0.0:0"],
                     ["--listen", "0.0.0.0:0", "--tls-cert", "/nonexistent.pem", "--tls-key", "/nonexistent.pem"],
                     ["--listen", "0.0.0.0:0", "--tls-cert", "/nonexistent.pem"]):
            done = subprocess.run(self.console_args(*args), capture_output=True, text=True, timeout=30)
            self.assertEqual(done.returncode, 64, args)
            self.assertIn("--tls-", done.stderr)
        process = subprocess.Popen(self.console_args("--listen", "0.0.0.0:0", "--insecure-http"),
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.assertIn("listening on http://0.0.0.0:", process.stdout.readline())
        process.terminate()
        process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0)

    def test_tls_serves_https_with_a_secure_cookie(self):
        console_folder = tempfile.mkdtemp(prefix="zelvar-tls-")
        cert, key = os.path.join(console_folder, "cert.pem"), os.path.join(console_folder, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=127.0.0.1", "-keyout", key, "-out", cert], check=True, capture_output=True)
        console = ConsoleUnderTest(extra_args=("--tls-cert", cert, "--tls-key", key))
        try:
            context = ssl.create_default_context(cafile=cert)
            context.check_hostname = False
            connection = http.client.HTTPSConnection(console.host, console.port, context=context)
            connection.request("POST", "/api/login", body=json.dumps({"user": "vic", "password": "vic-password-1"}),
                               headers={"Content-Type": "application/json"})
            response = connection.getresponse()
            self.assertEqual(response.status, 200)
            self.assertIn("; Secure", response.getheader("Set-Cookie"))
            connection.close()
        finally:
            console.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
