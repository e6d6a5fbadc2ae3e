"""Threat register.

Status words:
  "detected"     active: found and not yet dealt with (the console counts these)
  "quarantined"  the file was moved into the vault
  "restored"     the user restored the quarantined file to its original place
  "deleted"      the user deleted the quarantined file from the vault
  "killed"       the process was ended (auto-kill or the user's request)
  "resolved"     the cause went away by itself (file removed or changed,
                 process ended, connection closed)
  "allowed"      the user put what it found on the allow-list

A file gives one threat per inspection, however many engines matched it (the
most severe engine's kind and severity, every engine and rule in the
description), and none while a threat for the same path and content is open.
"""

import threading
import time

from . import fsnames, history, records

STATUSES = ("detected", "quarantined", "restored", "deleted", "killed", "resolved", "allowed")
FILE_KINDS = ("signature", "yara")
PROCESS_KINDS = ("behavior", "network")


class ThreatStore:
    def __init__(self, db, events):
        self.db = db
        self.events = events
        self.lock = threading.Lock()
        self.started = time.time()
        # Hits since the agent started, per engine.
        self.hits = {name: {"hits": 0, "last": 0.0} for name in records.ENGINES}

    def add(self, kind, severity, *, status="detected", path=None, pid=None, process_name=None,
            signature=None, score=None, description=None, dedup=None, sha256=None, engines=None) -> int | None:
        """Records a threat; returns its id, or None when `dedup` names an active duplicate.

        `engines` lists every engine that matched (their hit counters all count it); default: `kind`.
        """
        now = time.time()
        with self.db.lock:
            if dedup is not None:
                row = self.db.query_one("SELECT id FROM threats WHERE dedup=? AND status='detected'", (dedup,))
                if row is not None:
                    return None
            cur = self.db.execute(
                "INSERT INTO threats(ts, kind, severity, path, pid, process_name, signature, score, description,"
                " status, dedup, sha256) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)",
                (now, kind, severity, fsnames.to_db(path), pid, process_name, signature, score, description, status,
                 dedup, sha256))
            threat_id = cur.lastrowid
        with self.lock:
            for name in engines or (kind,):
                entry = self.hits.setdefault(name, {"hits": 0, "last": 0.0})
                entry["hits"] += 1
                entry["last"] = now
        return threat_id

    def allow_matching(self, kind: str, value: str, exe_of=None) -> list[int]:
        """Open threats an allow-list entry covers become "allowed"; returns their ids.

        `exe_of(pid)` names the executable of a live process (for network threats, which keep no path).
        """
        allowed = []
        for row in self.active(limit=100_000):
            path = fsnames.from_db(row["path"])
            if kind == "path":
                hit = row["kind"] in FILE_KINDS and path is not None and (
                    path == value or path.startswith(value.rstrip("/") + "/"))
            elif kind == "sha256":
                hit = row["kind"] in FILE_KINDS and (row["sha256"] or "").lower() == value
            else:
                exe = path if row["kind"] == "behavior" else None
                if exe is None and row["pid"] and exe_of is not None:
                    exe = exe_of(row["pid"])
                hit = row["kind"] in PROCESS_KINDS and exe == value
            if hit and self.set_status_if(row["id"], "detected", "allowed"):
                allowed.append(row["id"])
        return allowed

    def set_status_if(self, threat_id, current, status) -> bool:
        """Changes the status only from `current` (so two actions on one threat cannot both win)."""
        assert status in STATUSES
        return self.db.execute("UPDATE threats SET status=? WHERE id=? AND status=?",
                               (status, threat_id, current)).rowcount == 1

    def set_status(self, threat_id, status):
        assert status in STATUSES
        self.db.execute("UPDATE threats SET status=? WHERE id=?", (status, threat_id))

    def get(self, threat_id):
        return self.db.query_one("SELECT * FROM threats WHERE id=?", (threat_id,))

    def active(self, kind=None, limit=1000):
        if kind is None:
            return self.db.query("SELECT * FROM threats WHERE status='detected' ORDER BY id DESC LIMIT ?", (limit,))
        return self.db.query("SELECT * FROM threats WHERE status='detected' AND kind=? ORDER BY id DESC LIMIT ?",
                             (kind, limit))

    def latest(self, limit: int) -> list[dict]:
        rows = self.db.query("SELECT * FROM threats ORDER BY id DESC LIMIT ?", (limit,))
        return [records.threat(r) for r in rows]

    def search(self, filters, limit: int, offset: int = 0) -> list[dict]:
        rows = history.search(self.db, "threats", filters, limit, offset)
        return [records.threat(r) for r in rows]

    def counts(self) -> tuple[int, int, int]:
        row = self.db.query_one(
            "SELECT COUNT(*) AS total, COALESCE(SUM(status='detected'), 0) AS active,"
            " COALESCE(SUM(ts >= ?), 0) AS recent FROM threats", (time.time() - 86400,))
        return row["total"], row["active"], row["recent"]

    def engine_hits(self) -> dict:
        with self.lock:
            return {name: records.engine_hits(v["hits"], v["last"]) for name, v in self.hits.items()}

    def engine_breakdown(self) -> dict:
        rows = self.db.query(
            "SELECT kind, COUNT(*) AS total, COALESCE(SUM(ts >= ?), 0) AS recent, MAX(ts) AS last_ts"
            " FROM threats GROUP BY kind", (time.time() - 86400,))
        result = {name: records.engine_history(0, 0, 0.0) for name in records.ENGINES}
        for r in rows:
            result[r["kind"]] = records.engine_history(r["recent"], r["total"], r["last_ts"] or 0.0)
        return result

    def severity_breakdown(self) -> dict:
        """Active threats per severity word (the four known words always present)."""
        rows = self.db.query("SELECT severity, COUNT(*) AS n FROM threats WHERE status='detected' GROUP BY severity")
        result = {s: 0 for s in records.SEVERITIES}
        for r in rows:
            result[r["severity"]] = r["n"]
        return result
