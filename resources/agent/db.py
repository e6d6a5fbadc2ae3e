"""SQLite store (WAL) for threats, events, quarantine, scans and settings.

One connection shared by all threads behind a lock; statements are short.
Commits use synchronous=FULL so that a quarantine record is on disk before the
original file is removed.

Errors are translated here, at the edge: every sqlite3 error leaves this module
as a StorageError whose text says why in a few words ("disk full", "read-only
file system", "database damaged"), so callers answer with that instead of an
exception name, and a failed write has changed nothing.

A damaged database is found when it is opened (PRAGMA quick_check) or by the
first SQLITE_CORRUPT / SQLITE_NOTADB error at run time. Either way the damaged
files are moved aside (agent.db.damaged-<time>), a fresh database is created,
the rows that can still be read are copied into it (every table but the
quarantine, which the vault rebuilds from its own file headers), and the
`on_recovered` callback is told what happened. Ids keep growing across a
rebuild, so a console never sees an old id reused for a new threat.
"""

import errno
import logging
import os
import re
import sqlite3
import threading
import time

log = logging.getLogger("agent.db")

SCHEMA = """
CREATE TABLE IF NOT EXISTS threats (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    ts REAL NOT NULL,
    kind TEXT NOT NULL,
    severity TEXT NOT NULL,
    path TEXT,
    pid INTEGER,
    process_name TEXT,
    signature TEXT,
    score REAL,
    description TEXT,
    status TEXT NOT NULL,
    dedup TEXT,
    sha256 TEXT
);
CREATE INDEX IF NOT EXISTS threats_ts ON threats(ts);
CREATE INDEX IF NOT EXISTS threats_status ON threats(status);
CREATE INDEX IF NOT EXISTS threats_dedup ON threats(dedup);
CREATE TABLE IF NOT EXISTS events (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    ts REAL NOT NULL,
    source TEXT NOT NULL,
    action TEXT NOT NULL,
    target TEXT
);
CREATE INDEX IF NOT EXISTS events_ts ON events(ts);
CREATE TABLE IF NOT EXISTS quarantine (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    ts REAL NOT NULL,
    original_path TEXT NOT NULL,
    vault_path TEXT NOT NULL,
    sha256 TEXT NOT NULL,
    size INTEGER NOT NULL,
    reason TEXT NOT NULL,
    state TEXT NOT NULL,
    xor_key BLOB NOT NULL,
    orig_dev INTEGER,
    orig_ino INTEGER,
    mode INTEGER NOT NULL,
    uid INTEGER,
    gid INTEGER,
    threat_ids TEXT NOT NULL DEFAULT '[]'
);
CREATE TABLE IF NOT EXISTS scans (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    kind TEXT NOT NULL,
    started REAL NOT NULL,
    finished REAL,
    scanned INTEGER NOT NULL DEFAULT 0,
    hits INTEGER NOT NULL DEFAULT 0,
    outcome TEXT,
    error TEXT,
    skipped_foreign INTEGER,
    unreadable INTEGER,
    locations TEXT
);
CREATE TABLE IF NOT EXISTS kv (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS allowlist (
    path TEXT NOT NULL,
    sha256 TEXT NOT NULL,
    PRIMARY KEY (path, sha256)
);
CREATE TABLE IF NOT EXISTS allow_entries (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    kind TEXT NOT NULL,
    value TEXT NOT NULL,
    note TEXT NOT NULL DEFAULT '',
    ts REAL NOT NULL,
    UNIQUE (kind, value)
);
"""
# Columns added since the first release: a database written before gets them when it is opened.
ADDED_COLUMNS = {
    "threats": (("sha256", "TEXT"),),
    "scans": (("outcome", "TEXT"), ("error", "TEXT"), ("skipped_foreign", "INTEGER"), ("unreadable", "INTEGER"),
              ("locations", "TEXT")),
}

MAX_EVENTS = 50_000
MAX_THREATS = 20_000

# SQLite's primary result codes (the low byte of an extended code).
SQLITE_PERM, SQLITE_BUSY, SQLITE_LOCKED, SQLITE_READONLY = 3, 5, 6, 8
SQLITE_IOERR, SQLITE_CORRUPT, SQLITE_FULL, SQLITE_CANTOPEN, SQLITE_NOTADB = 10, 11, 13, 14, 26
DAMAGE_CODES = (SQLITE_CORRUPT, SQLITE_NOTADB)
# When a table could not be read at all, new ids start this far above anything known,
# so that an id a console has already seen is not given to a new row.
ID_MARGIN = 10_000
RECOVERY_BACKOFF = 10.0  # seconds between two rebuilds attempted at run time
_INSERT_TABLE = re.compile(r"\s*INSERT\s+(?:OR\s+\w+\s+)?INTO\s+(\w+)", re.IGNORECASE)

OS_REASONS = {
    errno.ENOSPC: "disk full",
    errno.EDQUOT: "disk quota exceeded",
    errno.EROFS: "read-only file system",
    errno.EIO: "input/output error",
    errno.EACCES: "permission denied",
    errno.EPERM: "permission denied",
    errno.ENAMETOOLONG: "name too long",
    errno.EMFILE: "too many open files",
    errno.ENFILE: "too many open files",
}


class StorageError(Exception):
    """A read or write of the agent's own data failed; `reason` says why in a few words."""

    def __init__(self, reason: str, damaged: bool = False):
        super().__init__(reason)
        self.reason = reason
        self.damaged = damaged


def describe_os_error(exc: OSError) -> str:
    """A short reason for an OSError: "disk full", "read-only file system", …"""
    reason = OS_REASONS.get(exc.errno)
    if reason:
        return reason
    return (exc.strerror or str(exc) or type(exc).__name__).lower()


def filesystem_state(directory: str) -> str | None:
    """"read-only file system" or "disk full" when `directory`'s filesystem is so, else None."""
    try:
        st = os.statvfs(directory)
    except OSError:
        return None
    if st.f_flag & os.ST_RDONLY:
        return "read-only file system"
    free = st.f_bfree if os.geteuid() == 0 else st.f_bavail
    if free * st.f_frsize < 64 * 1024 or (st.f_files and st.f_ffree == 0):
        return "disk full"
    return None


def describe_sqlite_error(exc: sqlite3.Error, directory: str | None = None) -> StorageError:
    code = getattr(exc, "sqlite_errorcode", None)
    primary = code & 0xFF if isinstance(code, int) else None
    if primary is None:
        # Errors raised by the module itself (closed connection, misuse) carry no code.
        text = str(exc).lower()
        if "malformed" in text or "not a database" in text:
            primary = SQLITE_CORRUPT
        elif "disk is full" in text:
            primary = SQLITE_FULL
    if primary in DAMAGE_CODES:
        return StorageError("database damaged", damaged=True)
    if primary == SQLITE_FULL:
        return StorageError("disk full")
    if primary in (SQLITE_IOERR, SQLITE_READONLY, SQLITE_CANTOPEN, SQLITE_PERM):
        # SQLite does not pass errno on; the filesystem itself tells the common causes apart.
        fs = filesystem_state(directory) if directory else None
        if fs:
            return StorageError(fs)
        return StorageError({SQLITE_IOERR: "input/output error", SQLITE_READONLY: "database is read-only",
                             SQLITE_CANTOPEN: "cannot open the database file",
                             SQLITE_PERM: "permission denied"}[primary])
    if primary in (SQLITE_BUSY, SQLITE_LOCKED):
        return StorageError("database busy")
    return StorageError(str(exc) or type(exc).__name__)


class Database:
    def __init__(self, path: str, prepare=()):
        self.path = path
        # Callables(conn) run on every connection after the schema: tables, triggers and SQL
        # functions of other modules, so that a rebuilt database has them (and salvages them) too.
        self.prepare = tuple(prepare)
        self.dir = os.path.dirname(os.path.abspath(path))
        self.lock = threading.RLock()
        self.generation = 0  # bumped by every write
        self.epoch = 0  # bumped by every rebuild: rows written before it may be gone
        self.recovery = None  # what the last rebuild did (see _rebuild), None when there was none
        self.on_recovered = None  # callable(report) after a rebuild at run time
        self._high = {}  # table -> highest id handed out, kept across a rebuild
        self._txn_depth = 0
        self._last_rebuild = 0.0
        self.conn = None
        try:
            self.conn = self._connect()
            problem = self._quick_check(self.conn)
        except sqlite3.Error as exc:
            err = describe_sqlite_error(exc, self.dir)
            if not err.damaged:
                self._close_quietly()
                raise err from exc
            problem = str(exc)
        if problem:
            self._rebuild(problem)

    # -- opening, checking, rebuilding -------------------------------------
    def _connect(self):
        conn = sqlite3.connect(self.path, timeout=30, isolation_level=None, check_same_thread=False)
        try:
            conn.row_factory = sqlite3.Row
            conn.execute("PRAGMA journal_mode=WAL")
            conn.execute("PRAGMA synchronous=FULL")
            conn.execute("PRAGMA foreign_keys=ON")
            conn.executescript(SCHEMA)
            for table, added in ADDED_COLUMNS.items():
                have = {r["name"] for r in conn.execute(f"PRAGMA table_info({table})")}
                for name, kind in added:
                    if name not in have:
                        conn.execute(f"ALTER TABLE {table} ADD COLUMN {name} {kind}")
            for prepare in self.prepare:
                prepare(conn)
            for row in conn.execute("SELECT name, seq FROM sqlite_sequence"):
                self._note_id(row["name"], row["seq"])
        except BaseException:
            conn.close()
            raise
        for suffix in ("", "-wal", "-shm"):
            try:
                os.chmod(self.path + suffix, 0o600)
            except OSError:
                pass
        return conn

    @staticmethod
    def _quick_check(conn) -> str | None:
        rows = [r[0] for r in conn.execute("PRAGMA quick_check").fetchall()]
        return None if rows == ["ok"] else "; ".join(str(r) for r in rows[:3])

    def _close_quietly(self):
        if self.conn is not None:
            try:
                self.conn.close()
            except sqlite3.Error:
                pass
            self.conn = None

    def _aside_name(self) -> str:
        base = f"{self.path}.damaged-{time.strftime('%Y%m%dT%H%M%S', time.gmtime())}"
        name, n = base, 1
        while os.path.lexists(name):
            n += 1
            name = f"{base}.{n}"
        return name

    def _rebuild(self, problem: str):
        """Moves the damaged files aside, starts a fresh database and copies what can be read."""
        self._close_quietly()
        aside = self._aside_name()
        for suffix in ("", "-wal", "-shm"):
            try:
                os.rename(self.path + suffix, aside + suffix)
            except FileNotFoundError:
                pass
            except OSError as exc:
                try:  # keep serving what the damaged database still can
                    self.conn = self._connect()
                except sqlite3.Error:
                    pass
                raise StorageError(f"database damaged and cannot be moved aside: {describe_os_error(exc)}",
                                   damaged=True) from None
        log.error("database damaged (%s); moved aside to %s", problem, aside)
        try:
            self.conn = self._connect()
        except sqlite3.Error as exc:
            raise describe_sqlite_error(exc, self.dir) from exc
        salvaged, unread, quarantine_rows = self._salvage(aside)
        self._seed_ids(unread)
        self.generation += 1
        self.epoch += 1
        self.recovery = {"problem": problem, "aside": aside, "at": time.time(), "salvaged": salvaged,
                         "unread": sorted(unread), "quarantine_rows": quarantine_rows}
        return self.recovery

    def _salvage(self, aside):
        """Copies every row that still reads cleanly; returns (rows per table, tables not read, quarantine rows)."""
        tables = [r["name"] for r in self.conn.execute(
            "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%'")]
        salvaged, unread, quarantine_rows = {}, set(tables), []
        try:
            old = sqlite3.connect(f"file:{aside}?mode=ro", uri=True, timeout=5)
            old.row_factory = sqlite3.Row
        except sqlite3.Error:
            return salvaged, unread, quarantine_rows
        try:
            try:
                for row in old.execute("SELECT name, seq FROM sqlite_sequence"):
                    self._note_id(row["name"], row["seq"])
            except sqlite3.Error:
                pass
            for table in tables:
                try:
                    old_cols = [r["name"] for r in old.execute(f"PRAGMA table_info({table})")]
                except sqlite3.Error:
                    continue
                new_cols = [r["name"] for r in self.conn.execute(f"PRAGMA table_info({table})")]
                cols = [c for c in new_cols if c in old_cols]
                if not cols:
                    continue
                rows, complete = _read_rows(old, table, cols)
                if complete or rows:
                    unread.discard(table)
                for row in rows:
                    self._note_id(table, row[0])
                if table == "quarantine":
                    quarantine_rows = [dict(zip(cols, row[1:])) for row in rows]
                    continue
                marks = ",".join("?" * len(cols))
                self.conn.execute("BEGIN")
                self.conn.executemany(f"INSERT OR IGNORE INTO {table}({','.join(cols)}) VALUES({marks})",
                                      [row[1:] for row in rows])
                self.conn.execute("COMMIT")
                salvaged[table] = len(rows)
        finally:
            old.close()
        return salvaged, unread, quarantine_rows

    def _note_id(self, table, value):
        if isinstance(value, int) and value > self._high.get(table, 0):
            self._high[table] = value

    def _seed_ids(self, unread):
        """New rows continue above every id known from before the rebuild."""
        tables = [r["name"] for r in self.conn.execute(
            "SELECT name FROM sqlite_master WHERE type='table' AND sql LIKE '%AUTOINCREMENT%'")]
        for table in tables:
            seq = self._high.get(table, 0) + (ID_MARGIN if table in unread else 0)
            if seq <= 0:
                continue
            self.conn.execute("DELETE FROM sqlite_sequence WHERE name=?", (table,))
            self.conn.execute("INSERT INTO sqlite_sequence(name, seq) VALUES(?, ?)", (table, seq))

    def _recover_at_run_time(self, problem: str) -> bool:
        now = time.monotonic()
        if self._last_rebuild and now - self._last_rebuild < RECOVERY_BACKOFF:
            return False
        self._last_rebuild = now
        try:
            report = self._rebuild(problem)
        except StorageError as exc:
            log.error("rebuilding the damaged database failed: %s", exc)
            return False
        if self.on_recovered is not None:
            try:
                self.on_recovered(report)
            except Exception:
                log.exception("after rebuilding the database")
        return True

    def close(self):
        with self.lock:
            if self.conn is None:
                return
            try:
                self.conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            except sqlite3.Error:
                pass
            self._close_quietly()

    # -- plumbing ---------------------------------------------------------
    def _run(self, fn):
        """Runs fn(conn) under the lock; errors leave as StorageError. A damaged database is
        rebuilt and a statement outside a transaction is tried once more on the fresh one."""
        with self.lock:
            if self.conn is None:
                raise StorageError("database damaged", damaged=True)
            try:
                return fn(self.conn)
            except sqlite3.Error as exc:
                err = describe_sqlite_error(exc, self.dir)
                if not (err.damaged and self._txn_depth == 0 and self._recover_at_run_time(str(exc))):
                    raise err from exc
            try:
                return fn(self.conn)
            except sqlite3.Error as exc:
                raise describe_sqlite_error(exc, self.dir) from exc

    def execute(self, sql, params=()):
        """Runs a statement that may write; bumps `generation` so caches can tell."""
        def run(conn):
            cur = conn.execute(sql, params)
            self.generation += 1
            match = _INSERT_TABLE.match(sql)
            if match:
                self._note_id(match.group(1), cur.lastrowid)
            return cur
        return self._run(run)

    def query(self, sql, params=()):
        return self._run(lambda conn: conn.execute(sql, params).fetchall())

    def query_one(self, sql, params=()):
        return self._run(lambda conn: conn.execute(sql, params).fetchone())

    def transaction(self):
        return _Transaction(self)

    # -- key/value --------------------------------------------------------
    def kv_get(self, key, default=None):
        row = self.query_one("SELECT value FROM kv WHERE key=?", (key,))
        return row["value"] if row else default

    def kv_set(self, key, value: str):
        self.execute("INSERT INTO kv(key, value) VALUES(?, ?) ON CONFLICT(key) DO UPDATE SET value=excluded.value",
                     (key, value))

    # -- events -----------------------------------------------------------
    def add_event(self, source, action, target=None, ts=None):
        ts = time.time() if ts is None else ts
        return self.execute("INSERT INTO events(ts, source, action, target) VALUES(?,?,?,?)",
                            (ts, source, action, target)).lastrowid

    def prune(self):
        """Keep the newest MAX_EVENTS events and MAX_THREATS threats."""
        def run(conn):
            conn.execute("DELETE FROM events WHERE id <= (SELECT COALESCE(MAX(id), 0) FROM events) - ?",
                         (MAX_EVENTS,))
            conn.execute("DELETE FROM threats WHERE status != 'detected' AND id <= "
                         "(SELECT COALESCE(MAX(id), 0) FROM threats) - ?", (MAX_THREATS,))
        self._run(run)


def _read_rows(conn, table, cols, batch=500, max_skips=64):
    """Reads (rowid, *cols) in rowid order past damaged pages; returns (rows, read without a gap)."""
    select = f"SELECT rowid, {','.join(cols)} FROM {table} WHERE rowid > ? ORDER BY rowid LIMIT ?"
    rows, last, skips, complete = [], -(1 << 62), 0, True
    while skips < max_skips:
        try:
            chunk = conn.execute(select, (last, batch)).fetchall()
        except sqlite3.Error:
            try:  # one row at a time up to the damage, then jump over it
                chunk = conn.execute(select, (last, 1)).fetchall()
            except sqlite3.Error:
                complete = False
                skips += 1
                last = max(last, 0) + (1 << min(skips, 40))
                continue
        if not chunk:
            break
        rows.extend(tuple(r) for r in chunk)
        last = chunk[-1][0]
    return rows, complete and skips < max_skips


class _Transaction:
    def __init__(self, db: Database):
        self.db = db

    def __enter__(self):
        self.db.lock.acquire()
        self.db._txn_depth += 1
        try:
            self.db.conn.execute("BEGIN IMMEDIATE")
        except sqlite3.Error as exc:
            self.db._txn_depth -= 1
            self.db.lock.release()
            raise describe_sqlite_error(exc, self.db.dir) from exc
        return self.db.conn

    def __exit__(self, exc_type, exc, tb):
        try:
            if exc_type is None:
                try:
                    self.db.conn.execute("COMMIT")
                    self.db.generation += 1
                    return False
                except sqlite3.Error as err:
                    exc = err
            try:
                self.db.conn.execute("ROLLBACK")
            except sqlite3.Error:
                pass
            if isinstance(exc, sqlite3.Error):
                raise describe_sqlite_error(exc, self.db.dir) from exc
            return False
        finally:
            self.db._txn_depth -= 1
            self.db.lock.release()
