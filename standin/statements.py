"""The few T-SQL statements the stand-in understands, and what it answers.

The backup utility sends a BACKUP DATABASE and an UPDATE of SystemData; the
ODBC driver and tsql add SET options, USE and small SELECTs. Everything else is
answered with SQL Server's syntax error, so a client never mistakes an
unknown statement for one that ran.
"""

import datetime
import errno
import os
import re
from dataclasses import dataclass, field
from typing import Optional

import tds

SYSTEM_DATABASES = ("master", "tempdb", "model", "msdb")
PAGE_SIZE = 8192

OS_ERROR_TEXTS = {
    3: "The system cannot find the path specified.",
    5: "Access is denied.",
    112: "There is not enough space on the disk.",
    123: "The filename, directory name, or volume label syntax is incorrect.",
}


class Cancelled(Exception):
    """The client sent ATTENTION while the statement was waiting."""


class DropConnection(Exception):
    """A configured fault: close the connection without answering."""


@dataclass
class Result:
    tokens: list = field(default_factory=list)
    count: Optional[int] = None  # rows for DONE's count, None for no count
    error: Optional[int] = None  # the first error number raised

    def fail(self, number, text, server, severity=16, state=1):
        self.tokens.append(tds.error(number, text, server, state, severity))
        if self.error is None:
            self.error = number
        return self


class Context:
    """What a statement may consult and change: the session and the server."""

    def __init__(self, server, instance, session):
        self.server = server
        self.instance = instance
        self.session = session

    @property
    def server_name(self):
        return self.server.server_name(self.instance)

    @property
    def faults(self):
        return self.server.config["faults"]

    def known_database(self, name):
        return self.server.find_database(name)

    def journal(self, **event):
        self.server.journal.write(event)

    def wait(self, seconds):
        """Sleeps, but gives up when the client asks to cancel."""
        if seconds > 0 and self.session.wait_for_attention(seconds):
            raise Cancelled()


# ---------------------------------------------------------------- splitting

def split_statements(sql):
    """Splits a batch at semicolons outside quotes, brackets and comments."""
    pieces, current = [], []
    i, n = 0, len(sql)
    while i < n:
        ch = sql[i]
        if ch in "'\"[":
            close = "]" if ch == "[" else ch
            j = i + 1
            while j < n:
                if sql[j] == close:
                    if j + 1 < n and sql[j + 1] == close:
                        j += 2
                        continue
                    break
                j += 1
            current.append(sql[i:j + 1])
            i = j + 1
        elif sql.startswith("--", i):
            j = sql.find("\n", i)
            i = n if j < 0 else j
        elif sql.startswith("/*", i):
            j = sql.find("*/", i + 2)
            i = n if j < 0 else j + 2
            current.append(" ")
        elif ch == ";":
            pieces.append("".join(current))
            current = []
            i += 1
        else:
            current.append(ch)
            i += 1
    pieces.append("".join(current))
    return [p.strip() for p in pieces if p.strip()]


def unquote_name(name):
    if name.startswith("[") and name.endswith("]"):
        return name[1:-1].replace("]]", "]")
    if name.startswith('"') and name.endswith('"'):
        return name[1:-1].replace('""', '"')
    return name


def string_literal(token):
    """The value of 'text' or N'text'; None when token is no literal."""
    m = re.fullmatch(r"[Nn]?'((?:[^']|'')*)'", token, re.S)
    return m.group(1).replace("''", "'") if m else None


def first_word(sql):
    m = re.match(r"\s*([^\s(;,]+)", sql)
    return m.group(1) if m else sql


# ---------------------------------------------------------------- dispatch

NAME = r"(\[(?:[^\]]|\]\])+\]|\"(?:[^\"]|\"\")+\"|[\w@#$]+)"
BACKUP_RE = re.compile(
    r"BACKUP\s+DATABASE\s+" + NAME + r"\s+TO\s+DISK\s*=\s*"
    r"([Nn]?'(?:[^']|'')*'|@\w+)(?:\s+WITH\s+(.*))?", re.I | re.S)
UPDATE_RE = re.compile(
    r"UPDATE\s+(?:(?:\[?dbo\]?|\[?\w+\]?\.\[?dbo\]?)\.)?\[?SystemData\]?\s+"
    r"SET\s+\[?LastBackupUtilityDate\]?\s*=\s*getdate\s*\(\s*\)", re.I | re.S)
USE_RE = re.compile(r"USE\s+" + NAME, re.I | re.S)
SET_RE = re.compile(r"SET\s+(\w+)(.*)", re.I | re.S)
TRANSACTION_RE = re.compile(
    r"(BEGIN\s+TRAN(SACTION)?|COMMIT(\s+TRAN(SACTION)?)?|ROLLBACK(\s+TRAN(SACTION)?)?"
    r"|IF\s+@@TRANCOUNT\s*>\s*0\s+(COMMIT|ROLLBACK)(\s+TRAN(SACTION)?)?)\s*", re.I)


def execute(ctx, sql, params):
    """Runs one statement; params maps lower-case names ("@p1") to values."""
    text = sql.strip()
    m = BACKUP_RE.fullmatch(text)
    if m:
        return backup(ctx, unquote_name(m.group(1)), m.group(2), m.group(3) or "", params)
    if UPDATE_RE.fullmatch(text):
        return update_system_data(ctx)
    m = USE_RE.fullmatch(text)
    if m:
        return use_database(ctx, unquote_name(m.group(1)))
    m = SET_RE.fullmatch(text)
    if m:
        return set_option(ctx, m.group(1), m.group(2))
    if TRANSACTION_RE.fullmatch(text):
        ctx.session.in_transaction = text.upper().startswith("BEGIN")
        return Result()
    if re.match(r"SELECT\b", text, re.I):
        return select(ctx, text, params)
    return syntax_error(ctx, offending_token(text))


def offending_token(text):
    """Where SQL Server would point: the device of a BACKUP, else the first word."""
    m = re.match(r"BACKUP\s+DATABASE\s+\S+\s+TO\s+DISK\s*=\s*([^\s,;]+)", text, re.I)
    if m:
        return m.group(1)[:1] if m.group(1)[:1] in ":?" else m.group(1)
    return first_word(text)


def syntax_error(ctx, near):
    return Result().fail(102, "Incorrect syntax near '%s'." % near, ctx.server_name,
                         severity=15)


def set_option(ctx, option, rest):
    if option.upper() == "IMPLICIT_TRANSACTIONS":
        ctx.session.implicit_transactions = rest.strip().upper().startswith("ON")
    return Result()


def use_database(ctx, name):
    found = ctx.known_database(name)
    if found is None:
        return database_missing(ctx, name)
    old = ctx.session.database
    ctx.session.database = found
    result = Result()
    result.tokens.append(tds.envchange(tds.ENV_DATABASE, found, old))
    result.tokens.append(tds.info(5701, "Changed database context to '%s'." % found,
                                  ctx.server_name, state=1))
    return result


def database_missing(ctx, name):
    return Result().fail(911, "Database '%s' does not exist. Make sure that the name "
                              "is entered correctly." % name, ctx.server_name)


# ---------------------------------------------------------------- BACKUP

def parameter_value(ctx, token, params, result):
    """The text a path token stands for, or None after adding the error."""
    literal = string_literal(token)
    if literal is not None:
        return literal
    key = token.lower()
    if key not in params:
        result.fail(137, 'Must declare the scalar variable "%s".' % token, ctx.server_name,
                    severity=15, state=2)
        return None
    value = params[key]
    return "" if value is None else str(value)


def backup(ctx, database, path_token, options, params):
    result = Result()
    path = parameter_value(ctx, path_token, params, result)
    if path is None:
        return result
    faults = ctx.faults
    if faults.get("drop_connection_on") == "backup":
        raise DropConnection()
    ctx.wait(float(faults.get("delay_seconds") or 0))

    found = ctx.known_database(database)
    if found is None:
        return terminated(database_missing(ctx, database), ctx)
    if ctx.session.in_transaction:
        result.fail(3021, "Cannot perform a backup or restore operation within a "
                          "transaction.", ctx.server_name)
        return terminated(result, ctx)
    forced = faults.get("backup_error")
    if forced:
        return terminated(forced_backup_error(ctx, forced, path), ctx)
    os_error = write_backup_file(ctx, found, path)
    if os_error:
        result.fail(3201, device_error_text(path, os_error), ctx.server_name, state=1)
        return terminated(result, ctx)
    size = int(ctx.server.config["backup_size"])
    ctx.journal(event="backup", database=found, path=path, size=size)
    # The file is complete and journaled; the answer waits, so a test can act
    # between the server's write and the client's next step.
    ctx.wait(float(faults.get("delay_after_write_seconds") or 0))
    return backup_messages(ctx, found, size)


def terminated(result, ctx):
    result.tokens.append(tds.error(3013, "BACKUP DATABASE is terminating abnormally.",
                                   ctx.server_name, 1, 16))
    return result


def device_error_text(path, os_error):
    reason = OS_ERROR_TEXTS.get(os_error, "Unknown error.")
    return ("Cannot open backup device '%s'. Operating system error %d(%s)."
            % (path, os_error, reason))


def forced_backup_error(ctx, forced, path):
    number = int(forced.get("number") or 3201)
    if number == 3201:
        text = device_error_text(path, int(forced.get("os_error") or 5))
    else:
        text = forced.get("message") or "The backup failed (error %d)." % number
    return Result().fail(number, text, ctx.server_name)


def resolve_path(ctx, path):
    if os.path.isabs(path):
        return path
    return os.path.join(ctx.server.config["default_backup_dir"], path)


def write_backup_file(ctx, database, path):
    """Writes the backup; returns 0 or the Windows error number to report."""
    if not path:
        return 3
    try:
        return write_backup_to(ctx, database, path, resolve_path(ctx, path))
    except ValueError:  # a NUL or an unencodable character in the name
        return 123


def write_backup_to(ctx, database, path, target):
    folder = os.path.dirname(target) or "."
    if not os.path.isdir(folder):
        return 3
    if os.path.isdir(target) or not may_write_in(folder):
        return 5
    try:
        with open(target, "wb") as out:
            for block in backup_content(database, path, int(ctx.server.config["backup_size"])):
                out.write(block)
    except OSError as failure:
        remove_quietly(target)
        return windows_error(failure)
    return 0


def may_write_in(folder):
    """Whether SQL Server's service account could write there. It is never root,
    so a folder without any write permission bit refuses it even when this
    process runs as root (as the tests and the demo do)."""
    try:
        mode = os.stat(folder).st_mode
    except OSError:
        return False
    return os.access(folder, os.W_OK) and bool(mode & 0o222)


def windows_error(failure):
    if failure.errno in (errno.ENOSPC, errno.EDQUOT):
        return 112
    if failure.errno in (errno.ENOENT, errno.ENOTDIR):
        return 3
    return 5


def remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass


def backup_content(database, path, size):
    """A deterministic, non-zero body of exactly size bytes."""
    header = ("VLSTANDIN BACKUP\r\nDatabase: %s\r\nDevice: %s\r\n\r\n"
              % (database, path)).encode("utf-8")
    pattern = bytes((i * 7 + (i >> 8) * 13 + 1) & 0xFF for i in range(65536))
    remaining = size
    first = header[:remaining]
    yield first
    remaining -= len(first)
    while remaining > 0:
        chunk = pattern[:remaining]
        yield chunk
        remaining -= len(chunk)


def backup_messages(ctx, database, size):
    data_pages = max(1, size // PAGE_SIZE)
    log_pages = 2
    total = data_pages + log_pages
    seconds = 0.05
    rate = (total * PAGE_SIZE / (1024 * 1024)) / seconds
    result = Result()
    name = ctx.server_name
    result.tokens.append(tds.info(4035, "Processed %d pages for database '%s', file '%s' "
                                        "on file 1." % (data_pages, database, database), name))
    result.tokens.append(tds.info(4035, "Processed %d pages for database '%s', file '%s_log' "
                                        "on file 1." % (log_pages, database, database), name))
    result.tokens.append(tds.info(3014, "BACKUP DATABASE successfully processed %d pages in "
                                        "%.3f seconds (%.3f MB/sec)." % (total, seconds, rate),
                                  name))
    return result


# ---------------------------------------------------------------- UPDATE

def update_system_data(ctx):
    faults = ctx.faults
    if faults.get("drop_connection_on") == "update":
        raise DropConnection()
    ctx.wait(float(faults.get("delay_seconds") or 0))
    if ctx.session.database.lower() in SYSTEM_DATABASES:
        return Result().fail(208, "Invalid object name 'SystemData'.", ctx.server_name)
    forced = faults.get("update_error")
    if forced:
        number = int(forced.get("number") or 208)
        text = forced.get("message") or "Invalid object name 'SystemData'."
        return Result().fail(number, text, ctx.server_name)
    if ctx.session.implicit_transactions:
        ctx.session.in_transaction = True
    moment = ctx.server.record_update(ctx.session.database)
    ctx.journal(event="update", table="SystemData", database=ctx.session.database,
                time=moment.isoformat(timespec="milliseconds"))
    return Result(count=1)


# ---------------------------------------------------------------- SELECT

def split_list(text):
    items, depth, current, quote = [], 0, [], None
    for ch in text:
        if quote:
            current.append(ch)
            if ch == quote:
                quote = None
        elif ch in "'[":
            quote = "]" if ch == "[" else ch
            current.append(ch)
        elif ch == "(":
            depth += 1
            current.append(ch)
        elif ch == ")":
            depth -= 1
            current.append(ch)
        elif ch == "," and depth == 0:
            items.append("".join(current).strip())
            current = []
        else:
            current.append(ch)
    items.append("".join(current).strip())
    return items


def select(ctx, text, params):
    body = text[6:].strip()
    m = re.fullmatch(r"(.*?)\s+FROM\s+(?:\[?dbo\]?\.)?\[?SystemData\]?", body, re.I | re.S)
    if m:
        return select_system_data(ctx, m.group(1).strip())
    columns, values = [], []
    for item in split_list(body):
        expr, alias = split_alias(item)
        evaluated = evaluate(ctx, expr, params)
        if evaluated is None:
            return syntax_error(ctx, expr or "SELECT")
        kind, value = evaluated
        columns.append((alias, kind))
        values.append(value)
    return result_set(columns, [values])


def split_alias(item):
    m = re.fullmatch(r"(.*?)\s+(?:AS\s+)?(\[[^\]]+\]|[A-Za-z_]\w*)", item, re.I | re.S)
    if m and not re.fullmatch(r"[Nn]?'.*", m.group(2)):
        return m.group(1).strip(), unquote_name(m.group(2))
    return item.strip(), ""


def evaluate(ctx, expr, params):
    """(kind, value) for the expressions the stand-in knows, else None."""
    upper = re.sub(r"\s+", "", expr).upper()
    literal = string_literal(expr)
    if literal is not None:
        return "nvarchar", literal
    if re.fullmatch(r"-?\d+", expr):
        return "int", int(expr)
    if expr.lower() in params:
        return "nvarchar", params[expr.lower()]
    known = {
        "@@VERSION": ("nvarchar", "Microsoft SQL Server 2022 (RTM) - 16.0.1000.6 (X64) "
                                  "(Velloran stand-in)"),
        "@@SPID": ("int", ctx.session.spid),
        "@@SERVERNAME": ("nvarchar", ctx.server_name),
        "@@SERVICENAME": ("nvarchar", ctx.instance),
        "@@TRANCOUNT": ("int", 0),
        "@@LANGUAGE": ("nvarchar", "us_english"),
        "DB_NAME()": ("nvarchar", ctx.session.database),
        "USER_NAME()": ("nvarchar", "dbo"),
        "SUSER_SNAME()": ("nvarchar", ctx.session.user),
        "SYSTEM_USER": ("nvarchar", ctx.session.user),
        "GETDATE()": ("datetime", datetime.datetime.now()),
        "CURRENT_TIMESTAMP": ("datetime", datetime.datetime.now()),
        "SERVERPROPERTY('PRODUCTVERSION')": ("nvarchar", "16.0.1000.6"),
        "SERVERPROPERTY('INSTANCENAME')": ("nvarchar", ctx.instance),
    }
    return known.get(upper)


def select_system_data(ctx, column_list):
    if re.sub(r"[\s\[\]]", "", column_list).lower() != "lastbackuputilitydate":
        return syntax_error(ctx, column_list)
    if ctx.session.database.lower() in SYSTEM_DATABASES:
        return Result().fail(208, "Invalid object name 'SystemData'.", ctx.server_name)
    moment = ctx.server.last_update(ctx.session.database)
    return result_set([("LastBackupUtilityDate", "datetime")], [[moment]])


def result_set(columns, rows):
    result = Result(count=len(rows))
    result.tokens.append(tds.colmetadata(columns))
    for values in rows:
        result.tokens.append(tds.row(columns, values))
    return result



def declared_names(declaration):
    """The parameter names of a declaration such as "@P1 nvarchar(4000),@P2 int"."""
    if not declaration:
        return []
    return [m.group(0).lower() for m in re.finditer(r"@\w+", declaration)]
