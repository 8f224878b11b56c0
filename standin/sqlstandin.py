#!/usr/bin/env python3
"""A stand-in SQL Server for tests: TDS 7.4 on loopback plus a Browser responder.

Usage: python3 sqlstandin.py --config FILE.json [--exit-with-parent]

When every socket listens it prints one JSON line on stdout,
  {"ready": true, "host": ..., "instances": {name: port}, "browser_port": port or null,
   "encryption": "off" | "login" | "forced", "certificate": PEM path or null}
and serves until SIGTERM or SIGINT. Logins, statements, backups and updates
are appended to the journal file, one JSON object per line.
"""

import argparse
import copy
import datetime
import json
import os
import selectors
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tds  # noqa: E402
import tls  # noqa: E402
import statements  # noqa: E402
from session import Session  # noqa: E402

DEFAULT_CONFIG = {
    "host": "127.0.0.1",
    "server_name": None,
    "instances": {"MSSQLSERVER": {"port": 1433}, "VELLORAN": {"port": 0}},
    "browser_port": 1434,
    "logins": {"MSSQLSERVER": [], "VELLORAN": [{"user": "sa", "password": "MarlyK5vo"}]},
    "databases": ["Velloran"],
    "backup_size": 65536,
    "journal": None,
    "default_backup_dir": None,
    "encryption": "off",
    "certificate": None,
    "faults": {
        "backup_error": None,
        "update_error": None,
        "delay_seconds": 0,
        "delay_after_write_seconds": 0,
        "drop_connection_on": None,
        "silent_login": False,
    },
}

DEFAULT_INSTANCE = "MSSQLSERVER"


class ConfigError(Exception):
    pass


def load_config(path):
    try:
        with open(path, encoding="utf-8") as source:
            given = json.load(source)
    except (OSError, ValueError) as failure:
        raise ConfigError("cannot read config %s: %s" % (path, failure))
    if not isinstance(given, dict):
        raise ConfigError("config %s is not a JSON object" % path)
    config = copy.deepcopy(DEFAULT_CONFIG)
    for key, value in given.items():
        if key == "faults" and isinstance(value, dict):
            config["faults"].update(value)
        elif key == "faults" and value is None:
            pass
        else:
            config[key] = value
    validate(config)
    if not config["default_backup_dir"]:
        config["default_backup_dir"] = os.path.dirname(os.path.abspath(path))
    return config


def validate(config):
    if not isinstance(config["instances"], dict) or not config["instances"]:
        raise ConfigError("config names no instance to serve")
    for name, entry in config["instances"].items():
        port = entry.get("port", 0) if isinstance(entry, dict) else entry
        if not isinstance(port, int) or not 0 <= port <= 65535:
            raise ConfigError("instance %s has a bad port %r" % (name, port))
    if not isinstance(config["logins"], dict):
        raise ConfigError("logins must map instance names to lists")
    drop = config["faults"].get("drop_connection_on")
    if drop not in (None, "backup", "update"):
        raise ConfigError("drop_connection_on must be null, \"backup\" or \"update\"")
    if not isinstance(config["backup_size"], int) or config["backup_size"] < 0:
        raise ConfigError("backup_size must be a non-negative integer")
    if config["encryption"] not in tls.MODES:
        raise ConfigError("encryption must be one of %s" % ", ".join(tls.MODES))
    certificate = config["certificate"]
    if certificate is not None and not (
            isinstance(certificate, dict) and isinstance(certificate.get("cert"), str)
            and isinstance(certificate.get("key"), str)):
        raise ConfigError('certificate must be null or {"cert": path, "key": path}')


class Journal:
    """Appends one JSON line per event and flushes it at once."""

    def __init__(self, path):
        self.lock = threading.Lock()
        self.out = open(path, "a", encoding="utf-8") if path else None

    def write(self, event):
        if self.out is None:
            return
        # ASCII escapes keep odd client text (lone surrogates) writable.
        line = json.dumps(event)
        with self.lock:
            self.out.write(line + "\n")
            self.out.flush()

    def close(self):
        with self.lock:
            if self.out is not None:
                self.out.close()
                self.out = None


class Server:
    """State shared by every connection: configuration, journal, the SystemData rows."""

    def __init__(self, config):
        self.config = config
        self.journal = Journal(config["journal"])
        self.lock = threading.Lock()
        self.updates = {}
        self.next_spid = 51
        self.host_label = config["server_name"] or socket.gethostname().split(".")[0].upper()
        self.tls_context = None
        self.certificate = None

    def server_name(self, instance):
        if instance.upper() == DEFAULT_INSTANCE:
            return self.host_label
        return "%s\\%s" % (self.host_label, instance)

    def allocate_spid(self):
        with self.lock:
            self.next_spid += 1
            return self.next_spid

    def find_database(self, name):
        """The database's own spelling, or None: names match without regard to case."""
        for known in list(statements.SYSTEM_DATABASES) + list(self.config["databases"]):
            if known.lower() == name.lower():
                return known
        return None

    def login_refusal(self, instance, user, password):
        """None when the login may go on, else the 18456 state the error log names:
        5 for an unknown user, 8 for a wrong password."""
        known = False
        for entry in self.config["logins"].get(instance, []) or []:
            if str(entry.get("user", "")).lower() == user.lower():
                known = True
                if str(entry.get("password", "")) == password:
                    return None
        return 8 if known else 5

    def record_update(self, database):
        moment = datetime.datetime.now()
        with self.lock:
            self.updates[database.lower()] = moment
        return moment

    def last_update(self, database):
        with self.lock:
            return self.updates.get(database.lower())


# ---------------------------------------------------------------- Browser

def browser_entry(server, instance, port):
    return ("ServerName;%s;InstanceName;%s;IsClustered;No;Version;16.0.1000.6;tcp;%d;;"
            % (server.host_label, instance, port))


def browser_answer(server, ports, request):
    """The SVR_RESP for one SSRP request, or None when there is nothing to say."""
    if not request:
        return None
    kind = request[0]
    if kind in (0x02, 0x03):
        text = "".join(browser_entry(server, name, port) for name, port in ports.items())
    elif kind == 0x04:
        wanted = request[1:].split(b"\x00", 1)[0].decode("latin-1")
        match = [name for name in ports if name.lower() == wanted.lower()]
        if not match:
            return None
        text = browser_entry(server, match[0], ports[match[0]])
    else:
        return None
    raw = text.encode("latin-1")
    return bytes([0x05]) + len(raw).to_bytes(2, "little") + raw


# ---------------------------------------------------------------- main

class Shutdown(Exception):
    pass


def raise_shutdown(_signum, _frame):
    raise Shutdown()


def prepare_tls(server, folder):
    """Loads the configured certificate, or makes a self-signed one in folder."""
    config = server.config
    if config["encryption"] == "off":
        return
    if config["certificate"]:
        cert, key = config["certificate"]["cert"], config["certificate"]["key"]
    else:
        cert, key = tls.make_self_signed(folder, config["host"])
    server.tls_context = tls.server_context(cert, key)
    server.certificate = cert


def open_listeners(config):
    host = config["host"]
    listeners = {}
    for name, entry in config["instances"].items():
        port = entry.get("port", 0) if isinstance(entry, dict) else entry
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((host, port))
        except OSError as failure:
            sock.close()
            raise ConfigError("cannot listen on %s:%d for %s: %s" % (host, port, name, failure))
        sock.listen(32)
        listeners[name] = sock
    return listeners


def open_browser(config):
    port = config["browser_port"]
    if port is None:
        return None
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.bind((config["host"], port))
    except OSError as failure:
        sock.close()
        raise ConfigError("cannot bind the browser to UDP %s:%d: %s"
                          % (config["host"], port, failure))
    return sock


def serve(server, listeners, browser):
    ports = {name: sock.getsockname()[1] for name, sock in listeners.items()}
    browser_ports = {name: port for name, port in ports.items()}
    selector = selectors.DefaultSelector()
    for name, sock in listeners.items():
        selector.register(sock, selectors.EVENT_READ, ("tcp", name))
    if browser is not None:
        selector.register(browser, selectors.EVENT_READ, ("udp", None))
    ready = {"ready": True, "host": server.config["host"], "instances": ports,
             "browser_port": browser.getsockname()[1] if browser is not None else None,
             "encryption": server.config["encryption"], "certificate": server.certificate}
    sys.stdout.write(json.dumps(ready) + "\n")
    sys.stdout.flush()
    while True:
        for key, _mask in selector.select():
            kind, name = key.data
            if kind == "tcp":
                accept(server, key.fileobj, name)
            else:
                answer_browser(server, key.fileobj, browser_ports)


def accept(server, listener, instance):
    try:
        conn, peer = listener.accept()
    except OSError:
        return
    session = Session(server, instance, conn, peer)
    threading.Thread(target=session.run, daemon=True).start()


def answer_browser(server, sock, ports):
    try:
        request, peer = sock.recvfrom(4096)
    except OSError:
        return
    reply = browser_answer(server, ports, request)
    if reply is not None:
        try:
            sock.sendto(reply, peer)
        except OSError as failure:
            log("browser reply to %s failed: %s" % (peer, failure))


def log(text):
    sys.stderr.write("sqlstandin: %s\n" % text)
    sys.stderr.flush()


def watch_parent(parent):
    """Ends the server once its parent is gone, so a crashed test leaves no server behind."""
    def watch():
        while os.getppid() == parent:
            time.sleep(0.5)
        os.kill(os.getpid(), signal.SIGTERM)
    threading.Thread(target=watch, daemon=True).start()


def main(argv):
    parser = argparse.ArgumentParser(description="Stand-in SQL Server for tests")
    parser.add_argument("--config", required=True)
    parser.add_argument("--exit-with-parent", action="store_true",
                        help="stop when the process that started the server ends")
    args = parser.parse_args(argv)
    if args.exit_with_parent:
        watch_parent(os.getppid())
    signal.signal(signal.SIGTERM, raise_shutdown)
    signal.signal(signal.SIGINT, raise_shutdown)
    listeners, browser, server = {}, None, None
    scratch = tempfile.mkdtemp(prefix="sqlstandin.")
    try:
        config = load_config(args.config)
        server = Server(config)
        prepare_tls(server, scratch)
        listeners = open_listeners(config)
        browser = open_browser(config)
        serve(server, listeners, browser)
    except (ConfigError, tls.TlsError) as failure:
        log(str(failure))
        return 2
    except Shutdown:
        return 0
    finally:
        if server is not None:
            server.journal.close()
        for sock in listeners.values():
            sock.close()
        if browser is not None:
            browser.close()
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
