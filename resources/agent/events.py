"""Event log: every component reports what it did here, under a fixed source word.

Recording an event never fails the work it describes: when the database cannot
take it (a full disk, say) the event waits in a bounded backlog, with its own
time, and is written, in order, as soon as a write succeeds again.
"""

import collections
import logging
import time

from . import fsnames, history, records
from .db import StorageError

log = logging.getLogger("agent.events")
BACKLOG_MAX = 2000


class EventLog:
    def __init__(self, db):
        self.db = db
        # The database's own lock: events are emitted from code that already holds it.
        self.lock = db.lock
        self.backlog = collections.deque()  # (ts, source, action, target) not yet written
        self.dropped = 0  # events lost because the backlog was full

    def emit(self, source: str, action: str, target: str | None = None) -> int | None:
        """Records an event; returns its id, or None when it waits in the backlog."""
        if source not in records.EVENT_SOURCES:
            raise ValueError(f"unknown event source {source!r}")
        log.info("[%s] %s%s", source, action, f" ({fsnames.display(target)})" if target else "")
        with self.lock:
            # A target is often a file name: its exact bytes are kept (fsnames).
            self.backlog.append((time.time(), source, action, fsnames.to_db(target)))
            if len(self.backlog) > BACKLOG_MAX:
                self.backlog.popleft()
                self.dropped += 1
            return self._flush()

    def flush(self) -> bool:
        """Writes waiting events; True when none is left."""
        with self.lock:
            self._flush()
            return not self.backlog

    def _flush(self) -> int | None:
        last = None
        try:
            if self.dropped:
                self.db.add_event("agent", f"{self.dropped} events could not be recorded", None,
                                  ts=self.backlog[0][0] if self.backlog else None)
                self.dropped = 0
            while self.backlog:
                last = self.db.add_event(*self.backlog[0][1:], ts=self.backlog[0][0])
                self.backlog.popleft()
        except StorageError as exc:
            if len(self.backlog) == 1 or len(self.backlog) % 100 == 0:
                log.warning("events wait in memory (%d): %s", len(self.backlog), exc)
            return None
        return last

    def latest(self, limit: int) -> list[dict]:
        rows = self.db.query("SELECT id, ts, source, action, target FROM events ORDER BY id DESC LIMIT ?",
                             (limit,))
        return [records.event_row(r) for r in rows]

    def search(self, filters, limit: int, offset: int = 0) -> list[dict]:
        rows = history.search(self.db, "events", filters, limit, offset)
        return [records.event_row(r) for r in rows]

    def count_since(self, ts: float) -> int:
        return self.db.query_one("SELECT COUNT(*) AS n FROM events WHERE ts >= ?", (ts,))["n"]

    def count_last_24h(self) -> int:
        return self.count_since(time.time() - 86400)
