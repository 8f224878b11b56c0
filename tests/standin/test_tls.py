"""Encryption at the wire: the PRELOGIN answer, TLS inside PRELOGIN packets,
login-only and full TLS, certificates, and tsql as a second real client."""

import os
import ssl
import subprocess
import sys
import tempfile
import unittest

from standin_helper import (SOURCE_DIR, StandIn, TlsClient, batch_payload, done_status,
                            login7_payload, random_host)
import tds

OFF, ON, NOT_SUP, REQ = tds.ENCRYPT_OFF, tds.ENCRYPT_ON, tds.ENCRYPT_NOT_SUP, tds.ENCRYPT_REQ


def login_ok(tokens):
    return tokens is not None and bytes([tds.TOK_LOGINACK]) in tokens and \
        not done_status(tokens) & tds.DONE_ERROR


def make_ca(folder, host, name):
    done = subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "standin", "tls.py"),
                           folder, host, name], capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise AssertionError("tls.py failed: " + done.stderr)
    return done.stdout.split()


class PreloginAnswer(unittest.TestCase):
    # (server setting, client's wish, server's answer)
    TABLE = [
        ("off", OFF, NOT_SUP), ("off", ON, NOT_SUP), ("off", REQ, NOT_SUP),
        ("off", NOT_SUP, NOT_SUP),
        ("login", OFF, OFF), ("login", ON, ON), ("login", REQ, ON), ("login", NOT_SUP, NOT_SUP),
        ("forced", OFF, ON), ("forced", ON, ON), ("forced", REQ, ON), ("forced", NOT_SUP, REQ),
    ]

    def test_answers_as_sql_server_does(self):
        for mode in ("off", "login", "forced"):
            with StandIn(encryption=mode) as server:
                for setting, wish, answer in self.TABLE:
                    if setting != mode:
                        continue
                    with self.subTest(mode=mode, wish=wish):
                        client = TlsClient(server.host, server.ports["MSSQLSERVER"])
                        self.assertEqual(client.prelogin(wish), answer)
                        client.close()

    def test_forced_hangs_up_on_a_client_that_cannot_encrypt(self):
        with StandIn(encryption="forced") as server:
            client = TlsClient(server.host, server.ports["MSSQLSERVER"])
            self.assertEqual(client.prelogin(NOT_SUP), REQ)
            self.assertTrue(client.closed_by_server())
            client.close()
            self.assertEqual(server.journal("login"), [])
            self.assertEqual(server.journal("refused")[0]["reason"], "client cannot encrypt")


class Framing(unittest.TestCase):
    def test_login_only_encrypts_the_login_and_nothing_after(self):
        with StandIn(encryption="login") as server:
            client = TlsClient(server.host, server.ports["MSSQLSERVER"])
            self.assertEqual(client.prelogin(OFF), OFF)
            client.handshake()
            self.assertEqual(client.handshake_packet_types, {tds.PKT_PRELOGIN})
            self.assertEqual(client.tls.version(), "TLSv1.2")
            client.send_encrypted(tds.PKT_LOGIN7, login7_payload("SA", "secret", "Velloran"))
            self.assertTrue(login_ok(client.reply()))  # in clear
            client.send(tds.PKT_SQL_BATCH, batch_payload("select 1"))
            self.assertFalse(done_status(client.reply()) & tds.DONE_ERROR)
            client.close()
            self.assertEqual(server.journal("login")[0]["encryption"], "login-only")

    def test_full_tls_carries_every_packet(self):
        with StandIn(encryption="login") as server:
            client = TlsClient(server.host, server.ports["MSSQLSERVER"])
            self.assertEqual(client.prelogin(REQ), ON)
            client.handshake()
            client.send_encrypted(tds.PKT_LOGIN7, login7_payload("SA", "secret", "Velloran"))
            self.assertTrue(login_ok(client.encrypted_reply()))
            client.send_encrypted(tds.PKT_SQL_BATCH, batch_payload(
                "UPDATE SystemData SET LastBackupUtilityDate=getdate()"))
            reply = client.encrypted_reply()
            self.assertFalse(done_status(reply) & tds.DONE_ERROR)
            client.close()
            self.assertEqual(server.journal("login")[0]["encryption"], "full")
            self.assertEqual(len(server.journal("update")), 1)

    def test_garbage_instead_of_tls_closes_only_that_connection(self):
        cases = [
            ("bad record after the handshake", True, b"\x17\x03\x03\x00\x20" + b"x" * 32),
            ("no ClientHello inside PRELOGIN", False, tds.split_into_packets(
                tds.PKT_PRELOGIN, b"\x16\x03\x01\x00\x05hello", 4096)),
        ]
        with StandIn(encryption="forced") as server:
            for name, after_handshake, data in cases:
                with self.subTest(name):
                    client = TlsClient(server.host, server.ports["MSSQLSERVER"])
                    client.prelogin(OFF)
                    if after_handshake:
                        client.handshake()
                    client.sock.sendall(data)
                    self.assertTrue(client.closed_by_server())
                    client.close()
            client = TlsClient(server.host, server.ports["MSSQLSERVER"])
            client.prelogin(OFF)
            client.handshake()
            client.send_encrypted(tds.PKT_LOGIN7, login7_payload("SA", "secret", "Velloran"))
            self.assertTrue(login_ok(client.encrypted_reply()))
            client.close()

    def test_tls_13_only_client_is_refused(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
        context.minimum_version = ssl.TLSVersion.TLSv1_3
        with StandIn(encryption="login") as server:
            client = TlsClient(server.host, server.ports["MSSQLSERVER"], context)
            client.prelogin(OFF)
            with self.assertRaises(ssl.SSLError):
                client.handshake()
            client.close()
            self.assertTrue(server.wait_for_stderr("TLS handshake failed"), server.stderr_text())
            self.assertEqual(server.journal("login"), [])


class Certificates(unittest.TestCase):
    def verifying_context(self, ca_file):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.load_verify_locations(ca_file)
        return context

    def handshake_verified(self, server, ca_file):
        client = TlsClient(server.host, server.ports["MSSQLSERVER"],
                           self.verifying_context(ca_file), server_hostname=server.host)
        try:
            client.prelogin(OFF)
            client.handshake()
        finally:
            client.close()

    def test_self_signed_names_the_host_ip(self):
        with StandIn(encryption="login") as server:
            self.assertTrue(server.certificate)
            self.handshake_verified(server, server.certificate)

    def test_configured_certificate_is_checked_against_its_ca(self):
        host = random_host()
        with tempfile.TemporaryDirectory() as folder:
            ca, cert, key = make_ca(folder, host, "ours")
            other_ca = make_ca(folder, host, "other")[0]
            with StandIn(host=host, encryption="login",
                         certificate={"cert": cert, "key": key}) as server:
                self.assertEqual(server.certificate, cert)
                self.handshake_verified(server, ca)
                with self.assertRaises(ssl.SSLCertVerificationError):
                    self.handshake_verified(server, other_ca)

    def test_tsql_checks_the_chain_and_ip_with_a_ca_file(self):
        host = random_host()
        with tempfile.TemporaryDirectory() as folder:
            ca, cert, key = make_ca(folder, host, "ours")
            other_ca = make_ca(folder, host, "other")[0]
            with StandIn(host=host, encryption="login",
                         certificate={"cert": cert, "key": key}) as server:
                for name, ca_file, works in (("our CA", ca, True), ("another CA", other_ca, False)):
                    with self.subTest(name):
                        code, out = tsql_with_section(server, folder, ca_file)
                        self.assertEqual(code == 0, works, out)
                logins = server.journal("login")
                self.assertEqual([r["encryption"] for r in logins], ["full"])
            # A CA the client trusts, but a certificate for another address: the
            # name is checked too.
            elsewhere_ca, elsewhere_cert, elsewhere_key = make_ca(folder, random_host(), "away")
            with StandIn(host=host, encryption="login",
                         certificate={"cert": elsewhere_cert, "key": elsewhere_key}) as server:
                code, out = tsql_with_section(server, folder, elsewhere_ca)
                self.assertNotEqual(code, 0, out)
                self.assertEqual(server.journal("login"), [])

    def test_bad_certificate_files_stop_the_start(self):
        with tempfile.TemporaryDirectory() as folder:
            missing = os.path.join(folder, "none.pem")
            with self.assertRaises(RuntimeError) as raised:
                with StandIn(encryption="login", certificate={"cert": missing, "key": missing}):
                    pass
            self.assertIn("cannot load certificate", str(raised.exception))


def tsql_with_section(server, folder, ca_file):
    """tsql through a freetds.conf section that requires encryption and names a CA."""
    conf = os.path.join(folder, "freetds.conf")
    with open(conf, "w") as out:
        out.write("[checked]\n\thost = %s\n\tport = %d\n\ttds version = 7.4\n"
                  "\tencryption = require\n\tca file = %s\n"
                  % (server.host, server.ports["MSSQLSERVER"], ca_file))
    env = dict(os.environ, FREETDSCONF=conf)
    done = subprocess.run(["tsql", "-S", "checked", "-U", "SA", "-P", "secret"],
                          input="select 1\ngo\nexit\n", env=env, capture_output=True,
                          text=True, timeout=30)
    return done.returncode, done.stdout + done.stderr


if __name__ == "__main__":
    unittest.main()
