"""The record rules the console decodes with, written out independently of the agent."""

INT, DOUBLE, STR, BOOL = "int", "double", "string", "bool"

SUMMARY = {"threats_total": (INT, True), "threats_active": (INT, True), "quarantined": (INT, True),
           "threats_last_24h": (INT, True), "events_last_24h": (INT, True)}
THREAT = {"id": (INT, True), "ts": (DOUBLE, True), "kind": (STR, True), "severity": (STR, True),
          "path": (STR, False), "pid": (INT, False), "process_name": (STR, False), "signature": (STR, False),
          "score": (DOUBLE, False), "description": (STR, False), "status": (STR, True)}
QUARANTINE = {"id": (INT, True), "ts": (DOUBLE, True), "original_path": (STR, True), "vault_path": (STR, True),
              "sha256": (STR, True), "size": (INT, True), "reason": (STR, True)}
PROCESS = {"pid": (INT, True), "name": (STR, True), "user": (STR, True), "exe": (STR, True), "cpu": (DOUBLE, True),
           "rss": (INT, True), "connections": (INT, True), "open_files": (INT, True), "threads": (INT, True),
           "score": (DOUBLE, True)}
NETWORK = {"pid": (INT, False), "process": (STR, False), "local": (STR, True), "remote": (STR, True),
           "status": (STR, True), "suspicious": (BOOL, True), "reason": (STR, False)}
EVENT = {"id": (INT, True), "ts": (DOUBLE, True), "source": (STR, True), "action": (STR, True),
         "target": (STR, False)}
SCAN = {"id": (INT, True), "kind": (STR, True), "started": (DOUBLE, True), "finished": (DOUBLE, False),
        "scanned": (INT, True), "current": (STR, True), "running": (BOOL, True), "outcome": (STR, False),
        "error": (STR, False), "skipped_foreign": (INT, False), "unreadable": (INT, False)}
ENGINE_HITS = {"hits": (INT, True), "last": (DOUBLE, True), "state": (STR, False), "reason": (STR, False)}
SCAN_DIR = {"scanned": (INT, True), "hits": (INT, True), "started": (DOUBLE, True), "finished": (DOUBLE, False),
            "duration": (DOUBLE, True)}
ENGINE_HISTORY = {"last24h": (INT, True), "total": (INT, True), "last_ts": (DOUBLE, True)}
AGENT_SELF = {"pid": (INT, True), "cpu": (DOUBLE, True), "rss": (INT, True), "threads": (INT, True),
              "fds": (INT, True), "uptime_seconds": (DOUBLE, True), "clamd_rss": (INT, False)}
SYSTEM = {k: (INT if k in ("cpu_count", "ram_used", "ram_total", "disk_used", "disk_total") else DOUBLE, True)
          for k in ("cpu_percent", "cpu_count", "ram_used", "ram_total", "ram_percent", "disk_used", "disk_total",
                    "disk_percent", "net_bytes_sent_per_sec", "net_bytes_recv_per_sec")}
AUDIT_CHECK = {"id": (STR, True), "title": (STR, True), "pass": (BOOL, True), "severity": (STR, True),
               "detail": (STR, True)}
SETTING_KEYS = ("realtime_enabled", "ai_engine_enabled", "auto_quarantine", "auto_kill_high_risk",
                "cloud_telemetry", "network_monitor", "kill_switch_isolate")


def _type_ok(kind, value):
    if kind == INT:
        return isinstance(value, int) and not isinstance(value, bool) and -(2 ** 63) <= value < 2 ** 63
    if kind == DOUBLE:
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    if kind == STR:
        return isinstance(value, str)
    if kind == BOOL:
        return isinstance(value, bool)
    raise AssertionError(kind)


def check(record, schema, where="record"):
    assert isinstance(record, dict), f"{where}: not an object: {record!r}"
    for key, (kind, required) in schema.items():
        if key not in record:
            assert not required, f"{where}: required key {key} missing"
            continue
        assert record[key] is not None, f"{where}: {key} is null (an absent value is left out)"
        assert _type_ok(kind, record[key]), f"{where}: {key} should be {kind}, got {record[key]!r}"


def check_list(items, schema, where="list"):
    assert isinstance(items, list), f"{where}: not an array"
    for i, item in enumerate(items):
        check(item, schema, f"{where}[{i}]")


def check_map(mapping, schema, where="map"):
    assert isinstance(mapping, dict), f"{where}: not an object"
    for key, value in mapping.items():
        assert isinstance(key, str)
        check(value, schema, f"{where}[{key}]")


def check_live_metrics(m):
    for key, kind in (("uptime_seconds", DOUBLE), ("files_scanned_since_boot", INT), ("files_per_second", DOUBLE)):
        assert key in m and _type_ok(kind, m[key]), key
    check_map(m["engines"], ENGINE_HITS, "engines")
    check_map(m["active_scan_dirs"], SCAN_DIR, "active_scan_dirs")
    check(m["agent"], AGENT_SELF, "agent")
    check(m["system"], SYSTEM, "system")
    check_map(m["engine_breakdown"], ENGINE_HISTORY, "engine_breakdown")
    assert isinstance(m["severity_breakdown"], dict)
    for k, v in m["severity_breakdown"].items():
        assert _type_ok(INT, v), k


def check_audit(result):
    for key in ("passing", "total", "score"):
        assert _type_ok(INT, result[key]), key
    assert isinstance(result["checks"], list)
    check_list(result["checks"], AUDIT_CHECK, "checks")
