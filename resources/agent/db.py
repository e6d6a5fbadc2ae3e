"""SQLite store (WAL) for threats, events, quarantine, scans and settings.

One connection shared by all threads behind a lock; statements are short.
Commits use synchronous=FULL so that a quarantine record is on disk before the
original file is removed.
"""

import os
import sqlite3
import threading
import time

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
    dedup TEXT
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
    hits INTEGER NOT NULL DEFAULT 0
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
"""

MAX_EVENTS = 50_000
MAX_THREATS = 20_000


class Database:
    def __init__(self, path: str):
        self.path = path
        self.lock = threading.RLock()
        self.generation = 0  # bumped by every write
        self.conn = sqlite3.connect(path, timeout=30, isolation_level=None, check_same_thread=False)
        self.conn.row_factory = sqlite3.Row
        with self.lock:
            self.conn.execute("PRAGMA journal_mode=WAL")
            self.conn.execute("PRAGMA synchronous=FULL")
            self.conn.execute("PRAGMA foreign_keys=ON")
            self.conn.executescript(SCHEMA)
        for suffix in ("", "-wal", "-shm"):
            try:
                os.chmod(path + suffix, 0o600)
            except OSError:
                pass

    def close(self):
        with self.lock:
            try:
                self.conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            except sqlite3.Error:
                pass
            self.conn.close()

    # -- plumbing ---------------------------------------------------------
    def execute(self, sql, params=()):
        """Runs a statement that may write; bumps `generation` so caches can tell."""
        with self.lock:
            self.generation += 1
            return self.conn.execute(sql, params)

    def query(self, sql, params=()):
        with self.lock:
            return self.conn.execute(sql, params).fetchall()

    def query_one(self, sql, params=()):
        with self.lock:
            return self.conn.execute(sql, params).fetchone()

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
        with self.lock:
            self.generation += 1
            cur = self.conn.execute("INSERT INTO events(ts, source, action, target) VALUES(?,?,?,?)",
                                    (ts, source, action, target))
            return cur.lastrowid

    def prune(self):
        """Keep the newest MAX_EVENTS events and MAX_THREATS threats."""
        with self.lock:
            self.conn.execute("DELETE FROM events WHERE id <= (SELECT COALESCE(MAX(id), 0) FROM events) - ?",
                              (MAX_EVENTS,))
            self.conn.execute("DELETE FROM threats WHERE status != 'detected' AND id <= "
                              "(SELECT COALESCE(MAX(id), 0) FROM threats) - ?", (MAX_THREATS,))


class _Transaction:
    def __init__(self, db: Database):
        self.db = db

    def __enter__(self):
        self.db.lock.acquire()
        self.db.conn.execute("BEGIN IMMEDIATE")
        return self.db.conn

    def __exit__(self, exc_type, exc, tb):
        try:
            if exc_type is None:
                self.db.conn.execute("COMMIT")
            else:
                self.db.conn.execute("ROLLBACK")
        finally:
            self.db.lock.release()
        return False
