"""TDS 7.4 wire format: packets, the client's requests and the server's tokens.

Only what a SQL Server stand-in needs is here: reading PRELOGIN, LOGIN7,
SQL_BATCH and RPC requests, and writing the tokens of a server's answers.
Every reader raises ProtocolError on input it cannot make sense of, so the
connection can be closed without taking the server down.
"""

import struct
from dataclasses import dataclass, field

# Packet types (header byte 0).
PKT_SQL_BATCH = 0x01
PKT_RPC = 0x03
PKT_REPLY = 0x04
PKT_ATTENTION = 0x06
PKT_TRANSACTION = 0x0E
PKT_LOGIN7 = 0x10
PKT_SSPI = 0x11
PKT_PRELOGIN = 0x12

STATUS_EOM = 0x01
HEADER_SIZE = 8
MAX_PACKET_SIZE = 32767
MAX_MESSAGE_SIZE = 64 * 1024 * 1024

TDS74 = 0x74000004

# PRELOGIN options and encryption values.
PL_VERSION = 0x00
PL_ENCRYPTION = 0x01
PL_INSTOPT = 0x02
PL_THREADID = 0x03
PL_MARS = 0x04
PL_TERMINATOR = 0xFF
ENCRYPT_OFF = 0x00
ENCRYPT_ON = 0x01
ENCRYPT_NOT_SUP = 0x02
ENCRYPT_REQ = 0x03

# Token types.
TOK_COLMETADATA = 0x81
TOK_RETURNSTATUS = 0x79
TOK_ERROR = 0xAA
TOK_INFO = 0xAB
TOK_LOGINACK = 0xAD
TOK_FEATUREEXTACK = 0xAE
TOK_ROW = 0xD1
TOK_ENVCHANGE = 0xE3
TOK_DONE = 0xFD
TOK_DONEPROC = 0xFE
TOK_DONEINPROC = 0xFF

DONE_FINAL = 0x0000
DONE_MORE = 0x0001
DONE_ERROR = 0x0002
DONE_COUNT = 0x0010
DONE_ATTN = 0x0020

ENV_DATABASE = 1
ENV_LANGUAGE = 2
ENV_PACKETSIZE = 4
ENV_COLLATION = 7
ENV_BEGIN_TRAN = 8
ENV_COMMIT_TRAN = 9
ENV_ROLLBACK_TRAN = 10

# Transaction manager request types.
TM_BEGIN_XACT = 5
TM_COMMIT_XACT = 7
TM_ROLLBACK_XACT = 8

# SQL_Latin1_General_CP1_CI_AS: LCID 0x0409 with its flags, sort id 52.
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])


class ProtocolError(Exception):
    """The peer sent something that is not valid TDS for this server."""


# ---------------------------------------------------------------- packets

def packet_header(kind, status, length, packet_id):
    return struct.pack(">BBHHBB", kind, status, length, 0, packet_id & 0xFF, 0)


def split_into_packets(kind, payload, packet_size):
    """The message as one or more packets no longer than packet_size."""
    room = max(packet_size, 512) - HEADER_SIZE
    chunks = [payload[i:i + room] for i in range(0, len(payload), room)] or [b""]
    out = bytearray()
    for number, chunk in enumerate(chunks, start=1):
        status = STATUS_EOM if number == len(chunks) else 0
        out += packet_header(kind, status, HEADER_SIZE + len(chunk), number)
        out += chunk
    return bytes(out)


def parse_header(header):
    kind, status, length, _spid, _pid, _window = struct.unpack(">BBHHBB", header)
    if length < HEADER_SIZE or length > MAX_PACKET_SIZE:
        raise ProtocolError("packet length %d out of range" % length)
    return kind, status, length


# ---------------------------------------------------------------- reading

class Reader:
    """Bounds-checked reading from a byte string."""

    def __init__(self, data, pos=0):
        self.data = data
        self.pos = pos

    def take(self, count):
        if count < 0 or self.pos + count > len(self.data):
            raise ProtocolError("message ends early")
        chunk = self.data[self.pos:self.pos + count]
        self.pos += count
        return chunk

    def u8(self):
        return self.take(1)[0]

    def u16(self):
        return struct.unpack("<H", self.take(2))[0]

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]

    def ucs2(self, chars):
        return decode_ucs2(self.take(chars * 2))

    def b_varchar(self):
        return self.ucs2(self.u8())

    def us_varchar(self):
        return self.ucs2(self.u16())

    def at_end(self):
        return self.pos >= len(self.data)


def decode_ucs2(raw):
    if len(raw) % 2:
        raise ProtocolError("odd length for UTF-16 text")
    return raw.decode("utf-16-le", errors="surrogatepass")


def encode_ucs2(text):
    return text.encode("utf-16-le", errors="surrogatepass")


def skip_all_headers(reader):
    """Skips the ALL_HEADERS block that TDS 7.2+ puts before batches and RPCs."""
    if len(reader.data) - reader.pos < 4:
        return
    total = struct.unpack_from("<I", reader.data, reader.pos)[0]
    # A block is at least its own length field plus one header; anything else
    # means the client left it out (allowed before TDS 7.2).
    if total < 4 or total > len(reader.data) - reader.pos:
        return
    if total == 4:
        reader.pos += 4
        return
    first_len = struct.unpack_from("<I", reader.data, reader.pos + 4)[0] \
        if total >= 8 else 0
    if first_len >= 6 and first_len <= total - 4:
        reader.pos += total


# ---------------------------------------------------------------- PRELOGIN

def parse_prelogin(payload):
    """The client's PRELOGIN options as {option: bytes}."""
    options = {}
    r = Reader(payload)
    while True:
        token = r.u8()
        if token == PL_TERMINATOR:
            break
        offset = struct.unpack(">H", r.take(2))[0]
        length = struct.unpack(">H", r.take(2))[0]
        if offset + length > len(payload):
            raise ProtocolError("PRELOGIN option outside the message")
        options[token] = payload[offset:offset + length]
    return options


def build_prelogin(encryption):
    entries = [
        (PL_VERSION, bytes([16, 0]) + struct.pack(">H", 1000) + b"\x00\x00"),
        (PL_ENCRYPTION, bytes([encryption])),
        (PL_INSTOPT, b"\x00"),
        (PL_THREADID, b""),
        (PL_MARS, b"\x00"),
    ]
    offset = len(entries) * 5 + 1
    head = bytearray()
    body = bytearray()
    for token, value in entries:
        head += struct.pack(">BHH", token, offset + len(body), len(value))
        body += value
    return bytes(head) + b"\xff" + bytes(body)


# ---------------------------------------------------------------- LOGIN7

@dataclass
class Login:
    tds_version: int = 0
    packet_size: int = 4096
    hostname: str = ""
    user: str = ""
    password: str = ""
    app: str = ""
    server: str = ""
    library: str = ""
    language: str = ""
    database: str = ""
    sspi: bool = False
    extension: bool = False


def decode_password(raw):
    """LOGIN7 password bytes: each byte XOR 0xA5, then its nibbles swapped."""
    plain = bytearray()
    for byte in raw:
        byte ^= 0xA5
        plain.append(((byte & 0x0F) << 4) | (byte >> 4))
    return decode_ucs2(bytes(plain))


def encode_password(text):
    out = bytearray()
    for byte in encode_ucs2(text):
        swapped = ((byte & 0x0F) << 4) | (byte >> 4)
        out.append(swapped ^ 0xA5)
    return bytes(out)


def parse_login7(payload):
    r = Reader(payload)
    length = r.u32()
    if length > len(payload) or length < 94:
        raise ProtocolError("LOGIN7 length %d does not fit" % length)
    login = Login()
    login.tds_version = r.u32()
    login.packet_size = r.u32()
    r.take(4 + 4 + 4)  # client program version, PID, connection id
    _flags1, flags2, _type_flags, flags3 = r.take(4)
    login.sspi = bool(flags2 & 0x80)
    login.extension = bool(flags3 & 0x10)
    r.take(8)  # time zone, LCID

    def field_at(chars_are_bytes=False):
        offset, count = r.u16(), r.u16()
        size = count if chars_are_bytes else count * 2
        if offset + size > length:
            raise ProtocolError("LOGIN7 field outside the record")
        return payload[offset:offset + size]

    login.hostname = decode_ucs2(field_at())
    login.user = decode_ucs2(field_at())
    login.password = decode_password(field_at())
    login.app = decode_ucs2(field_at())
    login.server = decode_ucs2(field_at())
    field_at(chars_are_bytes=True)  # extension / unused
    login.library = decode_ucs2(field_at())
    login.language = decode_ucs2(field_at())
    login.database = decode_ucs2(field_at())
    return login


# ---------------------------------------------------------------- tokens

def b_varchar(text):
    raw = encode_ucs2(text)[:255 * 2]
    return bytes([len(raw) // 2]) + raw


def us_varchar(text):
    raw = encode_ucs2(text)[:65535 * 2]
    return struct.pack("<H", len(raw) // 2) + raw


def envchange(kind, new, old=""):
    """ENVCHANGE; bytes values go out as B_VARBYTE, text as B_VARCHAR."""
    if isinstance(new, bytes):
        body = bytes([kind, len(new)]) + new + bytes([len(old)]) + old
    else:
        body = bytes([kind]) + b_varchar(new) + b_varchar(old)
    return bytes([TOK_ENVCHANGE]) + struct.pack("<H", len(body)) + body


def message(token, number, state, severity, text, server, proc="", line=1):
    body = (struct.pack("<IBB", number, state, severity) + us_varchar(text)
            + b_varchar(server) + b_varchar(proc) + struct.pack("<I", line))
    return bytes([token]) + struct.pack("<H", len(body)) + body


def error(number, text, server, state=1, severity=16, line=1):
    return message(TOK_ERROR, number, state, severity, text, server, "", line)


def info(number, text, server, state=1, line=1):
    return message(TOK_INFO, number, state, 0, text, server, "", line)


def loginack(prog_name="Microsoft SQL Server", version=(16, 0, 1000)):
    major, minor, build = version
    body = (bytes([1]) + struct.pack(">I", TDS74) + b_varchar(prog_name)
            + bytes([major, minor, build >> 8, build & 0xFF]))
    return bytes([TOK_LOGINACK]) + struct.pack("<H", len(body)) + body


def done(status=DONE_FINAL, count=None, cur_cmd=0, token=TOK_DONE):
    if count is not None:
        status |= DONE_COUNT
    return bytes([token]) + struct.pack("<HHQ", status, cur_cmd, count or 0)


def return_status(value):
    return bytes([TOK_RETURNSTATUS]) + struct.pack("<i", value)


@dataclass
class TransactionRequest:
    kind: int
    begin_next: bool = False


def parse_transaction_request(payload):
    r = Reader(payload)
    skip_all_headers(r)
    request = TransactionRequest(r.u16())
    if request.kind in (TM_COMMIT_XACT, TM_ROLLBACK_XACT) and not r.at_end():
        r.take(r.u8())  # transaction name
        if not r.at_end():
            request.begin_next = bool(r.u8() & 0x01)
    return request


def feature_ext_ack():
    # No features acknowledged: just the terminator.
    return bytes([TOK_FEATUREEXTACK, 0xFF])


# Result sets: columns are (name, kind) with kind "nvarchar", "int" or "datetime".

def colmetadata(columns):
    out = bytearray([TOK_COLMETADATA]) + struct.pack("<H", len(columns))
    for name, kind in columns:
        out += struct.pack("<IH", 0, 0x0001)  # user type; nullable
        if kind == "int":
            out += bytes([0x26, 4])
        elif kind == "datetime":
            out += bytes([0x6F, 8])
        else:
            out += bytes([0xE7]) + struct.pack("<H", 8000) + COLLATION
        out += b_varchar(name)
    return bytes(out)


def row(columns, values):
    out = bytearray([TOK_ROW])
    for (_name, kind), value in zip(columns, values):
        if value is None:
            out += b"\x00" if kind in ("int", "datetime") else b"\xff\xff"
        elif kind == "int":
            out += bytes([4]) + struct.pack("<i", int(value))
        elif kind == "datetime":
            out += bytes([8]) + encode_datetime(value)
        else:
            raw = encode_ucs2(str(value))[:8000]
            out += struct.pack("<H", len(raw)) + raw
    return bytes(out)


def encode_datetime(moment):
    import datetime as _dt
    base = _dt.datetime(1900, 1, 1)
    delta = moment.replace(tzinfo=None) - base
    ticks = round((delta.seconds + delta.microseconds / 1e6) * 300)
    return struct.pack("<iI", delta.days, ticks)


# ---------------------------------------------------------------- RPC

@dataclass
class RpcCall:
    name: str = ""
    proc_id: int = 0
    params: list = field(default_factory=list)  # (name, value) pairs


RPC_PROC_NAMES = {
    10: "sp_executesql", 11: "sp_prepare", 12: "sp_execute",
    13: "sp_prepexec", 14: "sp_prepexecrpc", 15: "sp_unprepare",
}


def parse_rpc(payload):
    """Every call of an RPC request (calls are separated by 0x80 or 0xFF)."""
    r = Reader(payload)
    skip_all_headers(r)
    calls = []
    while not r.at_end():
        calls.append(parse_one_rpc(r))
        if r.at_end():
            break
        if r.u8() not in (0x80, 0xFF, 0xFE):
            raise ProtocolError("bad RPC batch separator")
    if not calls:
        raise ProtocolError("empty RPC request")
    return calls


def parse_one_rpc(r):
    call = RpcCall()
    name_len = r.u16()
    if name_len == 0xFFFF:
        call.proc_id = r.u16()
        call.name = RPC_PROC_NAMES.get(call.proc_id, "proc#%d" % call.proc_id)
    else:
        call.name = r.ucs2(name_len)
    r.u16()  # option flags
    while not r.at_end() and r.data[r.pos] not in (0x80, 0xFF, 0xFE):
        name = r.b_varchar()
        r.u8()  # status flags
        call.params.append((name, read_typed_value(r)))
    return call


FIXED_SIZES = {
    0x1F: 0, 0x30: 1, 0x32: 1, 0x34: 2, 0x38: 4, 0x3A: 4, 0x3B: 4,
    0x3C: 8, 0x3D: 8, 0x3E: 8, 0x7A: 4, 0x7F: 8,
}
BYTELEN_TYPES = {0x24, 0x26, 0x68, 0x6D, 0x6E, 0x6F}
NUMERIC_TYPES = {0x37, 0x3F, 0x6A, 0x6C}
SCALED_TIME_TYPES = {0x29, 0x2A, 0x2B}
SHORT_CHAR_TYPES = {0xA7, 0xAF, 0xE7, 0xEF}
SHORT_BIN_TYPES = {0xA5, 0xAD}
LONG_TEXT_TYPES = {0x23, 0x63}
NCHAR_TYPES = {0xE7, 0xEF, 0x63}


def read_typed_value(r):
    """One TYPE_INFO plus its value; text comes back as str, other values as str or None."""
    kind = r.u8()
    if kind in FIXED_SIZES:
        return fixed_value(kind, r.take(FIXED_SIZES[kind]))
    if kind in BYTELEN_TYPES:
        r.u8()
        size = r.u8()
        return None if size == 0 else fixed_value(kind, r.take(size))
    if kind in NUMERIC_TYPES:
        r.take(3)  # max length, precision, scale
        size = r.u8()
        return None if size == 0 else r.take(size).hex()
    if kind == 0x28:  # date
        size = r.u8()
        return None if size == 0 else r.take(size).hex()
    if kind in SCALED_TIME_TYPES:
        r.u8()
        size = r.u8()
        return None if size == 0 else r.take(size).hex()
    if kind in SHORT_CHAR_TYPES or kind in SHORT_BIN_TYPES:
        max_len = r.u16()
        if kind in SHORT_CHAR_TYPES:
            r.take(5)  # collation
        raw = read_plp(r) if max_len == 0xFFFF else read_short_value(r)
        return text_value(kind, raw)
    if kind in LONG_TEXT_TYPES or kind == 0x22:
        r.u32()
        if kind in LONG_TEXT_TYPES:
            r.take(5)
        size = r.u32()
        if size == 0xFFFFFFFF:
            return None
        return text_value(kind, r.take(size))
    if kind == 0xF1:  # xml
        if r.u8():
            r.b_varchar(), r.b_varchar(), r.us_varchar()
        return text_value(0xE7, read_plp(r))
    if kind == 0x62:  # sql_variant
        size = r.u32()
        r.u32()
        return None if size == 0 else r.take(size).hex()
    raise ProtocolError("unsupported parameter type 0x%02X" % kind)


def read_short_value(r):
    size = r.u16()
    return None if size == 0xFFFF else r.take(size)


def read_plp(r):
    total = r.u64()
    if total == 0xFFFFFFFFFFFFFFFF:
        return None
    parts = bytearray()
    while True:
        size = r.u32()
        if size == 0:
            return bytes(parts)
        parts += r.take(size)
        if len(parts) > MAX_MESSAGE_SIZE:
            raise ProtocolError("PLP value too long")


def text_value(kind, raw):
    if raw is None:
        return None
    if kind in NCHAR_TYPES:
        return decode_ucs2(raw)
    if kind in SHORT_BIN_TYPES or kind == 0x22:
        return raw.hex()
    return raw.decode("cp1252", errors="replace")


def fixed_value(kind, raw):
    if kind == 0x1F:
        return None
    if kind in (0x30, 0x32, 0x34, 0x38, 0x7F, 0x26):
        return str(int.from_bytes(raw, "little", signed=kind != 0x30))
    if kind in (0x68,):
        return str(int.from_bytes(raw, "little"))
    if kind in (0x3B, 0x3E, 0x6D):
        fmt = "<f" if len(raw) == 4 else "<d"
        return repr(struct.unpack(fmt, raw)[0])
    return raw.hex()


def return_value(name, value, ordinal=0):
    """RETURNVALUE of an int OUTPUT parameter, as sp_prepare's handle."""
    body = (struct.pack("<H", ordinal) + b_varchar(name) + bytes([0x01])
            + struct.pack("<IH", 0, 0x0001) + bytes([0x26, 4, 4]) + struct.pack("<i", value))
    return bytes([0xAC]) + body
