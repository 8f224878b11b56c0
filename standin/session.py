"""One client connection: pre-login, login, then requests until the client leaves."""

import select
import struct
import sys
import time

import tds
import tls
import statements
from statements import Cancelled, Context, DropConnection, Result


class ConnectionClosed(Exception):
    pass


def log(text):
    sys.stderr.write("sqlstandin: %s\n" % text)
    sys.stderr.flush()


class Session:
    def __init__(self, server, instance, conn, peer):
        self.server = server
        self.instance = instance
        self.conn = conn
        self.peer = peer
        self.spid = server.allocate_spid()
        self.packet_size = 4096
        self.user = ""
        self.database = "master"
        self.implicit_transactions = False
        self.in_transaction = False
        self.transactions = 0
        self.prepared = {}
        self.next_handle = 1
        self.pending = []
        self.context = Context(server, instance, self)
        self.plain = tls.PlainChannel(conn)
        self.channel = self.plain
        self.encryption = "none"

    # ------------------------------------------------------------ lifecycle

    def run(self):
        try:
            with self.conn:
                if self.server.config["faults"].get("silent_login"):
                    self.stay_silent()
                    return
                if self.handshake():
                    self.serve_requests()
        except (ConnectionClosed, ConnectionError):
            pass
        except DropConnection:
            log("dropping connection from %s:%d as configured" % self.peer)
        except (tds.ProtocolError, tls.TlsError) as failure:
            log("closing connection from %s:%d: %s" % (self.peer + (failure,)))
        except Exception as failure:  # keep serving others whatever went wrong here
            log("connection from %s:%d failed: %r" % (self.peer + (failure,)))

    def stay_silent(self):
        """Reads and ignores everything until the client gives up."""
        while self.conn.recv(4096):
            pass

    # ------------------------------------------------------------ wire

    def receive_exactly(self, count):
        data = bytearray()
        while len(data) < count:
            chunk = self.channel.recv(count - len(data))
            if not chunk:
                raise ConnectionClosed()
            data += chunk
        return bytes(data)

    def read_message(self):
        """(packet type, payload) of the next whole message."""
        if self.pending:
            return self.pending.pop(0)
        kind_of_message, payload = None, bytearray()
        while True:
            kind, status, length = tds.parse_header(self.receive_exactly(tds.HEADER_SIZE))
            if kind_of_message is None:
                kind_of_message = kind
            elif kind != kind_of_message:
                raise tds.ProtocolError("packet type changed inside a message")
            payload += self.receive_exactly(length - tds.HEADER_SIZE)
            if len(payload) > tds.MAX_MESSAGE_SIZE:
                raise tds.ProtocolError("message too long")
            if status & tds.STATUS_EOM:
                return kind_of_message, bytes(payload)

    def send(self, payload):
        self.channel.sendall(tds.split_into_packets(tds.PKT_REPLY, payload, self.packet_size))

    def wait_for_attention(self, seconds):
        """Waits up to seconds; True when the client cancelled meanwhile."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            readable = self.channel.pending() or select.select([self.conn], [], [], left)[0]
            if readable:
                kind, payload = self.read_message()
                if kind == tds.PKT_ATTENTION:
                    return True
                self.pending.append((kind, payload))

    # ------------------------------------------------------------ login

    def handshake(self):
        kind, payload = self.read_message()
        if kind == tds.PKT_PRELOGIN:
            wanted = tds.parse_prelogin(payload).get(tds.PL_ENCRYPTION, b"\x00")[:1] or b"\x00"
            answer = encryption_answer(self.server.config["encryption"], wanted[0])
            self.send(tds.build_prelogin(answer))
            if answer == tds.ENCRYPT_NOT_SUP and wanted[0] in (tds.ENCRYPT_ON, tds.ENCRYPT_REQ):
                log("client at %s:%d demands encryption; refused" % self.peer)
                return False
            if answer == tds.ENCRYPT_REQ:
                # A server that forces encryption says so and hangs up on a
                # client that cannot encrypt: the password never travels in clear.
                self.server.journal.write({"event": "refused", "instance": self.instance,
                                           "reason": "client cannot encrypt"})
                log("client at %s:%d cannot encrypt; refused" % self.peer)
                return False
            if answer in (tds.ENCRYPT_OFF, tds.ENCRYPT_ON):
                self.start_tls()
                self.encryption = "full" if answer == tds.ENCRYPT_ON else "login-only"
            kind, payload = self.read_message()
        if kind != tds.PKT_LOGIN7:
            raise tds.ProtocolError("expected LOGIN7, got packet type 0x%02X" % kind)
        if self.encryption == "login-only":
            self.channel = self.plain  # only the login is encrypted; plain TDS after
        return self.login(tds.parse_login7(payload))

    def start_tls(self):
        """The handshake inside PRELOGIN packets; TLS on the socket afterwards."""
        state = tls.handshake_inside_prelogin(self.server.tls_context, self.read_message,
                                              self.conn.sendall)
        self.channel = tls.TlsChannel(self.conn, *state)

    def login(self, login):
        name = self.server.server_name(self.instance)
        event = {"event": "login", "instance": self.instance, "user": login.user,
                 "database": login.database, "workstation": login.hostname,
                 "app": login.app, "encryption": self.encryption, "ok": False,
                 "error": None}
        refusal = None if login.sspi else self.server.login_refusal(
            self.instance, login.user, login.password)
        if login.sspi or refusal is not None:
            event["error"] = 18456 if not login.sspi else 18452
            # The real reason goes to the server's own log only; the client
            # always reads state 1, as from SQL Server.
            event["state"] = refusal
            self.server.journal.write(event)
            self.refuse_login(login, name)
            return False
        database = self.server.find_database(login.database or "master")
        if database is None:
            event["error"] = 4060
            event["state"] = 38  # the error log's "failed to open the explicitly specified database"
            self.server.journal.write(event)
            text = ('Cannot open database "%s" requested by the login. The login failed.'
                    % login.database)
            self.send(tds.error(4060, text, name, 1, 11)
                      + tds.error(18456, "Login failed for user '%s'." % login.user, name, 1, 14)
                      + tds.done(tds.DONE_ERROR))
            return False
        # Journal first: a test may read it the moment the client is logged in.
        event["ok"] = True
        self.server.journal.write(event)
        self.accept_login(login, database, name)
        return True

    def refuse_login(self, login, name):
        if login.sspi:
            text = ("Login failed. The login is from an untrusted domain and cannot be "
                    "used with Integrated authentication.")
            token = tds.error(18452, text, name, 1, 14)
        else:
            token = tds.error(18456, "Login failed for user '%s'." % login.user, name, 1, 14)
        self.send(token + tds.done(tds.DONE_ERROR))

    def accept_login(self, login, database, name):
        self.user = login.user
        self.database = database
        wanted = login.packet_size or 4096
        size = min(max(wanted, 512), tds.MAX_PACKET_SIZE)
        answer = (tds.envchange(tds.ENV_DATABASE, database, "master")
                  + tds.info(5701, "Changed database context to '%s'." % database, name, 2)
                  + tds.envchange(tds.ENV_COLLATION, tds.COLLATION, b"")
                  + tds.envchange(tds.ENV_LANGUAGE, "us_english", "")
                  + tds.info(5703, "Changed language setting to us_english.", name, 1)
                  + tds.loginack()
                  + tds.envchange(tds.ENV_PACKETSIZE, str(size), "4096")
                  + (tds.feature_ext_ack() if login.extension else b"")
                  + tds.done(tds.DONE_FINAL))
        self.send(answer)
        self.packet_size = size

    # ------------------------------------------------------------ requests

    def serve_requests(self):
        while True:
            kind, payload = self.read_message()
            if kind == tds.PKT_SQL_BATCH:
                self.answer(self.run_batch, payload)
            elif kind == tds.PKT_RPC:
                self.answer(self.run_rpc, payload)
            elif kind == tds.PKT_ATTENTION:
                self.send(tds.done(tds.DONE_ATTN))
            elif kind == tds.PKT_TRANSACTION:
                self.send(self.run_transaction_request(payload))
            else:
                raise tds.ProtocolError("unexpected packet type 0x%02X" % kind)

    def answer(self, handler, payload):
        try:
            reply = handler(payload)
        except Cancelled:
            reply = tds.done(tds.DONE_ATTN)
        self.send(reply)

    def run_transaction_request(self, payload):
        """Begin, commit and rollback as the ODBC driver sends them with autocommit off."""
        request = tds.parse_transaction_request(payload)
        out = bytearray()
        if request.kind in (tds.TM_COMMIT_XACT, tds.TM_ROLLBACK_XACT) and self.in_transaction:
            kind = tds.ENV_COMMIT_TRAN if request.kind == tds.TM_COMMIT_XACT \
                else tds.ENV_ROLLBACK_TRAN
            out += tds.envchange(kind, b"", self.descriptor())
            self.in_transaction = False
        if request.kind == tds.TM_BEGIN_XACT or request.begin_next:
            self.transactions += 1
            self.in_transaction = True
            out += tds.envchange(tds.ENV_BEGIN_TRAN, self.descriptor(), b"")
        return bytes(out + tds.done(tds.DONE_FINAL))

    def descriptor(self):
        return struct.pack("<HHI", self.spid, 0, self.transactions)

    def execute(self, sql, params, via="batch"):
        """Runs one statement and journals it; DropConnection passes through."""
        record = {"event": "statement", "instance": self.instance, "sql": sql,
                  "params": list(params.values()), "via": via, "ok": False, "error": None}
        try:
            result = statements.execute(self.context, sql, params)
        except DropConnection:
            self.server.journal.write(record)
            raise
        except Cancelled:
            record["cancelled"] = True
            self.server.journal.write(record)
            raise
        record["ok"] = result.error is None
        record["error"] = result.error
        self.server.journal.write(record)
        return result

    def run_batch(self, payload):
        reader = tds.Reader(payload)
        tds.skip_all_headers(reader)
        text = tds.decode_ucs2(payload[reader.pos:])
        pieces = statements.split_statements(text)
        if not pieces:
            return tds.done(tds.DONE_FINAL)
        out = bytearray()
        for number, sql in enumerate(pieces, start=1):
            result = self.execute(sql, {})
            status = tds.DONE_MORE if number < len(pieces) else tds.DONE_FINAL
            out += b"".join(result.tokens) + done_for(result, status, tds.TOK_DONE)
        return bytes(out)

    def run_rpc(self, payload):
        calls = tds.parse_rpc(payload)
        out = bytearray()
        for number, call in enumerate(calls, start=1):
            more = tds.DONE_MORE if number < len(calls) else tds.DONE_FINAL
            out += self.run_call(call, more)
        return bytes(out)

    def run_call(self, call, more):
        """One RPC: the statement's tokens, DONEINPROC, RETURNSTATUS, DONEPROC."""
        name = call.name.lower().split(".")[-1].strip("[]")
        handler = {
            "sp_executesql": self.sp_executesql, "sp_prepexec": self.sp_prepexec,
            "sp_prepare": self.sp_prepare, "sp_execute": self.sp_execute,
            "sp_unprepare": self.sp_unprepare,
        }.get(name)
        if handler is None or not call.params:
            result, extra = Result().fail(2812, "Could not find stored procedure '%s'."
                                          % call.name, self.context.server_name), b""
        else:
            result, extra = handler(call, name)
        failed = result.error is not None
        return (b"".join(result.tokens) + done_for(result, tds.DONE_MORE, tds.TOK_DONEINPROC)
                + tds.return_status(1 if failed else 0) + extra
                + tds.done(more | (tds.DONE_ERROR if failed else 0), token=tds.TOK_DONEPROC))

    # Parameters as the procedures take them: sp_executesql @stmt, @params, values;
    # sp_prepexec and sp_prepare @handle OUTPUT, @params, @stmt, values;
    # sp_execute @handle, values; sp_unprepare @handle.

    def sp_executesql(self, call, name):
        values = [value for _name, value in call.params]
        return self.execute(values[0] or "", bind(call.params[2:], values[1:2]), name), b""

    def sp_prepare(self, call, name):
        result, handle = self.prepare_call(call)
        if result is None:
            result = Result()
        return result, handle

    def sp_prepexec(self, call, name):
        result, handle = self.prepare_call(call)
        if result is None:
            values = [value for _name, value in call.params]
            result = self.execute(values[2] or "", bind(call.params[3:], values[1:2]), name)
        return result, handle

    def prepare_call(self, call):
        """(error result or None, RETURNVALUE of the new handle)."""
        if len(call.params) < 3:
            return Result().fail(201, "Procedure or function '%s' expects parameter '@stmt', "
                                      "which was not supplied." % call.name,
                                 self.context.server_name), b""
        declaration, sql = call.params[1][1], call.params[2][1] or ""
        handle = self.next_handle
        self.next_handle += 1
        self.prepared[str(handle)] = (sql, declaration)
        return None, tds.return_value(call.params[0][0], handle)

    def sp_execute(self, call, name):
        handle = str(call.params[0][1])
        if handle not in self.prepared:
            return Result().fail(8179, "Could not find prepared statement with handle %s."
                                 % handle, self.context.server_name), b""
        sql, declaration = self.prepared[handle]
        return self.execute(sql, bind(call.params[1:], [declaration]), name), b""

    def sp_unprepare(self, call, name):
        self.prepared.pop(str(call.params[0][1]), None)
        return Result(), b""


def encryption_answer(setting, wanted):
    """The server's PRELOGIN encryption byte for the client's wish.

    With a certificate a client that says OFF gets the login encrypted (OFF back),
    one that says ON or REQUIRED gets full TLS (ON back); a forcing server gives
    every capable client full TLS and answers REQUIRED to one that cannot encrypt.
    """
    if setting == "off":
        return tds.ENCRYPT_NOT_SUP
    if wanted == tds.ENCRYPT_NOT_SUP:
        return tds.ENCRYPT_REQ if setting == "forced" else tds.ENCRYPT_NOT_SUP
    if setting == "forced" or wanted in (tds.ENCRYPT_ON, tds.ENCRYPT_REQ):
        return tds.ENCRYPT_ON
    return tds.ENCRYPT_OFF


def done_for(result, status, token):
    if result.error is not None:
        status |= tds.DONE_ERROR
    return tds.done(status, result.count, token=token)


def bind(params, declaration):
    """Parameter values by lower-case name; unnamed ones take the declared names in order."""
    declared = statements.declared_names(declaration[0] if declaration else None)
    bound = {}
    for index, (name, value) in enumerate(params):
        if not name and index < len(declared):
            name = declared[index]
        bound[(name or "@p%d" % (index + 1)).lower()] = value
    return bound
