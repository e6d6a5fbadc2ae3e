"""Engine switches and the scheduled-scan interval, persisted in the database."""

import json
import logging
import threading

from . import records

DEFAULTS = {
    "realtime_enabled": True,
    "ai_engine_enabled": True,
    "auto_quarantine": True,
    "auto_kill_high_risk": False,
    "cloud_telemetry": False,
    "network_monitor": True,
    "kill_switch_isolate": False,
}
MAX_SCHEDULE_HOURS = 24 * 365
log = logging.getLogger("agent.settings")


class SettingsError(ValueError):
    pass


class Settings:
    def __init__(self, db):
        self.db = db
        self.lock = threading.Lock()
        self.listeners = []
        self.values = dict(DEFAULTS)
        self.values["scheduled_scan_hours"] = 0
        stored = db.kv_get("settings")
        if stored:
            try:
                data = json.loads(stored)
            except ValueError:
                data = {}
            if isinstance(data, dict):
                for key in records.SETTING_KEYS:
                    if isinstance(data.get(key), bool):
                        self.values[key] = data[key]
                hours = data.get("scheduled_scan_hours")
                if isinstance(hours, int) and not isinstance(hours, bool) and 0 <= hours <= MAX_SCHEDULE_HOURS:
                    self.values["scheduled_scan_hours"] = hours

    def snapshot(self) -> dict:
        with self.lock:
            return dict(self.values)

    def get(self, key):
        with self.lock:
            return self.values[key]

    @staticmethod
    def validate(values) -> dict:
        if not isinstance(values, dict) or not values:
            raise SettingsError('"values" must be a non-empty object')
        clean = {}
        for key, value in values.items():
            if key in records.SETTING_KEYS:
                if not isinstance(value, bool):
                    raise SettingsError(f"{key} must be a Boolean")
            elif key == "scheduled_scan_hours":
                if isinstance(value, bool) or not isinstance(value, int):
                    raise SettingsError("scheduled_scan_hours must be an integer")
                if not 0 <= value <= MAX_SCHEDULE_HOURS:
                    raise SettingsError(f"scheduled_scan_hours must be between 0 and {MAX_SCHEDULE_HOURS}")
            else:
                raise SettingsError(f"unknown setting {str(key)[:64]!r}")
            clean[key] = value
        return clean

    def update(self, values) -> dict:
        """Validates all members first, then persists them together; only a committed write
        changes the values in memory (a failed one raises StorageError and changes nothing)."""
        clean = self.validate(values)
        with self.lock:
            old = dict(self.values)
            new = dict(old, **clean)
            self.db.kv_set("settings", json.dumps(new))
            self.values = new
        changed = {k: v for k, v in clean.items() if old.get(k) != v}
        for listener in list(self.listeners):
            try:
                listener(changed, new)
            except Exception:  # the change is committed; a listener's trouble is its own to report
                log.exception("applying a settings change failed")
        return new

    def persist(self):
        """Writes the values in memory again (into a database rebuilt after damage).

        Called with the database lock held, so it does not take `self.lock` (update() takes
        them in the other order); `values` is only ever replaced whole, never changed in place.
        """
        self.db.kv_set("settings", json.dumps(self.values))

    def subscribe(self, listener):
        self.listeners.append(listener)
