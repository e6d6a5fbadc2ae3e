"""Allow-list: what the user said is fine.

Entries (table allow_entries):
  "path"     an absolute path: that file, or everything under that directory
  "sha256"   a file's content, wherever it is
  "process"  an executable's absolute path: processes running it

Scans and real-time protection skip files a "path" entry covers before reading
them, and drop a detection whose content a "sha256" entry covers. The behaviour
and network engines ask `covers(exe=…)` before raising a threat.

A restored quarantine entry is remembered separately (table allowlist, which
the vault writes: the exact path with the exact content the user chose to
keep); it is not shown in the list and lapses when the content changes. Both
are answered by `covers`.
"""

import os
import re
import threading
import time

from . import fsnames

KINDS = ("path", "sha256", "process")
MAX_VALUE = 4096
MAX_NOTE = 500
MAX_ENTRIES = 10_000
_SHA256 = re.compile(r"^[0-9a-fA-F]{64}$")

class AllowListError(ValueError):
    """A request the allow-list refuses; the text goes to the client."""


def normalise(kind, value) -> str:
    """The stored form of a value, or AllowListError saying what is wrong with it."""
    if kind not in KINDS:
        raise AllowListError('"kind" must be "path", "sha256" or "process"')
    if not isinstance(value, str) or not value:
        raise AllowListError('"value" must be a non-empty string')
    if len(value) > MAX_VALUE or "\0" in value:
        raise AllowListError('"value" is too long or contains NUL')
    if kind == "sha256":
        if not _SHA256.match(value):
            raise AllowListError('a "sha256" value is 64 hexadecimal digits')
        return value.lower()
    if not value.startswith("/"):
        raise AllowListError(f'a "{kind}" value must be an absolute path')
    path = os.path.normpath(value)
    if path.startswith("//"):
        path = "/" + path.lstrip("/")
    if path == "/":
        raise AllowListError("allowing / would switch protection off for every file")
    return path


def _under(path: str, prefix: str) -> bool:
    return path == prefix or path.startswith(prefix + "/")


class AllowList:
    def __init__(self, db):
        self.db = db
        self.lock = threading.Lock()
        self._paths: tuple = ()
        self._hashes: frozenset = frozenset()
        self._processes: frozenset = frozenset()
        self._load()

    def _load(self):
        rows = self.db.query("SELECT kind, value FROM allow_entries")
        with self.lock:
            self._paths = tuple(sorted(r["value"] for r in rows if r["kind"] == "path"))
            self._hashes = frozenset(r["value"] for r in rows if r["kind"] == "sha256")
            self._processes = frozenset(r["value"] for r in rows if r["kind"] == "process")

    # -- questions (cheap: answered from memory) ----------------------------------
    def covers_path(self, path: str) -> bool:
        """A "path" entry covers this file or directory."""
        paths = self._paths
        return bool(paths) and any(_under(path, p) for p in paths)

    def covers(self, path: str | None = None, sha256: str | None = None, exe: str | None = None) -> bool:
        """True when the user allowed this file (by path or content) or this executable."""
        if path is not None and self.covers_path(path):
            return True
        if sha256 is not None and sha256.lower() in self._hashes:
            return True
        if exe is not None:
            if exe.endswith(" (deleted)"):
                return False  # the allowed program is gone; whatever runs now is not it
            if exe in self._processes:
                return True
        if path is not None and sha256 is not None:
            return self.restored(path, sha256)
        return False

    def restored(self, path: str, sha256: str) -> bool:
        row = self.db.query_one("SELECT 1 FROM allowlist WHERE path=? AND sha256=?", (fsnames.to_db(path), sha256))
        return row is not None

    # -- requests -----------------------------------------------------------------------
    def entries(self) -> list[dict]:
        rows = self.db.query("SELECT * FROM allow_entries ORDER BY ts DESC, id DESC")
        return [self._record(r) for r in rows]

    @staticmethod
    def _record(row) -> dict:
        return {"id": int(row["id"]), "kind": str(row["kind"]), "value": str(row["value"]),
                "note": str(row["note"] or ""), "ts": float(row["ts"])}

    def add(self, kind, value, note="") -> tuple[dict, bool]:
        """(entry, created). The same kind and value twice gives the existing entry."""
        value = normalise(kind, value)
        if note is None:
            note = ""
        if not isinstance(note, str):
            raise AllowListError('"note" must be a string')
        note = note[:MAX_NOTE]
        with self.db.lock:
            row = self.db.query_one("SELECT * FROM allow_entries WHERE kind=? AND value=?", (kind, value))
            if row is not None:
                return self._record(row), False
            count = self.db.query_one("SELECT COUNT(*) AS n FROM allow_entries")["n"]
            if count >= MAX_ENTRIES:
                raise AllowListError(f"the allow-list is full ({MAX_ENTRIES} entries)")
            entry_id = self.db.execute("INSERT INTO allow_entries(kind, value, note, ts) VALUES(?,?,?,?)",
                                       (kind, value, note, time.time())).lastrowid
            row = self.db.query_one("SELECT * FROM allow_entries WHERE id=?", (entry_id,))
        self._load()
        return self._record(row), True

    def remove(self, entry_id) -> dict:
        if isinstance(entry_id, bool) or not isinstance(entry_id, int):
            raise AllowListError('"id" must be an integer')
        with self.db.lock:
            row = self.db.query_one("SELECT * FROM allow_entries WHERE id=?", (entry_id,))
            if row is None:
                raise AllowListError(f"no allow-list entry {entry_id}")
            self.db.execute("DELETE FROM allow_entries WHERE id=?", (entry_id,))
        self._load()
        return self._record(row)
