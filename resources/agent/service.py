"""Request handler: the request paths and their payload checks (detection requests: detection.py)."""

import logging
import threading
import time

from . import history, records
from .db import StorageError
from .history import FilterError, Filters
from .settings import SettingsError
from .vault import VaultError

log = logging.getLogger("agent.service")
DEFAULT_LIMIT = 200
MAX_LIMIT = 10_000


# What a failed write could not do, in front of the storage error's reason ("disk full", …).
FAILED_WRITE = {
    "settings.set": "settings not saved",
    "scan.start": "scan not started",
    "scan.stop": "scan not stopped",
    "quarantine.restore": "not restored",
    "quarantine.delete": "not deleted",
    "allowlist.add": "not allowed",
    "allowlist.remove": "not removed",
    "threat.quarantine": "not quarantined",
    "threat.kill": "threat not updated",
}
# "summary" errors are shown by the console as they are: short Romanian sentences.
SUMMARY_REASONS = {
    "disk full": "discul este plin",
    "disk quota exceeded": "cota de disc este depășită",
    "read-only file system": "sistemul de fișiere este doar în citire",
    "input/output error": "eroare de intrare/ieșire",
    "database busy": "baza de date este ocupată",
    "permission denied": "acces refuzat",
}
SUMMARY_DAMAGED = "baza de date a agentului este deteriorată și nu a putut fi refăcută"
SUMMARY_RECOVERED = "baza de date a agentului era deteriorată — recuperată"
SUMMARY_RECOVERED_PARTLY = ("baza de date a agentului era deteriorată — recuperată; unele fișiere din carantină "
                            "nu au putut fi readoptate (vezi evenimentele)")


class RequestError(Exception):
    pass


def summary_error(exc: StorageError) -> str:
    if exc.damaged:
        return SUMMARY_DAMAGED
    reason = SUMMARY_REASONS.get(exc.reason, exc.reason)
    return f"agentul nu își poate citi baza de date: {reason}"


def _limit(request) -> int:
    if "limit" not in request:
        return DEFAULT_LIMIT
    value = request["limit"]
    if isinstance(value, bool) or not isinstance(value, int):
        raise RequestError('"limit" must be an integer')
    if value < 0:
        raise RequestError('"limit" must not be negative')
    return min(value, MAX_LIMIT)


def _entry_id(request) -> int:
    value = request.get("id")
    if isinstance(value, bool) or not isinstance(value, int):
        raise RequestError('"id" must be an integer')
    return value


class Service:
    def __init__(self, agent):
        self.agent = agent
        self._summary_cache = (0.0, -1, None)
        self._summary_lock = threading.Lock()
        self.notice = None  # said once, as the error of the next "summary"
        self.routes = {
            "summary": self.summary,
            "threats": self.threats,
            "quarantine.list": self.quarantine_list,
            "processes": self.processes,
            "network": self.network,
            "events": self.events,
            "scan.status": self.scan_status,
            "metrics.live": self.metrics_live,
            "settings.get": self.settings_get,
            "settings.set": self.settings_set,
            "audit.run": self.audit_run,
            "scan.start": self.scan_start,
            "scan.stop": self.scan_stop,
            "quarantine.restore": self.quarantine_restore,
            "quarantine.delete": self.quarantine_delete,
            "export": self.export,
        }
        # Allow-list and the user's actions on threats (detection.py).
        self.routes.update(agent.detection.routes())

    def __call__(self, request: dict):
        """dict -> (ok, data, error text or None). Never raises for bad input."""
        op = request.get("op")
        route = self.routes.get(op) if isinstance(op, str) else None
        if route is None:
            return False, None, f"unknown op {str(op)[:64]!r}"
        try:
            return True, route(request), None
        except StorageError as exc:
            if op == "summary":
                return False, None, summary_error(exc)
            return False, None, f"{FAILED_WRITE.get(op, 'request failed')}: {exc.reason}"
        except (RequestError, FilterError, SettingsError, VaultError, ValueError, RuntimeError) as exc:
            return False, None, str(exc) or type(exc).__name__

    def notice_recovery(self, partly: bool):
        """The database was rebuilt after damage: the next "summary" says so, once."""
        self.notice = SUMMARY_RECOVERED_PARTLY if partly else SUMMARY_RECOVERED

    # -- polling paths -------------------------------------------------------------
    def summary(self, request):
        # The console's most frequent request: served from a snapshot that is rebuilt only
        # after a write to the database (or once a minute, for the 24-hour windows).
        a = self.agent
        notice, self.notice = self.notice, None
        if notice:
            raise RequestError(notice)
        with self._summary_lock:
            stamp, generation, cached = self._summary_cache
            if cached is not None and generation == a.db.generation and time.monotonic() - stamp < 60:
                return cached
            generation = a.db.generation
            total, active, recent = a.threats.counts()
            value = records.summary(total, active, a.vault.count(), recent, a.events.count_last_24h())
            self._summary_cache = (time.monotonic(), generation, value)
            return value

    def invalidate(self):
        with self._summary_lock:
            self._summary_cache = (0.0, -1, None)

    def threats(self, request):
        filters, offset = Filters.from_request(request), history.offset_of(request)
        if not filters and not offset:
            return self.agent.threats.latest(_limit(request))
        return self.agent.threats.search(filters, _limit(request), offset)

    def quarantine_list(self, request):
        return self.agent.vault.list(_limit(request))

    def processes(self, request):
        return self.agent.telemetry.process_rows()

    def network(self, request):
        return self.agent.telemetry.network_rows()

    def events(self, request):
        filters, offset = Filters.from_request(request), history.offset_of(request)
        if not filters and not offset:
            return self.agent.events.latest(_limit(request))
        return self.agent.events.search(filters, _limit(request), offset)

    def export(self, request):
        cursor = request.get("cursor", 0)
        if cursor is None:
            cursor = 0
        if isinstance(cursor, bool) or not isinstance(cursor, int) or not 0 <= cursor < 1 << 63:
            raise RequestError('"cursor" must be an integer >= 0 (a "next" of the previous page)')
        return history.export_page(self.agent.db, request.get("kind"), request.get("format"),
                                   Filters.from_request(request), cursor)

    def scan_status(self, request):
        return self.agent.scanner.status()

    def metrics_live(self, request):
        a = self.agent
        metrics = records.live_metrics(
            uptime_seconds=time.time() - a.started,
            files_scanned_since_boot=a.scanner.files_since_start,
            files_per_second=a.scanner.files_per_second(),
            engines=a.detection.engines(),
            active_scan_dirs=a.scanner.scan_dirs(),
            agent=a.detection.agent_stats(a.telemetry.agent_stats()),
            system=a.telemetry.system_stats(),
            engine_breakdown=a.threats.engine_breakdown(),
            severity_breakdown=a.threats.severity_breakdown(),
        )
        metrics["realtime"] = records.realtime_counts(a.realtime.counts())
        return metrics

    def settings_get(self, request):
        values = self.agent.settings.snapshot()
        unavailable = dict(self.agent.unavailable)
        isolation = self.agent.responder.isolation_unavailable()
        if isolation:
            unavailable["kill_switch_isolate"] = isolation
        if unavailable:
            values["unavailable"] = unavailable
        forward_to = self.agent.forwarder.forward_to()
        if forward_to is not None:
            values["forward_to"] = forward_to
        return values

    # -- commands -----------------------------------------------------------------------
    def settings_set(self, request):
        values = request.get("values")
        new = self.agent.settings.update(values)
        self.agent.events.emit("api", "settings changed",
                               ", ".join(f"{k}={str(v).lower() if isinstance(v, bool) else v}"
                                         for k, v in sorted(values.items())))
        return new

    def audit_run(self, request):
        result = self.agent.audit()
        try:
            history.record_audit(self.agent.db, result)
        except StorageError as exc:  # the run itself succeeded: answer with it all the same
            log.warning("audit run not kept: %s", exc)
        self.agent.events.emit("api", f"security audit run: {result['passing']}/{result['total']} passing, "
                                      f"score {result['score']}")
        return result

    def scan_start(self, request):
        kind = request.get("kind")
        if not isinstance(kind, str):
            raise RequestError('"kind" must be a string')
        return self.agent.scanner.start(kind)

    def scan_stop(self, request):
        stopped = self.agent.scanner.stop()
        if not stopped:
            raise RequestError("no scan is running")
        return self.agent.scanner.status()

    def quarantine_restore(self, request):
        entry_id = _entry_id(request)
        path = self.agent.vault.restore(entry_id)
        self.invalidate()
        return {"id": entry_id, "restored_to": path}

    def quarantine_delete(self, request):
        entry_id = _entry_id(request)
        self.agent.vault.delete(entry_id)
        self.invalidate()
        return {"id": entry_id, "deleted": True}
