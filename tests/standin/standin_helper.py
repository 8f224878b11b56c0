"""Starts the stand-in SQL Server for a Python test and stops it afterwards."""

import json
import os
import random
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.environ.get(
    "VL_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
SCRIPT = os.path.join(SOURCE_DIR, "standin", "sqlstandin.py")
sys.path.insert(0, os.path.join(SOURCE_DIR, "standin"))


def random_host():
    # 127.0.0.x stays free for tests that must use localhost itself.
    return "127.%d.%d.%d" % tuple(random.randint(1, 254) for _ in range(3))


class StandIn:
    """with StandIn(logins=..., faults=...) as server: server.host, server.ports, ..."""

    def __init__(self, **config):
        self.folder = tempfile.mkdtemp(prefix="vlstandin.")
        self.journal_path = os.path.join(self.folder, "journal.jsonl")
        self.config = {
            "host": random_host(),
            "instances": {"MSSQLSERVER": {"port": 1433}, "VELLORAN": {"port": 0}},
            "browser_port": 1434,
            "logins": {"MSSQLSERVER": [{"user": "SA", "password": "secret"}],
                       "VELLORAN": [{"user": "sa", "password": "MarlyK5vo"}]},
            "journal": self.journal_path,
        }
        self.config.update(config)
        self.process = None

    def __enter__(self):
        config_path = os.path.join(self.folder, "config.json")
        with open(config_path, "w", encoding="utf-8") as out:
            json.dump(self.config, out)
        self.stderr = open(os.path.join(self.folder, "stderr.txt"), "w+")
        self.process = subprocess.Popen([sys.executable, "-u", SCRIPT, "--config", config_path,
                                         "--exit-with-parent"],
                                        stdout=subprocess.PIPE, stderr=self.stderr)
        ready = self._ready_line(30)
        if not ready:
            why = self.stderr_text()
            self.__exit__(None, None, None)
            raise RuntimeError("stand-in did not start: " + why)
        info = json.loads(ready)
        self.host = info["host"]
        self.ports = info["instances"]
        self.browser_port = info["browser_port"]
        self.certificate = info["certificate"]
        return self

    def _ready_line(self, timeout):
        deadline = time.monotonic() + timeout
        line = b""
        while time.monotonic() < deadline:
            readable, _, _ = select.select([self.process.stdout], [], [], 0.1)
            if readable:
                byte = os.read(self.process.stdout.fileno(), 1)
                if not byte:
                    return None
                if byte == b"\n":
                    return line.decode()
                line += byte
        return None

    def __exit__(self, *_exc):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process.stdout.close()
            self.process = None
        self.stderr.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def stderr_text(self):
        with open(os.path.join(self.folder, "stderr.txt")) as source:
            return source.read()

    def wait_for_stderr(self, text, timeout=10.0):
        """Whether the server's stderr shows text within timeout (it logs after the client hears)."""
        deadline = time.monotonic() + timeout
        while text not in self.stderr_text():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        return True

    def journal(self, event=None):
        if not os.path.exists(self.journal_path):
            return []
        with open(self.journal_path, encoding="utf-8") as source:
            records = [json.loads(line) for line in source if line.strip()]
        return [r for r in records if event is None or r["event"] == event]


def tsql(server, user, password, script, instance="MSSQLSERVER", database="Velloran",
         timeout=30):
    """Runs tsql against the server; returns (exit code, stdout + stderr)."""
    env = dict(os.environ, TDSVER="7.4")
    # Keep tsql away from any freetds.conf on the machine.
    env["FREETDSCONF"] = os.devnull
    command = ["tsql", "-H", server.host, "-p", str(server.ports[instance]),
               "-U", user, "-P", password, "-D", database]
    done = subprocess.run(command, input=script, env=env, capture_output=True, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout + done.stderr


def prelogin_packet(encryption=0x00):
    """A minimal PRELOGIN a client would send: its version and encryption wish."""
    import tds
    body = bytes([0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00, 0x01, 0xFF,
                  9, 0, 0, 0, 0, 0, encryption])
    return tds.packet_header(tds.PKT_PRELOGIN, tds.STATUS_EOM, 8 + len(body), 1) + body


def recv_some(sock, timeout):
    sock.settimeout(timeout)
    try:
        return sock.recv(65536)
    except socket.timeout:
        return None


def browser_query(host, port, request, timeout=1.0):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.settimeout(timeout)
        sock.sendto(request, (host, port))
        try:
            reply, _ = sock.recvfrom(65536)
        except socket.timeout:
            return None
    if reply[0] != 0x05:
        raise AssertionError("not an SVR_RESP: %r" % reply[:1])
    size = struct.unpack("<H", reply[1:3])[0]
    return reply[3:3 + size].decode("latin-1")


def login7_payload(user, password, database, hostname="RAWCLIENT", app="raw"):
    """A LOGIN7 record as a TDS 7.4 client builds it."""
    import tds
    fields = [tds.encode_ucs2(hostname), tds.encode_ucs2(user), tds.encode_password(password),
              tds.encode_ucs2(app), tds.encode_ucs2("server"), b"", tds.encode_ucs2("raw"),
              b"", tds.encode_ucs2(database)]
    fixed = 94
    offsets, data = b"", b""
    for index, raw in enumerate(fields):
        count = len(raw) if index == 5 else len(raw) // 2
        offsets += struct.pack("<HH", fixed + len(data), count)
        data += raw
    offsets += b"\x00" * 6 + struct.pack("<HHHHHHI", fixed + len(data), 0, fixed + len(data), 0,
                                         fixed + len(data), 0, 0)
    head = struct.pack("<IIIIII", fixed + len(data), tds.TDS74, 4096, 7, 1234, 0)
    head += bytes([0xE0, 0x03, 0x00, 0x00]) + struct.pack("<iI", 0, 0x409)
    record = head + offsets + data
    assert len(head + offsets) == fixed
    return record


class RawClient:
    """Speaks TDS by hand, for what the real clients cannot be made to send."""

    def __init__(self, host, port, timeout=10.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)

    def close(self):
        self.sock.close()

    def send(self, kind, payload):
        import tds
        self.sock.sendall(tds.split_into_packets(kind, payload, 4096))

    def reply(self):
        """The token stream of the next reply message; None when the server hung up."""
        import tds
        out = b""
        while True:
            header = self._exactly(8)
            if header is None:
                return None
            _kind, status, length = tds.parse_header(header)
            body = self._exactly(length - 8)
            if body is None:
                return None
            out += body
            if status & tds.STATUS_EOM:
                return out

    def _exactly(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def log_in(self, user, password, database="Velloran"):
        import tds
        self.send(tds.PKT_PRELOGIN, prelogin_packet()[8:])
        self.reply()
        self.send(tds.PKT_LOGIN7, login7_payload(user, password, database))
        return self.reply()

    def closed_by_server(self, timeout=10.0):
        self.sock.settimeout(timeout)
        try:
            while True:
                if not self.sock.recv(65536):
                    return True
        except socket.timeout:
            return False
        except ConnectionError:
            return True


def all_headers():
    """ALL_HEADERS with the transaction descriptor header every 7.2+ request carries."""
    header = struct.pack("<IHQI", 18, 2, 0, 1)
    return struct.pack("<I", 4 + len(header)) + header


def batch_payload(sql):
    import tds
    return all_headers() + tds.encode_ucs2(sql)


def done_status(tokens):
    """Status of the final DONE token of a reply."""
    import tds
    if len(tokens) < 13 or tokens[-13] != tds.TOK_DONE:
        raise AssertionError("reply does not end in DONE: %r" % tokens[-13:])
    return struct.unpack("<H", tokens[-12:-10])[0]


class TlsClient(RawClient):
    """A raw client that does what FreeTDS does for encryption: the TLS handshake
    inside PRELOGIN packets, then TLS records on the socket."""

    def __init__(self, host, port, context=None, server_hostname=None, timeout=10.0):
        super().__init__(host, port, timeout)
        import ssl
        if context is None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_hostname=server_hostname)
        self.handshake_packet_types = set()

    def prelogin(self, encryption):
        """The server's PRELOGIN encryption byte."""
        import tds
        self.send(tds.PKT_PRELOGIN, prelogin_packet(encryption)[8:])
        return tds.parse_prelogin(self.reply())[tds.PL_ENCRYPTION][0]

    def handshake(self):
        """Runs the client side; every server flight must come in PRELOGIN packets."""
        import ssl
        import tds
        while True:
            try:
                self.tls.do_handshake()
                done = True
            except ssl.SSLWantReadError:
                done = False
            data = self.outgoing.read()
            if data:
                self.send(tds.PKT_PRELOGIN, data)
            if done:
                return
            self.incoming.write(self._packet_payload())

    def _packet_payload(self):
        import tds
        header = self._exactly(8)
        if header is None:
            raise ConnectionError("server hung up during the TLS handshake")
        kind, _status, length = tds.parse_header(header)
        self.handshake_packet_types.add(kind)
        return self._exactly(length - 8)

    def send_encrypted(self, kind, payload):
        import tds
        self.tls.write(tds.split_into_packets(kind, payload, 4096))
        self.sock.sendall(self.outgoing.read())

    def encrypted_reply(self):
        """The token stream of the next reply, read through TLS."""
        import ssl
        import tds
        plain = b""

        def exactly(count):
            nonlocal plain
            while len(plain) < count:
                try:
                    plain += self.tls.read(65536)
                except ssl.SSLWantReadError:
                    data = self.sock.recv(65536)
                    if not data:
                        return None
                    self.incoming.write(data)
            chunk, plain = plain[:count], plain[count:]
            return chunk

        out = b""
        while True:
            header = exactly(8)
            if header is None:
                return None
            _kind, status, length = tds.parse_header(header)
            out += exactly(length - 8)
            if status & tds.STATUS_EOM:
                return out
