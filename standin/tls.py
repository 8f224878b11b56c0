"""TLS for the stand-in as SQL Server does it on TDS 7.x.

The handshake's records travel inside PRELOGIN packets (type 0x12); once it is
done the TLS records go on the socket as they are and carry whole TDS packets:
only the LOGIN7 message when the client asked for no encryption ("login-only"),
everything from then on when either side demanded it ("full").
"""

import ipaddress
import os
import socket
import ssl
import subprocess
import sys

import tds

MODES = ("off", "login", "forced")


class TlsError(Exception):
    pass


class PlainChannel:
    """The socket itself."""

    def __init__(self, sock):
        self.sock = sock

    def recv(self, count):
        return self.sock.recv(count)

    def sendall(self, data):
        self.sock.sendall(data)

    def pending(self):
        return False


class TlsChannel:
    """TLS records straight on the socket, after a finished handshake."""

    def __init__(self, sock, tls, incoming, outgoing):
        self.sock = sock
        self.tls = tls
        self.incoming = incoming
        self.outgoing = outgoing

    def recv(self, count):
        while True:
            try:
                return self.tls.read(count)
            except ssl.SSLWantReadError:
                data = self.sock.recv(16384)
                if not data:
                    return b""
                self.incoming.write(data)
            except ssl.SSLZeroReturnError:
                return b""
            except ssl.SSLError as failure:
                raise TlsError("bad TLS record: %s" % failure)

    def sendall(self, data):
        try:
            self.tls.write(data)
        except ssl.SSLError as failure:
            raise TlsError("cannot encrypt the answer: %s" % failure)
        self.sock.sendall(self.outgoing.read())

    def pending(self):
        return self.tls.pending() > 0


def handshake_inside_prelogin(context, read_message, send_raw):
    """Runs the server side of the handshake carried in PRELOGIN packets.

    read_message() gives the next (packet type, payload); send_raw(bytes) writes
    to the socket. Returns (SSLObject, incoming BIO, outgoing BIO).
    """
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_side=True)
    while True:
        try:
            tls.do_handshake()
            done = True
        except ssl.SSLWantReadError:
            done = False
        except ssl.SSLError as failure:
            flush_prelogin(outgoing, send_raw)  # the alert tells the client why
            raise TlsError("TLS handshake failed: %s" % failure)
        flush_prelogin(outgoing, send_raw)
        if done:
            return tls, incoming, outgoing
        kind, payload = read_message()
        if kind != tds.PKT_PRELOGIN:
            raise TlsError("expected a TLS handshake in PRELOGIN, got packet type 0x%02X" % kind)
        incoming.write(payload)


def flush_prelogin(outgoing, send_raw):
    data = outgoing.read()
    if data:
        send_raw(tds.split_into_packets(tds.PKT_PRELOGIN, data, 4096))


def server_context(cert_path, key_path):
    # TLS 1.2 at most: FreeTDS 1.3 cannot finish a TLS 1.3 handshake, and SQL
    # Server on TDS 7.x negotiates 1.2 too.
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.maximum_version = ssl.TLSVersion.TLSv1_2
    try:
        context.load_cert_chain(cert_path, key_path)
    except (OSError, ssl.SSLError) as failure:
        raise TlsError("cannot load certificate %s / key %s: %s"
                       % (cert_path, key_path, failure))
    return context


# ---------------------------------------------------------------- certificates

def subject_alt_names(host):
    names = ["DNS:localhost", "DNS:%s" % socket.gethostname()]
    try:
        names.insert(0, "IP:%s" % ipaddress.ip_address(host))
    except ValueError:
        names.insert(0, "DNS:%s" % host)
    return ",".join(names)


def run_openssl(args):
    try:
        done = subprocess.run(["openssl"] + args, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as failure:
        raise TlsError("cannot run openssl: %s" % failure)
    if done.returncode != 0:
        raise TlsError("openssl %s failed: %s" % (args[0], done.stderr.strip()))


def make_self_signed(folder, host):
    """(cert, key) of a new self-signed certificate, as SQL Server makes at start-up."""
    cert, key = os.path.join(folder, "server.pem"), os.path.join(folder, "server.key")
    run_openssl(["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
                 "-keyout", key, "-out", cert, "-subj", "/CN=%s" % host,
                 "-addext", "subjectAltName=%s" % subject_alt_names(host)])
    return cert, key


def make_ca_signed(folder, host, name="test"):
    """(ca cert, server cert, server key) from a new throwaway CA, for tests that
    check the server's certificate. Files are folder/<name>-ca.pem,
    folder/<name>-server.pem and folder/<name>-server.key."""
    base = os.path.join(folder, name)
    ca_cert, ca_key = base + "-ca.pem", base + "-ca.key"
    cert, key, request = base + "-server.pem", base + "-server.key", base + "-server.csr"
    extensions = base + "-server.ext"
    run_openssl(["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
                 "-keyout", ca_key, "-out", ca_cert, "-subj", "/CN=vlbackup %s CA" % name,
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
    run_openssl(["req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", key,
                 "-out", request, "-subj", "/CN=%s" % host])
    with open(extensions, "w", encoding="ascii") as out:
        out.write("subjectAltName=%s\nextendedKeyUsage=serverAuth\n" % subject_alt_names(host))
    run_openssl(["x509", "-req", "-in", request, "-CA", ca_cert, "-CAkey", ca_key,
                 "-CAcreateserial", "-sha256", "-days", "30", "-out", cert,
                 "-extfile", extensions])
    return ca_cert, cert, key


def main(argv):
    """python3 tls.py DIR HOST [NAME]: makes a throwaway CA and a server certificate."""
    if len(argv) not in (2, 3):
        raise SystemExit("usage: tls.py DIR HOST [NAME]")
    try:
        print("\n".join(make_ca_signed(*argv)))
    except TlsError as failure:
        raise SystemExit(str(failure))


if __name__ == "__main__":
    main(sys.argv[1:])
