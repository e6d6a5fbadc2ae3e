"""Forwarding to a real rsyslogd on 127.0.0.1: TCP, TLS, UDP and the local socket, a
receiver that goes away, a kill -9 with a full queue, the queue's bound, and a database damaged
while protection and forwarding go on."""

import contextlib
import json
import os
import signal
import socket
import threading
import time

import pytest

from conftest import EICAR, Agent, listed, move_in, wait_for
from syslogd import Rsyslogd, free_port, make_tls_files
from test_state import corrupt_middle, settled

from agent import history
from agent.config import Config
from agent.db import Database
from agent.events import EventLog
from agent.forwarding import Forwarder, parse_config
from agent.outbox import Outbox, prepare as prepare_outbox
from agent.settings import Settings

PREPARE = (history.prepare, prepare_outbox)


def write_conf(agent, text):
    os.makedirs(agent.data_dir, exist_ok=True)
    path = os.path.join(agent.data_dir, "forward.conf")
    with open(path + ".new", "w") as fh:
        fh.write(text)
    os.replace(path + ".new", path)


@contextlib.contextmanager
def forwarding_agent(home, receiver, conf=None, env=None):
    """An agent with cloud telemetry on, sending to `receiver` (started already); both
    are stopped at the end."""
    agent = Agent(home, env)
    if conf is not None:
        write_conf(agent, conf)
    try:
        agent.start()
        agent.data("settings.set", values={"cloud_telemetry": True})
        yield agent
    finally:
        agent.stop()
        receiver.stop()


def by_kind(messages, kind):
    return [m for m in messages if m["msgid"] == kind]


@pytest.fixture
def receiver_dir(home):
    path = os.path.join(home, "receiver")
    os.makedirs(path)
    return path


class TestTcp:
    def test_detected_file_arrives_as_one_threat_message_each(self, home, receiver_dir):
        port = free_port()
        receiver = Rsyslogd(receiver_dir, tcp_port=port).start()
        with forwarding_agent(home, receiver, f"# the SIEM\nhost = 127.0.0.1\nport = {port}\n") as agent:
            assert agent.data("settings.get")["forward_to"] == {"host": "127.0.0.1", "port": port,
                                                                 "protocol": "tcp"}
            target = os.path.join(agent.downloads, "eicar.com")
            dropped = time.monotonic()
            with open(target, "wb") as fh:
                fh.write(EICAR)
            wait_for(lambda: [m for m in by_kind(receiver.messages(), "THREAT")
                              if m["record"].get("path") == target], 5, 0.05, "the THREAT message")
            assert time.monotonic() - dropped < 5
            wait_for(lambda: by_kind(receiver.messages(), "QUARANTINE"), 10, what="the QUARANTINE message")

            threats = [t for t in agent.data("threats") if t.get("path") == target]
            messages = receiver.messages()
            sent = by_kind(messages, "THREAT")
            # Every threat the agent lists arrives once, with the socket's fields and the origin.
            assert sorted(m["record"]["id"] for m in sent) == sorted(t["id"] for t in threats)
            for m in sent:
                record = m["record"]
                listed = next(t for t in threats if t["id"] == record["id"])
                assert {k: record[k] for k in ("kind", "severity", "path", "signature")} == \
                       {k: listed[k] for k in ("kind", "severity", "path", "signature")}
                assert record["host"] and record["user"] and record["agent_version"]
                assert m["app"] == "tessaly-agent" and m["procid"] == str(agent.proc.pid)
                assert m["facility"] == "10" and m["severity"] == {"critical": "2", "high": "3", "medium": "4",
                                                                   "low": "5"}[listed["severity"]]
                assert m["sd"] == f'[meta sequenceId="{record["seq"]}"]'
            quarantine = by_kind(messages, "QUARANTINE")[0]["record"]
            assert quarantine["action"] == "quarantined" and quarantine["original_path"] == target
            assert any(m["record"]["action"].startswith("quarantined entry") for m in by_kind(messages, "EVENT"))
            seqs = [m["record"]["seq"] for m in messages]
            assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)

    def test_receiver_down_and_kill_9_lose_nothing_and_keep_order(self, home, receiver_dir):
        port = free_port()
        receiver = Rsyslogd(receiver_dir, tcp_port=port).start()
        with forwarding_agent(home, receiver, f"host = 127.0.0.1\nport = {port}\nprotocol = tcp\n") as agent:
            wait_for(lambda: by_kind(receiver.messages(), "EVENT"), 10, what="the first message")
            receiver.stop()

            # The socket keeps answering while the receiver is gone and 1,000 events queue.
            latencies, failures = [], []
            stop = threading.Event()

            def poll():
                while not stop.is_set():
                    started = time.monotonic()
                    try:
                        agent.data("summary")
                    except Exception as exc:  # noqa: BLE001 - reported below
                        failures.append(exc)
                    latencies.append(time.monotonic() - started)
                    time.sleep(0.05)
            poller = threading.Thread(target=poll)
            poller.start()
            try:
                for hours in range(1000):
                    agent.data("settings.set", values={"scheduled_scan_hours": hours % 2})
            finally:
                stop.set()
                poller.join()
            assert not failures and latencies and max(latencies) < 5.0, (failures, max(latencies))

            # What was committed to the queue survives a kill -9.
            agent.stop(signal.SIGKILL)
            agent.start()
            receiver.start()

            def all_arrived():
                api = [m for m in by_kind(receiver.messages(), "EVENT") if m["record"]["source"] == "api"
                       and m["record"].get("target", "").startswith("scheduled_scan_hours=")]
                return api if len({m["record"]["seq"] for m in api}) >= 1000 else None
            api = wait_for(all_arrived, 90, 0.5, "1,000 queued events")
            first = {}
            for m in api:  # at least once: a message may come twice, the sequence number tells
                first.setdefault(m["record"]["seq"], m["record"]["id"])
            assert len(first) == 1000
            assert list(first) == sorted(first) and list(first.values()) == sorted(first.values())
            assert any("unreachable" in e["action"] for e in agent.data("events", limit=2000)
                       if e["source"] == "telemetry")


    def test_damage_at_run_time_is_recovered_and_protection_and_forwarding_go_on(self, home, receiver_dir):
        port = free_port()
        receiver = Rsyslogd(receiver_dir, tcp_port=port).start()
        with forwarding_agent(home, receiver, f"host = 127.0.0.1\nport = {port}\n") as agent:
            kept = [move_in(agent, f"kept{i}.com") for i in range(2)]
            wait_for(lambda: all(settled(agent, p) for p in kept), 20, what="files quarantined")
            for i in range(300):  # events enough to span many pages
                agent.data("settings.set", values={"scheduled_scan_hours": i % 3})
            agent.data("audit.run")
            wait_for(lambda: by_kind(receiver.messages(), "AUDIT"), 30, what="the messages before the damage")
            before = max(m["record"]["seq"] for m in receiver.messages())
            ids = {t["id"] for t in agent.data("threats")}
            corrupt_middle(os.path.join(agent.data_dir, "agent.db"))

            agent.call("events", limit=10_000)  # reads every event page: finds the damage, rebuilds
            reply = agent.call("summary")  # the first summary afterwards tells the console, once
            assert reply["ok"] is False and reply["error"] == "baza de date a agentului era deteriorată — recuperată"
            assert agent.data("summary")["quarantined"] == 2
            assert [n for n in os.listdir(agent.data_dir) if n.startswith("agent.db.damaged-")]
            assert any("database damaged" in e["action"] and "2 quarantined files re-adopted" in e["action"]
                       for e in agent.data("events"))
            assert all(settled(agent, p) for p in kept)

            fresh = move_in(agent, "fresh.com")
            wait_for(lambda: settled(agent, fresh), 20, what="new file quarantined after recovery")
            assert min(t["id"] for t in agent.data("threats") if t["path"] == fresh) > max(ids)
            restored = listed(agent, kept[0])[0]
            agent.data("quarantine.restore", id=restored["id"])  # its key came back from the vault file
            assert open(kept[0], "rb").read() == EICAR

            agent.data("settings.set", values={"scheduled_scan_hours": 7})
            after = wait_for(lambda: [m for m in by_kind(receiver.messages(), "EVENT")
                                      if m["record"].get("target") == "scheduled_scan_hours=7"], 20,
                             what="an event recorded after the rebuild")
            assert after[0]["record"]["seq"] > before
            assert agent.data("events", query="scheduled_scan_hours=7")  # the query function is back
            assert json_export_ok(agent, "audit")


def json_export_ok(agent, kind):
    page = agent.data("export", kind=kind, format="json")
    return isinstance(json.loads(page["chunk"]), list)


class TestOtherTransports:
    def test_tls_needs_the_right_ca_and_follows_config_changes(self, home, receiver_dir):
        files = make_tls_files(receiver_dir)
        port = free_port()
        receiver = Rsyslogd(receiver_dir, tcp_port=port, tls=files).start()
        with forwarding_agent(home, receiver, f"host = 127.0.0.1\nport = {port}\nca_file = {files['other_ca']}\n") as agent:
            assert agent.data("settings.get")["forward_to"]["protocol"] == "tls"
            refused = wait_for(lambda: [e for e in agent.data("events") if "unreachable" in e["action"]], 15,
                               what="the untrusted receiver to be reported")
            assert "certificate" in refused[0]["action"], refused[0]
            assert receiver.messages() == []

            write_conf(agent, f"host = 127.0.0.1\nport = {port}\nprotocol = tls\nca_file = {files['ca']}\n")
            arrived = wait_for(lambda: [m for m in by_kind(receiver.messages(), "EVENT")
                                        if "cloud telemetry on" in m["record"]["action"]], 20,
                               what="the queued messages over TLS")
            assert arrived[0]["record"]["seq"] == 1

    def test_local_socket_without_config_then_udp(self, home, receiver_dir):
        local = os.path.join(receiver_dir, "log.sock")
        port = free_port(kind=socket.SOCK_DGRAM)
        receiver = Rsyslogd(receiver_dir, udp_port=port, unix_socket=local).start()
        with forwarding_agent(home, receiver, env={"TSAV_AGENT_SYSLOG_SOCKET": local}) as agent:
            assert agent.data("settings.get")["forward_to"] == {"host": "", "port": 0, "protocol": "local"}
            agent.data("audit.run")
            audit = wait_for(lambda: by_kind(receiver.messages(), "AUDIT"), 15, what="AUDIT over the local socket")
            assert audit[0]["input"] == "imuxsock" and audit[0]["facility"] == "10"
            assert len(audit[0]["record"]["checks"]) == audit[0]["record"]["total"]

            write_conf(agent, f"host = 127.0.0.1\nport = {port}\nprotocol = udp\n")
            wait_for(lambda: agent.data("settings.get")["forward_to"]["protocol"] == "udp", 10, what="reload")
            agent.data("settings.set", values={"scheduled_scan_hours": 3})
            udp = wait_for(lambda: [m for m in by_kind(receiver.messages(), "EVENT")
                                    if m["input"] == "imudp" and m["record"].get("target") == "scheduled_scan_hours=3"],
                           15, what="an EVENT over UDP")
            assert udp[0]["sd"].startswith("[meta sequenceId=")


def frames(data: bytes) -> list[bytes]:
    """Complete octet-counted frames (RFC 6587) at the start of data."""
    out = []
    while b" " in data[:12]:
        length, _, rest = data.partition(b" ")
        if len(rest) < int(length):
            break
        out.append(rest[:int(length)])
        data = rest[int(length):]
    return out


class TestDelivery:
    def test_a_receiver_that_dies_with_unread_data_gets_it_again(self, tmp_path):
        """The first connection lets 2,000 messages pile up in its socket (its host acknowledges
        them), reads 40 KB and resets: what it had not read is lost with it, so the forwarder must
        send it again on the next connection."""
        listener = socket.create_server(("127.0.0.1", 0))
        received = []

        def serve():
            conn, _ = listener.accept()
            time.sleep(0.3)
            data = b""
            while len(data) < 40_000:
                data += conn.recv(4096)
            received.extend(frames(data))
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            conn.close()  # RST: the unread bytes are gone
            conn, _ = listener.accept()
            conn.settimeout(20)
            data = b""
            try:
                while chunk := conn.recv(65536):
                    data += chunk
            except OSError:
                pass
            received.extend(frames(data))
        server = threading.Thread(target=serve)
        server.start()

        (tmp_path / "forward.conf").write_text(f"host = 127.0.0.1\nport = {listener.getsockname()[1]}\n")
        db = Database(str(tmp_path / "agent.db"), prepare=PREPARE)
        outbox, events, settings = Outbox(db), EventLog(db), Settings(db)
        config = Config(data_dir=str(tmp_path), syslog_socket="", forward_retry_max=0.2, forward_commit_grace=3.0)
        forwarder = Forwarder(config, settings, events, outbox, db)
        settings.update({"cloud_telemetry": True})
        for i in range(2000):
            events.emit("file", f"event {i}", f"/home/u/{i}")
        stop = threading.Event()
        sender = threading.Thread(target=forwarder.run, args=(stop,))
        sender.start()
        try:
            wait_for(lambda: outbox.stats()[0] == 0, 60, what="the queue to drain")
        finally:
            stop.set()
            forwarder.wake.set()
            sender.join()
            server.join()
            db.close()
        seqs = [json.loads(f.split(b"] ", 1)[1])["seq"] for f in received]
        first = list(dict.fromkeys(seqs))
        # The 2,001 records of the test, then the forwarder's own events about the reset.
        assert first == list(range(1, len(first) + 1)) and len(first) >= 2001, (len(first), first[-3:])
        assert len(seqs) > len(first)  # some came twice: at least once, never lost


class TestQueue:
    def test_bound_drops_oldest_and_counts_them(self, tmp_path):
        db = Database(str(tmp_path / "agent.db"), prepare=PREPARE)
        outbox = Outbox(db, max_bytes=20_000)
        db.add_event("agent", "before forwarding was on")
        outbox.set_enabled(True)
        for i in range(400):
            db.add_event("file", f"event {i}", f"/home/u/\udcff{i}".encode("utf-8", "surrogateescape"))
        count, size = outbox.stats()
        assert count == 400 and size > 20_000
        dropped = outbox.trim()
        count, size = outbox.stats()
        assert dropped == 400 - count and size <= 20_000 and outbox.dropped_total() == dropped
        oldest = outbox.peek(0, 1, 1 << 20)[0]
        assert oldest.record["action"] == f"event {dropped}"
        assert oldest.record["target"] == f"/home/u/\ufffd{dropped}"  # undecodable bytes shown as U+FFFD
        outbox.commit(oldest.seq)
        assert outbox.stats()[0] == count - 1
        outbox.set_enabled(False)
        db.add_event("agent", "after forwarding was off")
        assert outbox.stats()[0] == count - 1
        db.close()

    @pytest.mark.parametrize("text,problem", [
        ("port = 514\n", "host is missing"),
        ("host = 127.0.0.1\nhots = x\n", "unknown key"),
        ("host = 127.0.0.1\nport = 70000\n", "port must be"),
        ("host = 127.0.0.1\nport = ５１４\n", "port must be"),
        ("host = 127.0.0.1\nprotocol = relp\n", "protocol must be"),
        ("host = 127.0.0.1\nprotocol = udp\nca_file = /nonexistent.pem\n", "not a readable file"),
        ("host = a b\n", "not a host name"),
        ("host = 127.0.0.1\nhost = 10.0.0.1\n", "given twice"),
        ("\x00\xff garbage without equals\n", "expected key = value"),
    ])
    def test_bad_config_names_the_problem(self, text, problem, tmp_path):
        destination, problems = parse_config(text, str(tmp_path))
        assert destination is None and any(problem in p for p in problems), problems

