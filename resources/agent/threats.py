"""Threat register.

Status words:
  "detected"     active: found and not yet dealt with (the console counts these)
  "quarantined"  the file was moved into the vault
  "restored"     the user restored the quarantined file to its original place
  "deleted"      the user deleted the quarantined file from the vault
  "killed"       the process was ended by auto-kill
  "resolved"     the cause went away by itself (file removed or changed,
                 process ended, connection closed)
"""

import threading
import time

from . import records

STATUSES = ("detected", "quarantined", "restored", "deleted", "killed", "resolved")


class ThreatStore:
    def __init__(self, db, events):
        self.db = db
        self.events = events
        self.lock = threading.Lock()
        self.started = time.time()
        # Hits since the agent started, per engine.
        self.hits = {name: {"hits": 0, "last": 0.0} for name in records.ENGINES}

    def add(self, kind, severity, *, status="detected", path=None, pid=None, process_name=None,
            signature=None, score=None, description=None, dedup=None) -> int | None:
        """Records a threat; returns its id, or None when `dedup` names an active duplicate."""
        now = time.time()
        with self.db.lock:
            if dedup is not None:
                row = self.db.query_one("SELECT id FROM threats WHERE dedup=? AND status='detected'", (dedup,))
                if row is not None:
                    return None
            cur = self.db.execute(
                "INSERT INTO threats(ts, kind, severity, path, pid, process_name, signature, score, description,"
                " status, dedup) VALUES(?,?,?,?,?,?,?,?,?,?,?)",
                (now, kind, severity, path, pid, process_name, signature, score, description, status, dedup))
            threat_id = cur.lastrowid
        with self.lock:
            entry = self.hits.setdefault(kind, {"hits": 0, "last": 0.0})
            entry["hits"] += 1
            entry["last"] = now
        return threat_id

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
