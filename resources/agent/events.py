"""Event log: every component reports what it did here, under a fixed source word."""

import logging
import time

from . import fsnames, records

log = logging.getLogger("agent.events")


class EventLog:
    def __init__(self, db):
        self.db = db

    def emit(self, source: str, action: str, target: str | None = None) -> int:
        if source not in records.EVENT_SOURCES:
            raise ValueError(f"unknown event source {source!r}")
        log.info("[%s] %s%s", source, action, f" ({fsnames.display(target)})" if target else "")
        # A target is often a file name: its exact bytes are kept (fsnames).
        return self.db.add_event(source, action, fsnames.to_db(target))

    def latest(self, limit: int) -> list[dict]:
        rows = self.db.query("SELECT id, ts, source, action, target FROM events ORDER BY id DESC LIMIT ?",
                             (limit,))
        return [records.event_row(r) for r in rows]

    def count_since(self, ts: float) -> int:
        return self.db.query_one("SELECT COUNT(*) AS n FROM events WHERE ts >= ?", (ts,))["n"]

    def count_last_24h(self) -> int:
        return self.count_since(time.time() - 86400)
