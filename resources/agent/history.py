"""The agent's history: searching it, keeping audit runs and vault actions, exporting it.

- `Filters` reads the optional "since", "until", "query" and "offset" members of a
  request; since <= ts < until, and the query is a case-insensitive substring over
  the text fields of a record (Unicode case folding, so "Ș" finds "ș").
- `prepare` adds two history tables beside the agent's own: `audits` (every audit
  run) and `quarantine_log` (every move into the vault, restore and delete, written
  by triggers on the quarantine table, so no vault code path can skip it).
  The triggers are TEMP ones, made again on every connection: they keep the
  database's own schema small and are never out of date.
- `export_page` cuts one page of an export, oldest record first. The cursor is the
  id of the last record already sent; the pages concatenated give one CSV file
  (RFC 4180, UTF-8 with a byte-order mark, header first) or one JSON array.
"""

import csv
import json
from json.encoder import encode_basestring
import math
import time
from dataclasses import dataclass

from . import fsnames

MAX_QUERY_CHARS = 1000
MAX_OFFSET = 1_000_000_000
PAGE_BUDGET = 3 << 19  # 1.5 MiB of reply text per page, well under the 2 MiB a reply may carry
FETCH_ROWS = 2000
FORMATS = ("csv", "json")
_JSON = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False)

SCHEMA = """
CREATE TABLE IF NOT EXISTS audits (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    ts REAL NOT NULL,
    score INTEGER NOT NULL,
    passing INTEGER NOT NULL,
    total INTEGER NOT NULL,
    checks TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS audits_ts ON audits(ts);
CREATE TABLE IF NOT EXISTS quarantine_log (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    ts REAL NOT NULL,
    action TEXT NOT NULL,
    entry_id INTEGER NOT NULL,
    original_path TEXT,
    sha256 TEXT,
    size INTEGER,
    reason TEXT
);
CREATE INDEX IF NOT EXISTS quarantine_log_ts ON quarantine_log(ts);
"""

# SQLite 3.40 has no unixepoch('subsec'): epoch seconds with milliseconds from the Julian day.
SQL_NOW = "((julianday('now') - 2440587.5) * 86400.0)"


def _vault_trigger(name, event, when, action, row):
    return (f"CREATE TEMP TRIGGER IF NOT EXISTS {name} AFTER {event} ON quarantine WHEN {when} BEGIN\n"
            f"  INSERT INTO quarantine_log(ts, action, entry_id, original_path, sha256, size, reason)\n"
            f"  VALUES({SQL_NOW}, '{action}', {row}.id, {row}.original_path, {row}.sha256, {row}.size, {row}.reason);\n"
            f"END;\n")


# A vault entry becomes 'active' once its copy is durable and the original gone; a restore
# or delete claims it ('restoring', 'deleting') and removes the row when it has finished.
TRIGGERS = (_vault_trigger("quarantine_log_moved", "UPDATE OF state", "OLD.state = 'stored' AND NEW.state = 'active'",
                           "quarantined", "NEW")
            + _vault_trigger("quarantine_log_restored", "DELETE", "OLD.state = 'restoring'", "restored", "OLD")
            + _vault_trigger("quarantine_log_deleted", "DELETE", "OLD.state = 'deleting'", "deleted", "OLD"))
TABLES = ("audits", "audits_ts", "quarantine_log", "quarantine_log_ts")


def prepare(conn):
    """Readies a connection of the agent's database: the history tables (created once; entries
    already in the vault then are logged as quarantined), and, for this connection only, the
    triggers and the query function. Nothing is written when the tables exist, so the agent
    still starts on a full disk."""
    names = {r[0] for r in conn.execute("SELECT name FROM sqlite_master")}
    if not set(TABLES) <= names:
        backfill = ("INSERT INTO quarantine_log(ts, action, entry_id, original_path, sha256, size, reason)"
                    " SELECT ts, 'quarantined', id, original_path, sha256, size, reason FROM quarantine"
                    " WHERE state = 'active' ORDER BY id;\n") if "quarantine_log" not in names else ""
        conn.executescript("BEGIN IMMEDIATE;\n" + SCHEMA + backfill + "COMMIT;\n")
    conn.executescript(TRIGGERS)
    conn.create_function("tsav_match", -1, _matches, deterministic=True)


def _fold(value):
    if value is None:
        return ""
    if isinstance(value, (bytes, memoryview)):
        value = fsnames.display(bytes(value))
    return str(value).casefold()


def _matches(needle, *fields):
    return any(needle in _fold(f) for f in fields)


def record_audit(db, result: dict, ts: float | None = None) -> int:
    """Keeps one audit run (the reply of "audit.run"); returns its id."""
    checks = json.dumps(result.get("checks", []), ensure_ascii=False, separators=(",", ":"))
    cur = db.execute("INSERT INTO audits(ts, score, passing, total, checks) VALUES(?,?,?,?,?)",
                     (time.time() if ts is None else ts, int(result.get("score", 0)), int(result.get("passing", 0)),
                      int(result.get("total", 0)), checks))
    return cur.lastrowid


# -- filters ---------------------------------------------------------------------------

class FilterError(ValueError):
    pass


def _number(request, key):
    value = request.get(key)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise FilterError(f'"{key}" must be a number of epoch seconds')
    return float(value)


def _count(request, key, default, maximum):
    value = request.get(key, default)
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int):
        raise FilterError(f'"{key}" must be an integer')
    if value < 0:
        raise FilterError(f'"{key}" must not be negative')
    return min(value, maximum)


@dataclass(frozen=True)
class Filters:
    since: float | None = None
    until: float | None = None
    query: str = ""

    @classmethod
    def from_request(cls, request) -> "Filters":
        query = request.get("query")
        if query is None:
            query = ""
        if not isinstance(query, str):
            raise FilterError('"query" must be a string')
        if len(query) > MAX_QUERY_CHARS:
            raise FilterError(f'"query" is longer than {MAX_QUERY_CHARS} characters')
        return cls(_number(request, "since"), _number(request, "until"), query.casefold())

    def __bool__(self):
        return self.since is not None or self.until is not None or bool(self.query)

    def where(self, text_columns) -> tuple[str, list]:
        """An SQL condition (never empty) and its parameters."""
        clauses, params = ["1"], []
        if self.since is not None:
            clauses.append("ts >= ?")
            params.append(self.since)
        if self.until is not None:
            clauses.append("ts < ?")
            params.append(self.until)
        if self.query:
            clauses.append(f"tsav_match(?, {', '.join(text_columns)})")
            params.append(self.query)
        return " AND ".join(clauses), params


def offset_of(request) -> int:
    return _count(request, "offset", 0, MAX_OFFSET)


def search(db, kind, filters: Filters, limit: int, offset: int = 0):
    """Rows of one kind of record matching the filters, newest first."""
    layout = KINDS[kind]
    where, params = filters.where(layout.search)
    return db.query(f"SELECT * FROM {layout.table} WHERE {where} ORDER BY id DESC LIMIT ? OFFSET ?",
                    (*params, limit, offset))


# -- export ----------------------------------------------------------------------------

def iso_time(ts) -> str:
    """ISO 8601 in UTC, to the second: 2026-01-05T12:00:00Z."""
    try:
        seconds = float(ts)
    except (TypeError, ValueError):
        return ""
    if not math.isfinite(seconds):
        return ""
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def _text(value) -> str:
    if isinstance(value, (bytes, memoryview)):
        return fsnames.display(bytes(value))
    return "" if value is None else str(value)


def _name(value) -> str:
    if isinstance(value, str) and "\\" not in value:
        return value  # text from the database is valid UTF-8: nothing to escape
    return fsnames.escaped(bytes(value) if isinstance(value, memoryview) else value)


_CONVERT = {"int": int, "float": float, "text": _text, "name": _name}


@dataclass(frozen=True)
class Column:
    key: str
    kind: str  # "int", "float", "text", or "name" (a file or process name: its bytes kept, escaped)

    def value(self, row):
        raw = row[self.key]
        return None if raw is None else _CONVERT[self.kind](raw)


@dataclass(frozen=True)
class Kind:
    table: str
    columns: tuple  # of Column, in file order
    search: tuple   # text columns the query looks at

    def record(self, row) -> dict:
        record = {}
        for c in self.columns:
            value = c.value(row)
            if value is not None:
                record[c.key] = value
        return record


KINDS = {
    "threats": Kind("threats", (
        Column("id", "int"), Column("ts", "float"), Column("kind", "text"), Column("severity", "text"),
        Column("status", "text"), Column("path", "name"), Column("pid", "int"), Column("process_name", "name"),
        Column("signature", "text"), Column("score", "float"), Column("description", "text")),
        ("kind", "severity", "status", "path", "process_name", "signature", "description")),
    "events": Kind("events", (
        Column("id", "int"), Column("ts", "float"), Column("source", "text"), Column("action", "text"),
        Column("target", "name")),
        ("source", "action", "target")),
    "quarantine": Kind("quarantine_log", (
        Column("id", "int"), Column("ts", "float"), Column("action", "text"), Column("entry_id", "int"),
        Column("original_path", "name"), Column("sha256", "text"), Column("size", "int"), Column("reason", "text")),
        ("action", "original_path", "sha256", "reason")),
    "audit": Kind("audits", (
        Column("id", "int"), Column("ts", "float"), Column("score", "int"), Column("passing", "int"),
        Column("total", "int")),
        ("checks",)),
}

AUDIT_CSV_COLUMNS = ("id", "time", "score", "passing", "total", "check", "title", "severity", "pass", "detail")
# Spreadsheets run a cell that starts with one of these as a formula; such cells get a leading "'".
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def _cell(value) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(value)
    text = str(value)
    return "'" + text if text.startswith(FORMULA_STARTS) else text


class _CsvWriter:
    def __init__(self):
        self.parts = []
        self.writer = csv.writer(self, lineterminator="\r\n", quoting=csv.QUOTE_MINIMAL)

    def write(self, text):  # what csv.writer writes each line to
        self.parts.append(text)

    def lines(self, rows) -> str:
        self.parts.clear()
        for row in rows:
            self.writer.writerow([_cell(v) for v in row])
        return "".join(self.parts)


def csv_header(kind) -> list:
    if kind == "audit":
        return list(AUDIT_CSV_COLUMNS)
    return ["time" if c.key == "ts" else c.key for c in KINDS[kind].columns]


def csv_rows(kind, row) -> list:
    values = [c.value(row) for c in KINDS[kind].columns]
    values[1] = iso_time(values[1])  # every kind has its time second, after the id
    if kind != "audit":
        return [values]
    head = values
    checks = _checks(row)
    if not checks:
        return [head + [None] * 5]
    return [head + [_text(c.get("id")), _text(c.get("title")), _text(c.get("severity")),
                    "pass" if c.get("pass") else "fail", _text(c.get("detail"))] for c in checks]


def _checks(row) -> list:
    try:
        checks = json.loads(row["checks"])
    except (TypeError, ValueError):
        return []
    return [c for c in checks if isinstance(c, dict)] if isinstance(checks, list) else []


def json_record(kind, row) -> dict:
    record = KINDS[kind].record(row)
    if kind == "audit":
        record["checks"] = _checks(row)
    return record


def _reply_size(text: str) -> int:
    """Bytes `text` takes inside the JSON reply."""
    return len(encode_basestring(text).encode("utf-8", "replace"))


def _rows_after(db, layout, where, params, last):
    while True:
        batch = db.query(f"SELECT * FROM {layout.table} WHERE id > ? AND {where} ORDER BY id LIMIT ?",
                         (last, *params, FETCH_ROWS))
        yield from batch
        if len(batch) < FETCH_ROWS:
            return
        last = batch[-1]["id"]


def export_page(db, kind, fmt, filters: Filters, cursor: int, budget: int = PAGE_BUDGET) -> dict:
    """One page of an export: {kind, format, chunk, rows, total, next}."""
    if not isinstance(kind, str) or kind not in KINDS:
        raise FilterError('"kind" must be one of ' + ", ".join(f'"{k}"' for k in KINDS))
    if not isinstance(fmt, str) or fmt not in FORMATS:
        raise FilterError('"format" must be "csv" or "json"')
    layout = KINDS[kind]
    where, params = filters.where(layout.search)
    total = db.query_one(f"SELECT COUNT(*) AS n FROM {layout.table} WHERE {where}", params)["n"]
    writer = _CsvWriter() if fmt == "csv" else None
    parts, size, rows, last, more = [], 0, 0, cursor, False
    if cursor == 0:
        parts.append(("\ufeff" + writer.lines([csv_header(kind)])) if writer else "[")
        size += _reply_size(parts[0])
    for row in _rows_after(db, layout, where, params, cursor):
        if writer:
            text = writer.lines(csv_rows(kind, row))
        else:
            separator = "\n" if rows == 0 and cursor == 0 else ",\n"
            text = separator + _JSON.encode(json_record(kind, row))
        cost = _reply_size(text)
        if rows and size + cost > budget:
            more = True  # this row opens the next page
            break
        parts.append(text)
        size += cost
        rows += 1
        last = row["id"]
    if not more and not writer:
        parts.append("\n]\n")
    return {"kind": kind, "format": fmt, "chunk": "".join(parts), "rows": rows, "total": total,
            "next": last if more else None}
