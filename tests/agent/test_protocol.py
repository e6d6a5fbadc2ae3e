"""Every request path against the record rules, and hostile input against the real agent."""

import errno
import json
import math
import os
import random
import socket
import threading
import time

import pytest

import records_schema as R
from conftest import EICAR, exchange, wait_for


def strict_loads(raw: bytes):
    def no_constants(name):
        raise AssertionError(f"reply carries {name}")
    assert raw.endswith(b"\n") and raw.count(b"\n") == 1, raw[:200]
    return json.loads(raw, parse_constant=no_constants)


class TestRequestPaths:
    def test_polling_paths_return_exact_records(self, shared_agent):
        a = shared_agent
        R.check(a.data("summary"), R.SUMMARY, "summary")
        R.check_list(a.data("threats", limit=200), R.THREAT, "threats")
        R.check_list(a.data("quarantine.list", limit=200), R.QUARANTINE, "quarantine")
        R.check_list(a.data("events", limit=200), R.EVENT, "events")
        R.check(a.data("scan.status"), R.SCAN, "scan.status")
        R.check_live_metrics(a.data("metrics.live"))
        net = a.data("network")
        R.check_list(net, R.NETWORK, "network")

    def test_processes_are_real_and_scored_below_kill_line(self, shared_agent):
        rows = wait_for(lambda: (lambda r: r if any(p["score"] > 0 for p in r) else None)(
            shared_agent.data("processes")), 30, what="processes scored by the fitted model")
        R.check_list(rows, R.PROCESS, "processes")
        by_pid = {r["pid"]: r for r in rows}
        me = by_pid[shared_agent.proc.pid]
        assert me["rss"] > 10 << 20 and me["threads"] >= 3 and me["exe"]
        assert all(0.0 <= r["score"] <= 1.0 for r in rows)
        # An ordinary host must not be flagged for killing.
        assert all(r["score"] < 0.93 for r in rows), [r for r in rows if r["score"] >= 0.93]

    def test_metrics_report_host_and_agent(self, shared_agent):
        m = shared_agent.data("metrics.live")
        assert m["system"]["cpu_count"] == os.cpu_count()
        assert m["system"]["ram_total"] > m["system"]["ram_used"] > 0
        assert m["system"]["disk_total"] > 0
        assert m["agent"]["pid"] == shared_agent.proc.pid and m["agent"]["fds"] > 0
        assert set(m["engines"]) >= {"signature", "yara", "behavior", "network"}
        assert set(m["severity_breakdown"]) >= {"critical", "high", "medium", "low"}

    def test_settings_get_has_switches_and_interval(self, shared_agent):
        s = shared_agent.data("settings.get")
        unavailable = s.pop("unavailable", {})
        assert set(unavailable) <= set(R.SETTING_KEYS) and all(isinstance(v, str) and v for v in unavailable.values())
        assert set(s) == set(R.SETTING_KEYS) | {"scheduled_scan_hours"}
        assert all(isinstance(s[k], bool) for k in R.SETTING_KEYS)
        assert isinstance(s["scheduled_scan_hours"], int) and not isinstance(s["scheduled_scan_hours"], bool)

    def test_audit_runs_between_seven_and_ten_checks(self, shared_agent):
        result = shared_agent.data("audit.run")
        R.check_audit(result)
        assert 7 <= result["total"] <= 10
        assert result["total"] == len(result["checks"])
        assert result["passing"] == sum(c["pass"] for c in result["checks"])
        assert 0 <= result["score"] <= 100
        assert len({c["id"] for c in result["checks"]}) == result["total"]
        assert all(c["severity"] in ("critical", "high", "medium", "low", "info") and c["detail"]
                   for c in result["checks"])
        # Stable ids across runs.
        assert [c["id"] for c in shared_agent.data("audit.run")["checks"]] == [c["id"] for c in result["checks"]]

    def test_lists_are_newest_first_and_honour_limit(self, shared_agent):
        a = shared_agent
        for i in range(5):
            a.data("settings.set", values={"scheduled_scan_hours": 0})
        events = a.data("events", limit=3)
        assert len(events) == 3
        ids = [e["id"] for e in a.data("events", limit=50)]
        assert ids == sorted(ids, reverse=True)
        assert a.data("events", limit=0) == []
        assert len(a.data("events")) <= 200

    def test_commands_reply_with_ok_and_data(self, shared_agent):
        reply = shared_agent.call("scan.stop")
        assert reply["ok"] is False and "data" in reply and isinstance(reply["error"], str)
        reply = shared_agent.call("quarantine.restore", id=987654)
        assert reply["ok"] is False and "987654" in reply["error"]
        reply = shared_agent.call("quarantine.delete", id=987654)
        assert reply["ok"] is False


BAD_REQUESTS = [
    (b'{"op": "summary", "op": "threats"}\n', "duplicate"),
    (b'{"op": "threats", "limit": NaN}\n', "NaN"),
    (b'{"op": "threats", "limit": Infinity}\n', "Infinity"),
    (b'{"op": "threats", "limit": -Infinity}\n', "Infinity"),
    (b'{"op": "threats", "limit": 1e999}\n', "range"),
    (b'{"op": "threats", "limit": ' + b"9" * 5000 + b"}\n", "integer"),
    (b'{"op": "threats", "x": ' + b"[" * 100000 + b"]" * 100000 + b"}\n", "nesting"),
    (b'{"op": "threats", "x": ' + b"{\"a\":" * 5000 + b"1" + b"}" * 5000 + b"}\n", "nesting"),
    (b'{"op": "nope"}\n', "unknown op"),
    (b'{"op": 5}\n', "op"),
    (b'{"kind": "quick"}\n', "op"),
    (b'[1, 2]\n', "object"),
    (b'"summary"\n', "object"),
    (b'{"op": "summary"\n', "invalid JSON"),
    (b'{"op": "summary"} {"op": "threats"}\n', "trailing"),
    (b'\xff\xfe{"op": "summary"}\n', "UTF-8"),
    (b'{"op": "sum\xc3"}\n', "UTF-8"),
    (b'\n', "empty"),
    (b'{"op": "threats", "limit": "200"}\n', "limit"),
    (b'{"op": "threats", "limit": true}\n', "limit"),
    (b'{"op": "threats", "limit": 1.5}\n', "limit"),
    (b'{"op": "quarantine.restore", "id": "1"}\n', "id"),
    (b'{"op": "quarantine.delete"}\n', "id"),
    (b'{"op": "scan.start"}\n', "kind"),
    (b'{"op": "scan.start", "kind": "deep"}\n', "kind"),
    (b'{"op": "settings.set", "values": []}\n', "values"),
    (b'{"op": "settings.set", "values": {"realtime_enabled": 1}}\n', "Boolean"),
    (b'{"op": "settings.set", "values": {"scheduled_scan_hours": true}}\n', "integer"),
    (b'{"op": "settings.set", "values": {"scheduled_scan_hours": -1}}\n', "between"),
    (b'{"op": "settings.set", "values": {"bogus": true}}\n', "unknown setting"),
]


class TestHostileInput:
    @pytest.mark.parametrize("payload,needle", BAD_REQUESTS, ids=[n for _, n in BAD_REQUESTS])
    def test_rejected_with_error_and_agent_keeps_serving(self, shared_agent, payload, needle):
        reply = strict_loads(shared_agent.raw(payload))
        assert reply["ok"] is False
        assert needle.lower() in reply["error"].lower(), reply["error"]
        assert shared_agent.call("summary")["ok"] is True

    def test_wrong_type_settings_change_nothing(self, shared_agent):
        before = shared_agent.data("settings.get")
        shared_agent.raw(b'{"op": "settings.set", "values": {"auto_quarantine": false, "bogus": 1}}\n')
        assert shared_agent.data("settings.get") == before

    def test_oversized_request_is_refused(self, shared_agent):
        payload = b'{"op": "summary", "pad": "' + b"a" * (1 << 20) + b'"}\n'
        try:
            reply = shared_agent.raw(payload)
        except (BrokenPipeError, ConnectionResetError):
            reply = b""  # the agent may hang up before the client has written everything
        if reply:
            assert strict_loads(reply)["ok"] is False and "too large" in strict_loads(reply)["error"]
        assert shared_agent.call("summary")["ok"] is True

    def test_request_without_line_feed_is_answered_at_end_of_input(self, shared_agent):
        reply = strict_loads(shared_agent.raw(b'{"op": "summary"}', half_close=True))
        assert reply["ok"] is True and "threats_total" in reply["data"]

    def test_random_bytes(self, shared_agent):
        rng = random.Random(1234)
        for _ in range(150):
            blob = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 400)))
            blob = blob.replace(b"\n", b"") + b"\n"
            reply = shared_agent.raw(blob)
            assert strict_loads(reply)["ok"] is False
        assert shared_agent.call("summary")["ok"] is True

    def test_mutated_valid_requests(self, shared_agent):
        rng = random.Random(99)
        seeds = [b'{"op":"threats","limit":200}', b'{"op":"settings.set","values":{"scheduled_scan_hours":0}}',
                 b'{"op":"quarantine.delete","id":7}', b'{"op":"events","limit":5}']
        for _ in range(200):
            data = bytearray(rng.choice(seeds))
            for _ in range(rng.randrange(1, 4)):
                pos = rng.randrange(len(data))
                action = rng.randrange(3)
                if action == 0:
                    data[pos] = rng.randrange(32, 127)
                elif action == 1:
                    del data[pos]
                else:
                    data.insert(pos, rng.choice(b'{}[]",:0123456789eE.-+tfn\\'))
            reply = strict_loads(shared_agent.raw(bytes(data).replace(b"\n", b"") + b"\n"))
            assert isinstance(reply["ok"], bool)
        assert shared_agent.call("summary")["ok"] is True


class TestConnections:
    def test_client_closing_before_reading(self, shared_agent):
        for _ in range(50):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(shared_agent.socket)
            s.sendall(b'{"op": "metrics.live"}\n')
            s.close()
        assert shared_agent.call("summary")["ok"] is True

    def test_many_connections_opened_and_dropped_leave_no_descriptors(self, shared_agent):
        a = shared_agent
        a.call("summary")
        baseline = a.fd_count()
        for batch in range(10):
            socks = []
            for _ in range(500):
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                try:
                    s.connect(a.socket)
                except OSError:
                    s.close()
                    continue
                socks.append(s)
            for s in socks:
                s.close()
        # Until the agent has drained its accept queue a connect may be refused (EAGAIN on a
        # full backlog) or answered "busy"; then it serves again.
        def serves():
            try:
                return a.call("summary")["ok"]
            except OSError:
                return False

        wait_for(serves, 30, what="service after the flood")
        wait_for(lambda: a.fd_count() <= baseline + 2, 30, what="descriptors back to baseline")

    def test_concurrent_clients_are_all_answered(self, shared_agent):
        results = []

        def worker():
            for _ in range(10):
                results.append(shared_agent.call("summary")["ok"])

        threads = [threading.Thread(target=worker) for _ in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert results.count(True) == 160

    def test_idle_clients_never_keep_a_request_out(self, shared_agent):
        idle = []
        try:
            for _ in range(600):  # past the busy mark and the connection cap, none sending anything
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                idle.append(s)
                s.settimeout(30)
                # A full backlog refuses at once (EAGAIN) until the agent has accepted: not yet, not failure.
                wait_for(lambda: s.connect_ex(shared_agent.socket) in (0, errno.EISCONN), 30, 0.01,
                         what="connect")
            busy = strict_loads(exchange(shared_agent.socket, b'{"op": "summary"}\n'))
            assert busy["ok"] is True, busy
            # Each idle client is told why it was let go: it waited too long, or made room.
            for s in idle:
                reply = strict_loads(s.recv(65536))
                assert reply["ok"] is False and ("timed out" in reply["error"] or "busy" in reply["error"])
        finally:
            for s in idle:
                s.close()
        assert shared_agent.call("summary")["ok"] is True

    def test_silent_client_gets_first_byte_deadline(self, shared_agent):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(30)
        s.connect(shared_agent.socket)
        started = time.monotonic()
        reply = s.recv(65536)
        s.close()
        assert strict_loads(reply)["ok"] is False and "timed out" in strict_loads(reply)["error"]
        assert time.monotonic() - started < 25

    def test_trickling_client_gets_whole_request_deadline(self, shared_agent):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(30)
        s.connect(shared_agent.socket)
        reply = b""
        for byte in b'{"op": "summary"   ':
            try:
                s.send(bytes([byte]))
            except OSError:
                break
            time.sleep(0.5)
            # Meanwhile others are served.
            assert shared_agent.call("summary")["ok"] is True
        s.settimeout(30)
        try:
            reply = s.recv(65536)
        except OSError:
            pass
        s.close()
        assert reply and strict_loads(reply)["ok"] is False


def test_replies_never_carry_non_finite_numbers():
    from agent.jsonproto import encode_reply
    raw = encode_reply(True, {"a": math.nan, "b": [math.inf, -math.inf], "c": {"d": 1.5}})
    reply = strict_loads(raw)
    assert reply["data"] == {"a": 0.0, "b": [0.0, 0.0], "c": {"d": 1.5}}
    # File names that are not UTF-8 survive as text.
    assert strict_loads(encode_reply(True, {"p": os.fsdecode(b"/tmp/\xff")}))["ok"] is True
