"""The stand-in shown to a second real client: FreeTDS's tsql."""

import os
import unittest

from standin_helper import StandIn, tsql

BACKUP = "BACKUP DATABASE Velloran TO DISK = N'%s' WITH INIT,SKIP\ngo\n"
UPDATE = "UPDATE SystemData SET LastBackupUtilityDate=getdate()\ngo\n"


class TsqlLogin(unittest.TestCase):
    def test_login_and_statement(self):
        with StandIn() as server:
            code, out = tsql(server, "sa", "secret", "select 42, N'h\u00e9llo'\ngo\nexit\n")
            self.assertEqual(code, 0, out)
            self.assertIn("42", out)
            self.assertIn("h\u00e9llo", out)
            logins = server.journal("login")
            self.assertEqual(len(logins), 1)
            self.assertTrue(logins[0]["ok"])
            self.assertEqual(logins[0]["user"], "sa")
            self.assertEqual(logins[0]["database"], "Velloran")
            self.assertEqual(logins[0]["instance"], "MSSQLSERVER")
            self.assertEqual(server.journal("statement")[0]["sql"], "select 42, N'h\u00e9llo'")

    def test_wrong_password_and_unknown_user_get_18456(self):
        with StandIn() as server:
            for user, password in (("sa", "Secret"), ("nobody", "secret"), ("sa", "")):
                with self.subTest(user=user, password=password):
                    code, out = tsql(server, user, password, "select 1\ngo\nexit\n")
                    self.assertNotEqual(code, 0, out)
                    # State 1 whatever the reason, as SQL Server tells a client.
                    self.assertIn("Msg 18456 (severity 14, state 1)", out)
                    self.assertIn("Login failed for user '%s'." % user, out)
            logins = server.journal("login")
            self.assertEqual([r["ok"] for r in logins], [False] * 3)
            self.assertEqual([r["state"] for r in logins], [8, 5, 8])
            with open(server.journal_path, encoding="utf-8") as journal:
                self.assertNotIn("secret", journal.read().lower())

    def test_unknown_database_gets_4060_then_18456(self):
        with StandIn() as server:
            code, out = tsql(server, "sa", "secret", "select 1\ngo\nexit\n", database="Nope")
            self.assertNotEqual(code, 0, out)
            self.assertIn("Msg 4060 (severity 11, state 1)", out)
            self.assertIn('Cannot open database "Nope" requested by the login. '
                          'The login failed.', out)
            self.assertIn("Msg 18456 (severity 14, state 1)", out)
            self.assertLess(out.index("Msg 4060"), out.index("Msg 18456"))

    def test_named_instance_has_its_own_logins(self):
        with StandIn() as server:
            code, out = tsql(server, "sa", "MarlyK5vo", "select 1\ngo\nexit\n", "VELLORAN")
            self.assertEqual(code, 0, out)
            code, out = tsql(server, "sa", "secret", "select 1\ngo\nexit\n", "VELLORAN")
            self.assertIn("Msg 18456", out)
            self.assertEqual([r["instance"] for r in server.journal("login")],
                             ["VELLORAN", "VELLORAN"])


class TsqlBackup(unittest.TestCase):
    def test_backup_writes_the_file_and_update_records_the_time(self):
        with StandIn(backup_size=12345) as server:
            path = os.path.join(server.folder, "VL.BAK")
            code, out = tsql(server, "sa", "secret", BACKUP % path + UPDATE +
                             "select LastBackupUtilityDate from SystemData\ngo\nexit\n")
            self.assertEqual(code, 0, out)
            self.assertIn("BACKUP DATABASE successfully processed", out)
            with open(path, "rb") as backup:
                content = backup.read()
            self.assertEqual(len(content), 12345)
            self.assertIn(b"Velloran", content[:100])
            self.assertGreater(len(set(content)), 200)
            self.assertEqual(server.journal("backup")[0]["path"], path)
            self.assertEqual(len(server.journal("update")), 1)
            self.assertIn("(1 row affected)", out)

    def test_backup_errors(self):
        cases = [
            ("missing folder", {}, "missing/VL.BAK", "Velloran",
             ["Msg 3201", "Operating system error 3(The system cannot find the path "
              "specified.).", "Msg 3013", "BACKUP DATABASE is terminating abnormally."]),
            ("access denied", {"faults": {"backup_error": {"number": 3201, "os_error": 5}}},
             "VL.BAK", "Velloran",
             ["Msg 3201", "Operating system error 5(Access is denied.).", "Msg 3013"]),
            ("unknown database", {}, "VL.BAK", "Nowhere",
             ["Msg 911", "Database 'Nowhere' does not exist. Make sure that the name is "
              "entered correctly."]),
            ("path is a folder", {}, "", "Velloran", ["Msg 3201", "error 5(Access is denied.)"]),
        ]
        for name, config, relative, database, expected in cases:
            with self.subTest(name), StandIn(**config) as server:
                path = os.path.join(server.folder, relative)
                script = ("BACKUP DATABASE %s TO DISK = '%s' WITH INIT\ngo\nexit\n"
                          % (database, path))
                _code, out = tsql(server, "sa", "secret", script)
                for text in expected:
                    self.assertIn(text, out)
                if relative:
                    self.assertFalse(os.path.exists(path))
                self.assertEqual(server.journal("backup"), [])
                self.assertFalse(server.journal("statement")[0]["ok"])

    def test_update_fault(self):
        fault = {"update_error": {"number": 2627, "message": "Simulated update failure."}}
        with StandIn(faults=fault) as server:
            _code, out = tsql(server, "sa", "secret", UPDATE + "exit\n")
            self.assertIn("Msg 2627", out)
            self.assertIn("Simulated update failure.", out)
            self.assertEqual(server.journal("update"), [])
            self.assertEqual(server.journal("statement")[0]["error"], 2627)

    def test_unknown_statement_is_a_syntax_error(self):
        cases = [
            ("DROP TABLE SystemData", "DROP"),
            # The marker of a command whose parameter was never bound.
            ("BACKUP DATABASE Velloran TO DISK = :path WITH INIT,SKIP", ":"),
        ]
        with StandIn() as server:
            for sql, near in cases:
                with self.subTest(sql):
                    _code, out = tsql(server, "sa", "secret", sql + "\ngo\nexit\n")
                    self.assertIn("Msg 102", out)
                    self.assertIn("Incorrect syntax near '%s'." % near, out)
            self.assertEqual(server.journal("backup"), [])

if __name__ == "__main__":
    unittest.main()
