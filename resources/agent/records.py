"""Wire records: the exact key sets the console decodes.

Required keys are always present with the right JSON type; optional keys are
left out when there is no value (never sent as the wrong type). Every builder
coerces its inputs so that a stray None or numpy scalar cannot leak through.
"""

import math

from . import fsnames

ENGINES = ("signature", "yara", "behavior", "network")
SEVERITIES = ("critical", "high", "medium", "low")
EVENT_SOURCES = ("file", "process", "network", "quarantine", "scan", "agent", "telemetry", "schedule", "api")
SETTING_KEYS = ("realtime_enabled", "ai_engine_enabled", "auto_quarantine", "auto_kill_high_risk",
                "cloud_telemetry", "network_monitor", "kill_switch_isolate")


def _int(value) -> int:
    try:
        return int(value)
    except (TypeError, ValueError, OverflowError):
        return 0


def _float(value) -> float:
    try:
        value = float(value)
    except (TypeError, ValueError, OverflowError):
        return 0.0
    return value if math.isfinite(value) else 0.0


def _str(value) -> str:
    return "" if value is None else str(value)


def _name(value) -> str:
    """A file name for display: exact bytes kept elsewhere, U+FFFD for what is not UTF-8."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return fsnames.display(bytes(value))
    return fsnames.display(_str(value))


def _put_optional(record, key, value, kind):
    if value is not None:
        record[key] = kind(value)


def summary(threats_total, threats_active, quarantined, threats_last_24h, events_last_24h) -> dict:
    return {
        "threats_total": _int(threats_total),
        "threats_active": _int(threats_active),
        "quarantined": _int(quarantined),
        "threats_last_24h": _int(threats_last_24h),
        "events_last_24h": _int(events_last_24h),
    }


def threat(row) -> dict:
    record = {
        "id": _int(row["id"]),
        "ts": _float(row["ts"]),
        "kind": _str(row["kind"]),
        "severity": _str(row["severity"]),
        "status": _str(row["status"]),
    }
    _put_optional(record, "path", row["path"], _name)
    _put_optional(record, "pid", row["pid"], _int)
    _put_optional(record, "process_name", row["process_name"], _str)
    _put_optional(record, "signature", row["signature"], _str)
    _put_optional(record, "score", row["score"], _float)
    _put_optional(record, "description", row["description"], _str)
    return record


def quarantine_entry(row) -> dict:
    return {
        "id": _int(row["id"]),
        "ts": _float(row["ts"]),
        "original_path": _name(row["original_path"]),
        "vault_path": _name(row["vault_path"]),
        "sha256": _str(row["sha256"]),
        "size": _int(row["size"]),
        "reason": _str(row["reason"]),
    }


def process_row(pid, name, user, exe, cpu, rss, connections, open_files, threads, score) -> dict:
    return {
        "pid": _int(pid),
        "name": _str(name),
        "user": _str(user),
        "exe": _str(exe),
        "cpu": _float(cpu),
        "rss": _int(rss),
        "connections": _int(connections),
        "open_files": _int(open_files),
        "threads": _int(threads),
        "score": min(1.0, max(0.0, _float(score))),
    }


def network_row(pid, process, local, remote, status, suspicious, reason) -> dict:
    record = {
        "local": _str(local),
        "remote": _str(remote),
        "status": _str(status),
        "suspicious": bool(suspicious),
    }
    _put_optional(record, "pid", pid, _int)
    _put_optional(record, "process", process, _str)
    _put_optional(record, "reason", reason, _str)
    return record


def event_row(row) -> dict:
    record = {
        "id": _int(row["id"]),
        "ts": _float(row["ts"]),
        "source": _str(row["source"]),
        "action": _str(row["action"]),
    }
    _put_optional(record, "target", row["target"], _name)
    return record


def scan_status(scan_id, kind, started, finished, scanned, current, running, outcome=None, error=None,
                skipped_foreign=None, unreadable=None, locations=None) -> dict:
    record = {
        "id": _int(scan_id),
        "kind": _str(kind),
        "started": _float(started),
        "scanned": _int(scanned),
        "current": _name(current),
        "running": bool(running),
    }
    _put_optional(record, "finished", finished, _float)
    _put_optional(record, "outcome", outcome, _str)
    _put_optional(record, "error", error or None, _str)
    _put_optional(record, "skipped_foreign", skipped_foreign, _int)
    _put_optional(record, "unreadable", unreadable, _int)
    if locations is not None:
        record["locations"] = [_name(p) for p in locations]
    return record


def scan_dir(scanned, hits, started, finished, duration) -> dict:
    record = {"scanned": _int(scanned), "hits": _int(hits), "started": _float(started),
              "duration": _float(duration)}
    _put_optional(record, "finished", finished, _float)
    return record


def engine_hits(hits, last, state=None, reason=None) -> dict:
    record = {"hits": _int(hits), "last": _float(last)}
    _put_optional(record, "state", state, _str)
    _put_optional(record, "reason", reason or None, _str)
    return record


def engine_history(last24h, total, last_ts) -> dict:
    return {"last24h": _int(last24h), "total": _int(total), "last_ts": _float(last_ts)}


def agent_self(pid, cpu, rss, threads, fds, uptime_seconds, clamd_rss=None) -> dict:
    record = {"pid": _int(pid), "cpu": _float(cpu), "rss": _int(rss), "threads": _int(threads),
              "fds": _int(fds), "uptime_seconds": _float(uptime_seconds)}
    _put_optional(record, "clamd_rss", clamd_rss, _int)
    return record


def system_stats(cpu_percent, cpu_count, ram_used, ram_total, ram_percent, disk_used, disk_total,
                 disk_percent, net_sent, net_recv) -> dict:
    return {
        "cpu_percent": _float(cpu_percent),
        "cpu_count": _int(cpu_count),
        "ram_used": _int(ram_used),
        "ram_total": _int(ram_total),
        "ram_percent": _float(ram_percent),
        "disk_used": _int(disk_used),
        "disk_total": _int(disk_total),
        "disk_percent": _float(disk_percent),
        "net_bytes_sent_per_sec": _float(net_sent),
        "net_bytes_recv_per_sec": _float(net_recv),
    }


def live_metrics(uptime_seconds, files_scanned_since_boot, files_per_second, engines, active_scan_dirs,
                 agent, system, engine_breakdown, severity_breakdown) -> dict:
    return {
        "uptime_seconds": _float(uptime_seconds),
        "files_scanned_since_boot": _int(files_scanned_since_boot),
        "files_per_second": _float(files_per_second),
        "engines": dict(engines),
        "active_scan_dirs": dict(active_scan_dirs),
        "agent": agent,
        "system": system,
        "engine_breakdown": dict(engine_breakdown),
        "severity_breakdown": {str(k): _int(v) for k, v in severity_breakdown.items()},
    }


def realtime_counts(values: dict) -> dict:
    """Optional "realtime" member of metrics.live: what real-time protection watches and could not do."""
    keys = ("watched", "unwatched_now", "unwatched", "unreadable", "too_long", "overflows", "rewalks",
            "rewalked_files")
    return {k: _int(values.get(k, 0)) for k in keys}


def audit_check(check_id, title, passed, severity, detail) -> dict:
    return {"id": _str(check_id), "title": _str(title), "pass": bool(passed), "severity": _str(severity),
            "detail": _str(detail)}


def audit_result(checks, passing, total, score) -> dict:
    return {"checks": list(checks), "passing": _int(passing), "total": _int(total),
            "score": max(0, min(100, _int(score)))}
