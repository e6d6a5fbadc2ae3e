"""Every request path against the record rules, and hostile input against the real agent."""

import errno
import json
import os
import random
import socket
import threading
import time

import pytest

import records_schema as R
from conftest import exchange, wait_for


def strict_loads(raw: bytes):
    def no_constants(name):
        raise AssertionError(f"reply carries {name}")
    assert raw.endswith(b"\n") and raw.count(b"\n") == 1, raw[:200]
    return json.loads(raw, parse_constant=no_constants)


class TestRequestPaths:
    def test_every_path_returns_exact_records(self, shared_agent):
        a = shared_agent
        R.check(a.data("summary"), R.SUMMARY, "summary")
        R.check_list(a.data("threats", limit=200), R.THREAT, "threats")
        R.check_list(a.data("quarantine.list", limit=200), R.QUARANTINE, "quarantine")
        R.check(a.data("scan.status"), R.SCAN, "scan.status")
        R.check_list(a.data("network"), R.NETWORK, "network")
        m = a.data("metrics.live")
        R.check_live_metrics(m)
        assert m["system"]["cpu_count"] == os.cpu_count() and m["system"]["disk_total"] > 0
        assert m["system"]["ram_total"] > m["system"]["ram_used"] > 0
        assert m["agent"]["pid"] == a.proc.pid and m["agent"]["fds"] > 0
        audit = a.data("audit.run")
        R.check_audit(audit)
        assert audit["total"] == len(audit["checks"]) == len({c["id"] for c in audit["checks"]})
        assert audit["passing"] == sum(c["pass"] for c in audit["checks"]) and 0 <= audit["score"] <= 100
        # Lists are newest first and honour their limit.
        for _ in range(5):
            a.data("settings.set", values={"scheduled_scan_hours": 0})
        events = a.data("events", limit=50)
        R.check_list(events, R.EVENT, "events")
        assert [e["id"] for e in events] == sorted((e["id"] for e in events), reverse=True)
        assert len(a.data("events", limit=3)) == 3 and a.data("events", limit=0) == []
        assert len(a.data("events")) <= 200
        # Leading blanks and a CR before the line feed are accepted.
        assert strict_loads(a.raw(b'  {"op":"threats","limit":2}\r\n'))["ok"] is True

    def test_processes_are_real_and_scored_below_kill_line(self, shared_agent):
        rows = wait_for(lambda: (lambda r: r if any(p["score"] > 0 for p in r) else None)(
            shared_agent.data("processes")), 30, what="processes scored by the fitted model")
        R.check_list(rows, R.PROCESS, "processes")
        me = next(r for r in rows if r["pid"] == shared_agent.proc.pid)
        assert me["rss"] > 10 << 20 and me["threads"] >= 3 and me["exe"]
        assert all(0.0 <= r["score"] <= 1.0 for r in rows)
        # An ordinary host must not be flagged for killing.
        assert all(r["score"] < 0.93 for r in rows), [r for r in rows if r["score"] >= 0.93]


BAD_REQUESTS = [
    (b'{"op": "summary", "op": "threats"}\n', "duplicate"),
    (b'{"op": "threats", "x": {"k": 1, "k": 2}}\n', "duplicate"),
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
    (b'{"op": "s\xc0\xafummary"}\n', "UTF-8"),  # an overlong encoding of "/"
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
    (b'{"op": "settings.set", "values": {"auto_quarantine": false, "scheduled_scan_hours": "6"}}\n', "integer"),
    (b'{"op": "scan.stop"}\n', "no scan is running"),
    (b'{"op": "quarantine.restore", "id": 987654}\n', "987654"),
    (b'{"op": "quarantine.delete", "id": 987654}\n', "987654"),
    (b'{"op": "threat.quarantine", "id": 999}\n', "no threat 999"),
    (b'{"op": "threat.kill", "id": "x"}\n', "id"),
    (b'{"op": "allowlist.remove", "id": 424242}\n', "424242"),
    (b'{"op": "allowlist.remove", "id": true}\n', "id"),
] + [(json.dumps(dict(op="allowlist.add", **values)).encode() + b"\n", needle) for values, needle in [
    ({"kind": "file", "value": "/x"}, '"kind"'),
    ({"kind": "path", "value": "relative/dir"}, "absolute"),
    ({"kind": "path", "value": "//"}, "every file"),
    ({"kind": "process", "value": ""}, "non-empty"),
    ({"kind": "sha256", "value": "ab" * 31}, "64 hexadecimal"),
    ({"kind": "sha256", "value": "zz" * 32}, "64 hexadecimal"),
    ({"kind": "path", "value": 7}, "string"),
    ({"kind": "path", "value": "/a\u0000b"}, "NUL"),
    ({"kind": "path", "value": "/" + "a" * 5000}, "too long"),
    ({"kind": "path", "value": "/ok", "note": 5}, '"note"'),
    ({"value": "/ok"}, '"kind"'),
]] + [(json.dumps(payload).encode() + b"\n", needle) for payload, needle in [
    ({"op": "events", "since": "yesterday"}, '"since" must be a number'),
    ({"op": "events", "until": True}, '"until" must be a number'),
    ({"op": "threats", "query": 5}, '"query" must be a string'),
    ({"op": "threats", "query": "x" * 1001}, "longer than"),
    ({"op": "events", "offset": -1}, '"offset" must not be negative'),
    ({"op": "events", "offset": 1.5}, '"offset" must be an integer'),
    ({"op": "export", "kind": "events", "format": "xml"}, '"format" must be'),
    ({"op": "export", "kind": ["events"], "format": "csv"}, '"kind" must be one of'),
    ({"op": "export", "format": "csv"}, '"kind" must be one of'),
    ({"op": "export", "kind": "audit", "format": "json", "cursor": "next"}, '"cursor" must be'),
    ({"op": "export", "kind": "audit", "format": "json", "cursor": -5}, '"cursor" must be'),
    ({"op": "export", "kind": "audit", "format": "json", "cursor": 10 ** 19}, '"cursor" must be'),
]]


class TestHostileInput:
    @pytest.mark.parametrize("payload,needle", BAD_REQUESTS, ids=[n for _, n in BAD_REQUESTS])
    def test_rejected_with_error_changing_nothing(self, shared_agent, payload, needle):
        before = shared_agent.data("settings.get"), shared_agent.data("allowlist.list")
        reply = strict_loads(shared_agent.raw(payload))
        assert reply["ok"] is False
        assert needle.lower() in reply["error"].lower(), reply["error"]
        assert (shared_agent.data("settings.get"), shared_agent.data("allowlist.list")) == before

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

    def test_random_bytes_and_mutated_requests(self, shared_agent):
        rng = random.Random(1234)
        for _ in range(150):
            blob = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 400)))
            assert strict_loads(shared_agent.raw(blob.replace(b"\n", b"") + b"\n"))["ok"] is False
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
    def test_many_connections_opened_and_dropped_leave_no_descriptors(self, shared_agent):
        a = shared_agent
        a.call("summary")
        baseline = a.fd_count()
        for _ in range(50):  # clients that hang up before reading their reply
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(a.socket)
            s.sendall(b'{"op": "metrics.live"}\n')
            s.close()
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
            # Each idle client is told why it was let go: it sent nothing in time, or made room.
            for s in idle:
                reply = strict_loads(s.recv(65536))
                assert reply["ok"] is False and ("timed out" in reply["error"] or "busy" in reply["error"])
        finally:
            for s in idle:
                s.close()
        assert shared_agent.call("summary")["ok"] is True

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

