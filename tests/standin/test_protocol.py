"""The stand-in at the wire: malformed input, the Browser, faults, RPC details."""

import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from standin_helper import (SCRIPT, RawClient, StandIn, batch_payload, all_headers,
                            browser_query, done_status, login7_payload, prelogin_packet, tsql)
import statements
import tds


def login_ok(tokens):
    return tokens is not None and bytes([tds.TOK_LOGINACK]) in tokens and \
        not done_status(tokens) & tds.DONE_ERROR


class MalformedInput(unittest.TestCase):
    def test_connection_is_closed_and_server_serves_the_next_one(self):
        good_prelogin = prelogin_packet()
        cases = [
            ("length below the header", struct.pack(">BBHHBB", 0x12, 1, 4, 0, 1, 0)),
            ("length above the maximum", struct.pack(">BBHHBB", 0x12, 1, 40000, 0, 1, 0)),
            ("unknown packet type first", tds.packet_header(0x42, 1, 12, 1) + b"abcd"),
            ("prelogin option outside", tds.packet_header(0x12, 1, 14, 1)
             + bytes([0x00, 0x00, 0x40, 0x00, 0x06, 0xFF])),
            ("truncated login", good_prelogin + tds.packet_header(0x10, 1, 20, 1) + b"\x01" * 12),
            ("login claiming more than it has", good_prelogin + tds.packet_header(0x10, 1, 108, 1)
             + struct.pack("<I", 5000) + b"\x00" * 96),
            ("type changes inside a message", tds.packet_header(0x12, 0, 12, 1) + b"abcd"
             + tds.packet_header(0x10, 1, 12, 2) + b"abcd"),
        ]
        with StandIn() as server:
            for name, data in cases:
                with self.subTest(name):
                    client = RawClient(server.host, server.ports["MSSQLSERVER"])
                    client.sock.sendall(data)
                    self.assertTrue(client.closed_by_server(), name)
                    client.close()
                    code, out = tsql(server, "sa", "secret", "select 7\ngo\nexit\n")
                    self.assertEqual(code, 0, out)
            self.assertIn("closing connection", server.stderr_text())

    def test_bad_requests_after_login(self):
        cases = [
            ("rpc cut short", tds.PKT_RPC, all_headers() + b"\x0d\x00sp_exe"),
            ("rpc with unknown type", tds.PKT_RPC, all_headers() + b"\xff\xff\x0a\x00\x00\x00"
             + b"\x00\x00\x99"),
            ("odd-length batch text", tds.PKT_SQL_BATCH, all_headers() + b"sel"),
            ("bulk load", 0x07, b"\x00" * 8),
        ]
        with StandIn() as server:
            for name, kind, payload in cases:
                with self.subTest(name):
                    client = RawClient(server.host, server.ports["MSSQLSERVER"])
                    self.assertTrue(login_ok(client.log_in("sa", "secret")))
                    client.send(kind, payload)
                    self.assertTrue(client.closed_by_server(), name)
                    client.close()
            code, out = tsql(server, "sa", "secret", "select 7\ngo\nexit\n")
            self.assertEqual(code, 0, out)

    def test_client_demanding_encryption_is_refused_cleanly(self):
        with StandIn() as server:
            client = RawClient(server.host, server.ports["MSSQLSERVER"])
            client.send(tds.PKT_PRELOGIN, prelogin_packet(tds.ENCRYPT_REQ)[8:])
            options = tds.parse_prelogin(client.reply())
            self.assertEqual(options[tds.PL_ENCRYPTION], bytes([tds.ENCRYPT_NOT_SUP]))
            self.assertTrue(client.closed_by_server())
            client.close()


class Browser(unittest.TestCase):
    def test_instances_are_found_by_name_only(self):
        with StandIn() as server:
            host, port = server.host, server.browser_port
            velloran = "tcp;%d;;" % server.ports["VELLORAN"]
            for name in (b"VELLORAN", b"velloran"):
                with self.subTest(name):
                    answer = browser_query(host, port, b"\x04" + name + b"\x00")
                    self.assertIsNotNone(answer)
                    self.assertIn("InstanceName;VELLORAN;", answer)
                    self.assertTrue(answer.endswith(velloran), answer)
            self.assertIsNone(browser_query(host, port, b"\x04NOPE\x00", timeout=0.5))
            self.assertIsNone(browser_query(host, port, b"\x99junk", timeout=0.5))
            both = browser_query(host, port, b"\x03")
            self.assertIn(velloran, both)
            self.assertIn("InstanceName;MSSQLSERVER;", both)
            self.assertIn("tcp;%d;;" % server.ports["MSSQLSERVER"], both)

    def test_no_browser_when_configured_off(self):
        with StandIn(browser_port=None) as server:
            self.assertIsNone(server.browser_port)


class Faults(unittest.TestCase):
    def test_silent_login_never_answers(self):
        with StandIn(faults={"silent_login": True}) as server:
            client = RawClient(server.host, server.ports["MSSQLSERVER"], timeout=1.0)
            client.send(tds.PKT_PRELOGIN, prelogin_packet()[8:])
            self.assertFalse(client.closed_by_server(timeout=1.0))
            client.close()
            self.assertEqual(server.journal(), [])

    def test_attention_cancels_a_delayed_update(self):
        with StandIn(faults={"delay_seconds": 60}) as server:
            client = RawClient(server.host, server.ports["MSSQLSERVER"], timeout=30)
            self.assertTrue(login_ok(client.log_in("sa", "secret")))
            client.send(tds.PKT_SQL_BATCH,
                        batch_payload("UPDATE SystemData SET LastBackupUtilityDate=getdate()"))
            # Sent at once: the server reads the batch first, and the attention
            # waiting behind it ends the delay whenever the delay begins.
            client.send(tds.PKT_ATTENTION, b"")
            reply = client.reply()
            self.assertTrue(done_status(reply) & tds.DONE_ATTN)
            client.close()
            self.assertEqual(server.journal("update"), [])
            self.assertTrue(server.journal("statement")[0].get("cancelled"))

    def test_backup_answer_waits_after_the_file_is_written(self):
        with StandIn(faults={"delay_after_write_seconds": 60}) as server:
            path = os.path.join(server.folder, "VL.BAK")
            client = RawClient(server.host, server.ports["MSSQLSERVER"], timeout=30)
            self.assertTrue(login_ok(client.log_in("sa", "secret")))
            client.send(tds.PKT_SQL_BATCH,
                        batch_payload("BACKUP DATABASE Velloran TO DISK = N'%s'" % path))
            deadline = time.monotonic() + 10
            while not server.journal("backup") and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(server.journal("backup")[0]["path"], path)
            self.assertEqual(os.path.getsize(path), 65536)
            client.sock.settimeout(0.3)
            with self.assertRaises(TimeoutError):
                client.sock.recv(1)  # no answer yet
            client.sock.settimeout(30)
            client.send(tds.PKT_ATTENTION, b"")
            self.assertTrue(done_status(client.reply()) & tds.DONE_ATTN)
            client.close()

    def test_dropped_update_closes_the_connection(self):
        with StandIn(faults={"drop_connection_on": "update"}) as server:
            client = RawClient(server.host, server.ports["MSSQLSERVER"])
            self.assertTrue(login_ok(client.log_in("sa", "secret")))
            client.send(tds.PKT_SQL_BATCH, batch_payload(
                "UPDATE SystemData SET LastBackupUtilityDate=getdate()"))
            self.assertIsNone(client.reply())
            client.close()
            self.assertEqual(server.journal("update"), [])

    def test_several_connections_at_once(self):
        with StandIn() as server:
            idle = [RawClient(server.host, server.ports["MSSQLSERVER"]) for _ in range(3)]
            for client in idle:
                self.assertTrue(login_ok(client.log_in("sa", "secret")))
            results = []
            threads = [threading.Thread(target=lambda: results.append(
                tsql(server, "sa", "secret", "select 5\ngo\nexit\n"))) for _ in range(3)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            self.assertEqual([code for code, _ in results], [0, 0, 0])
            for client in idle:
                client.send(tds.PKT_SQL_BATCH, batch_payload("select 1"))
                self.assertFalse(done_status(client.reply()) & tds.DONE_ERROR)
                client.close()


def nvarchar_max_param(name, text, chunk=7):
    """An RPC parameter of type nvarchar(max), its value in several PLP chunks."""
    raw = tds.encode_ucs2(text)
    value = struct.pack("<Q", len(raw))
    for start in range(0, len(raw), chunk):
        piece = raw[start:start + chunk]
        value += struct.pack("<I", len(piece)) + piece
    value += struct.pack("<I", 0)
    return tds.b_varchar(name) + b"\x00" + b"\xe7\xff\xff" + tds.COLLATION + value


def nvarchar_param(name, text):
    raw = tds.encode_ucs2(text)
    return (tds.b_varchar(name) + b"\x00" + b"\xe7" + struct.pack("<H", 8000) + tds.COLLATION
            + struct.pack("<H", len(raw)) + raw)


class Rpc(unittest.TestCase):
    def test_sp_executesql_by_name_with_plp_path(self):
        with StandIn() as server:
            path = os.path.join(server.folder, "O'Brien \u00fc.BAK")
            call = (all_headers() + tds.us_varchar("sp_executesql") + b"\x00\x00"
                    + nvarchar_max_param("", "BACKUP DATABASE Velloran TO DISK = @path WITH INIT")
                    + nvarchar_param("", "@path nvarchar(max)")
                    + nvarchar_max_param("", path))
            client = RawClient(server.host, server.ports["MSSQLSERVER"])
            self.assertTrue(login_ok(client.log_in("sa", "secret")))
            client.send(tds.PKT_RPC, call)
            reply = client.reply()
            self.assertEqual(reply[-13], tds.TOK_DONEPROC)
            self.assertFalse(struct.unpack("<H", reply[-12:-10])[0] & tds.DONE_ERROR)
            client.close()
            self.assertTrue(os.path.isfile(path))
            self.assertEqual(server.journal("statement")[0]["params"], [path])

    def test_unknown_procedure_and_undeclared_variable(self):
        cases = [
            (tds.us_varchar("sp_nothing") + b"\x00\x00", 2812),
            (b"\xff\xff\x0a\x00\x00\x00"
             + nvarchar_param("", "BACKUP DATABASE Velloran TO DISK = @other"), 137),
        ]
        with StandIn() as server:
            client = RawClient(server.host, server.ports["MSSQLSERVER"])
            self.assertTrue(login_ok(client.log_in("sa", "secret")))
            for call, number in cases:
                with self.subTest(number=number):
                    client.send(tds.PKT_RPC, all_headers() + call)
                    reply = client.reply()
                    self.assertIn(struct.pack("<I", number), reply)
                    self.assertTrue(struct.unpack("<H", reply[-12:-10])[0] & tds.DONE_ERROR)
            client.close()


class Units(unittest.TestCase):
    def test_split_statements(self):
        cases = [
            ("SET A ON; SET B OFF", ["SET A ON", "SET B OFF"]),
            ("select 'a;b'", ["select 'a;b'"]),
            ("select 'it''s;'; select 2", ["select 'it''s;'", "select 2"]),
            ("select [x;y] -- c;d\n", ["select [x;y]"]),
            ("/* a;b */ select 1;;", ["select 1"]),
            ("  ", []),
        ]
        for sql, expected in cases:
            with self.subTest(sql):
                self.assertEqual(statements.split_statements(sql), expected)

    def test_password_encoding_round_trip(self):
        for password in ("", "MarlyK5vo", "p\u00e4ss;w{rd}"):
            with self.subTest(password):
                self.assertEqual(tds.decode_password(tds.encode_password(password)), password)
        # The documented example: 'a' (0x61 0x00) goes out as 0xB3 0xA5.
        self.assertEqual(tds.encode_password("a"), b"\xb3\xa5")

    def test_login7_round_trip(self):
        login = tds.parse_login7(login7_payload("sa", "pw", "Velloran", "WS9", "app9"))
        self.assertEqual((login.user, login.password, login.database, login.hostname, login.app),
                         ("sa", "pw", "Velloran", "WS9", "app9"))


class Configuration(unittest.TestCase):
    def test_bad_config_exits_with_a_clear_message(self):
        cases = [
            ("not json", "{", "cannot read config"),
            ("bad port", json.dumps({"instances": {"VELLORAN": {"port": 70000}}}), "bad port"),
            ("bad drop", json.dumps({"faults": {"drop_connection_on": "login"}}),
             "drop_connection_on"),
        ]
        for name, text, message in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "config.json")
                with open(path, "w") as out:
                    out.write(text)
                done = subprocess.run([sys.executable, SCRIPT, "--config", path],
                                      capture_output=True, text=True, timeout=30)
                self.assertEqual(done.returncode, 2)
                self.assertIn(message, done.stderr)
                self.assertEqual(done.stdout, "")

    def test_server_ends_with_its_parent(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "config.json")
            with open(path, "w") as out:
                json.dump({"host": "127.0.0.1", "instances": {"VELLORAN": {"port": 0}},
                           "browser_port": None}, out)
            # The parent starts the server, reports its pid and is then killed.
            launcher = ("import subprocess, sys, time\n"
                        "p = subprocess.Popen([sys.executable, %r, '--config', %r,"
                        " '--exit-with-parent'], stdout=subprocess.PIPE)\n"
                        "p.stdout.readline()\n"
                        "print(p.pid, flush=True)\n"
                        "time.sleep(600)\n" % (SCRIPT, path))
            parent = subprocess.Popen([sys.executable, "-c", launcher], stdout=subprocess.PIPE)
            server_pid = int(parent.stdout.readline())
            parent.kill()
            parent.wait()
            parent.stdout.close()
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and process_alive(server_pid):
                time.sleep(0.1)
            self.assertFalse(process_alive(server_pid))


def process_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


if __name__ == "__main__":
    unittest.main()
