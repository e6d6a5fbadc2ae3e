"""Scheduled quick scans every N hours (0 = off).

The time of the last scheduled scan is stored, so a scan that fell due while
the agent was down runs shortly after the next start.
"""

import logging
import threading
import time

log = logging.getLogger("agent.scheduler")


class Scheduler:
    def __init__(self, config, db, settings, scanner, events):
        self.config = config
        self.db = db
        self.settings = settings
        self.scanner = scanner
        self.events = events
        self.started = time.time()
        settings.subscribe(self._on_settings)

    def _last_run(self) -> float | None:
        value = self.db.kv_get("schedule_last_run")
        try:
            return float(value) if value is not None else None
        except ValueError:
            return None

    def _on_settings(self, changed, values):
        if "scheduled_scan_hours" in changed:
            hours = values["scheduled_scan_hours"]
            # The interval counts from the moment it is set.
            self.db.kv_set("schedule_last_run", repr(time.time()))
            self.events.emit("schedule", f"scheduled quick scan every {hours} h" if hours else "scheduled scans off")

    def due(self, now: float) -> bool:
        hours = self.settings.get("scheduled_scan_hours")
        if hours <= 0:
            return False
        last = self._last_run()
        if last is None:
            self.db.kv_set("schedule_last_run", repr(now))
            return False
        if now - last < hours * 3600:
            return False
        # Missed while the agent was down: wait a little after start-up.
        return now - self.started >= self.config.missed_scan_delay or last >= self.started

    def run(self, stop: threading.Event):
        while not stop.wait(self.config.scheduler_tick):
            try:
                now = time.time()
                if not self.due(now) or self.scanner.running():
                    continue
                self.db.kv_set("schedule_last_run", repr(now))
                self.scanner.start("quick", origin="schedule")
            except Exception:
                log.exception("scheduled scan failed")
