"""The outbox: a durable queue of records waiting for the syslog receiver.

While forwarding is on, triggers on the agent's connection copy every new event,
threat, vault action and audit run into the `outbox` table, inside the same
transaction that records it: what is committed is queued, and a kill -9 at any
moment loses nothing. Each message gets a sequence number that only grows (SQLite
AUTOINCREMENT never reuses one), so a receiver can drop the duplicates that
at-least-once delivery may bring.

The queue holds at most MAX_BYTES of records; beyond that the oldest are dropped
and the count is reported as an event. Messages leave it only once the receiver
took them (`commit`).
"""

import json
import logging

log = logging.getLogger("agent.outbox")
MAX_BYTES = 8 << 20

# What each kind of record looks like in a message: (column, "text" | "other").
# Text columns may hold a file name kept as a BLOB (bytes that are not UTF-8);
# JSON cannot carry a BLOB, so such a value travels as hex under "<column>~hex".
RECORDS = {
    "EVENT": ("events", (("id", "other"), ("ts", "other"), ("source", "text"), ("action", "text"),
                         ("target", "text"))),
    "THREAT": ("threats", (("id", "other"), ("ts", "other"), ("kind", "text"), ("severity", "text"),
                           ("status", "text"), ("path", "text"), ("pid", "other"), ("process_name", "text"),
                           ("signature", "text"), ("score", "other"), ("description", "text"))),
    "QUARANTINE": ("quarantine_log", (("id", "other"), ("ts", "other"), ("action", "text"),
                                      ("entry_id", "other"), ("original_path", "text"), ("sha256", "text"),
                                      ("size", "other"), ("reason", "text"))),
    "AUDIT": ("audits", (("id", "other"), ("ts", "other"), ("score", "other"), ("passing", "other"),
                         ("total", "other"), ("checks", "json"))),
}
HEX_SUFFIX = "~hex"


def _json_members(columns) -> str:
    members = []
    for name, kind in columns:
        if kind == "text":
            members.append(f"'{name}', CASE WHEN typeof(NEW.{name}) = 'blob' THEN NULL ELSE NEW.{name} END")
            members.append(f"'{name}{HEX_SUFFIX}', CASE WHEN typeof(NEW.{name}) = 'blob' THEN hex(NEW.{name}) END")
        elif kind == "json":
            members.append(f"'{name}', json(CASE WHEN json_valid(NEW.{name}) THEN NEW.{name} ELSE 'null' END)")
        else:
            members.append(f"'{name}', NEW.{name}")
    return ", ".join(members)


def _triggers() -> str:
    script = []
    for msgid, (table, columns) in RECORDS.items():
        name = f"outbox_{table}"
        script.append(
            f"CREATE TEMP TRIGGER IF NOT EXISTS {name} AFTER INSERT ON {table}\n"
            f"WHEN (SELECT enabled FROM outbox_state WHERE id = 1) BEGIN\n"
            f"  INSERT INTO outbox(kind, body, size)\n"
            f"  SELECT '{msgid}', body, length(CAST(body AS BLOB)) FROM (SELECT json_object({_json_members(columns)}) AS body);\n"
            f"END;\n")
    return "".join(script)


SCHEMA = """
CREATE TABLE IF NOT EXISTS outbox (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    kind TEXT NOT NULL,
    body TEXT NOT NULL,
    size INTEGER NOT NULL
);
-- Sizing the queue reads this narrow index instead of every message.
CREATE INDEX IF NOT EXISTS outbox_sizes ON outbox(seq, size);
CREATE TABLE IF NOT EXISTS outbox_state (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    enabled INTEGER NOT NULL DEFAULT 0,
    dropped INTEGER NOT NULL DEFAULT 0
);
INSERT OR IGNORE INTO outbox_state(id, enabled, dropped) VALUES(1, 0, 0);
"""


class Message:
    __slots__ = ("seq", "kind", "record", "size")

    def __init__(self, seq, kind, record, size):
        self.seq = seq
        self.kind = kind
        self.record = record
        self.size = size


def decode_body(body: str) -> dict:
    """The record as the socket would show it: no nulls, file names readable (U+FFFD
    for bytes that are not UTF-8)."""
    try:
        raw = json.loads(body)
    except ValueError:
        return {}
    if not isinstance(raw, dict):
        return {}
    record = {}
    for key, value in raw.items():
        if value is None:
            continue
        if key.endswith(HEX_SUFFIX):
            try:
                value = bytes.fromhex(value).decode("utf-8", "replace")
            except (TypeError, ValueError):
                continue
            key = key[:-len(HEX_SUFFIX)]
        record[key] = value
    return record


def prepare(conn):
    """Readies a connection of the agent's database: the queue's tables (created once; a new
    database starts with forwarding off, the forwarder turns it on from the settings) and, for
    this connection only, the triggers. Nothing is written when the tables exist."""
    names = {r[0] for r in conn.execute("SELECT name FROM sqlite_master")}
    if not {"outbox", "outbox_sizes", "outbox_state"} <= names:
        conn.executescript("BEGIN IMMEDIATE;\n" + SCHEMA + "COMMIT;\n")
    conn.executescript(_triggers())


class Outbox:
    """The queue in the agent's database (made by `prepare`); one consumer, the forwarder."""

    def __init__(self, db, max_bytes: int = MAX_BYTES):
        self.db = db
        self.max_bytes = max_bytes

    def set_enabled(self, on: bool):
        self.db.execute("UPDATE outbox_state SET enabled = ? WHERE id = 1", (1 if on else 0,))

    def enabled(self) -> bool:
        return bool(self.db.query_one("SELECT enabled FROM outbox_state WHERE id = 1")["enabled"])

    def peek(self, after: int, limit: int, max_bytes: int) -> list[Message]:
        """The oldest messages after sequence number `after`, at most `limit` of them and about
        `max_bytes` in all (always at least one)."""
        rows = self.db.query("SELECT seq, kind, body, size FROM outbox WHERE seq > ? ORDER BY seq LIMIT ?",
                             (after, limit))
        out, total = [], 0
        for row in rows:
            if out and total + row["size"] > max_bytes:
                break
            out.append(Message(row["seq"], row["kind"], decode_body(row["body"]), row["size"]))
            total += row["size"]
        return out

    def commit(self, upto: int):
        """The receiver has everything up to and including `upto`."""
        self.db.execute("DELETE FROM outbox WHERE seq <= ?", (upto,))

    def stats(self) -> tuple[int, int]:
        """(messages, bytes) waiting."""
        row = self.db.query_one("SELECT COUNT(*) AS n, COALESCE(SUM(size), 0) AS bytes FROM outbox")
        return row["n"], row["bytes"]

    def trim(self) -> int:
        """Drops the oldest messages until the queue fits in max_bytes; returns how many went."""
        with self.db.lock:
            total = self.db.query_one("SELECT COALESCE(SUM(size), 0) AS bytes FROM outbox")["bytes"]
            excess = total - self.max_bytes
            if excess <= 0:
                return 0
            cut, dropped = None, 0
            for row in self.db.conn.execute("SELECT seq, size FROM outbox ORDER BY seq"):
                cut = row["seq"]
                dropped += 1
                excess -= row["size"]
                if excess <= 0:
                    break
            with self.db.transaction() as conn:
                conn.execute("DELETE FROM outbox WHERE seq <= ?", (cut,))
                conn.execute("UPDATE outbox_state SET dropped = dropped + ? WHERE id = 1", (dropped,))
            self.db.generation += 1
        log.warning("forwarding queue over %d bytes: dropped the %d oldest messages", self.max_bytes, dropped)
        return dropped

    def dropped_total(self) -> int:
        return self.db.query_one("SELECT dropped FROM outbox_state WHERE id = 1")["dropped"]
