#!/usr/bin/env python3
"""Benchmarks of forwarding and export, in-process on the agent's own modules, each as a
ratio against a floor measured in the same run:

  1. recording an event with forwarding on (the outbox trigger copies it in the same
     transaction) against forwarding off;
  2. draining a queue of queued records to a real rsyslogd over TCP through the
     forwarder, against writing the same frames to the same rsyslogd with one sendall;
  3. exporting 50,000 events (CSV and JSON pages) against fetching the same rows and
     writing them with a bare csv.writer.

Usage: resources/.venv/bin/python3 bench/agent/bench_history.py [--events N] [--queue N]
"""

import argparse
import csv
import io
import os
import shutil
import socket
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "resources"))
sys.path.insert(0, os.path.join(ROOT, "tests", "agent"))

from agent import history, outbox, syslogwire  # noqa: E402
from agent.config import Config  # noqa: E402
from agent.db import Database  # noqa: E402
from agent.events import EventLog  # noqa: E402
from agent.forwarding import Forwarder  # noqa: E402
from agent.history import Filters  # noqa: E402
from agent.outbox import Outbox  # noqa: E402
from agent.settings import Settings  # noqa: E402
from syslogd import Rsyslogd, free_port  # noqa: E402


def base_dir():
    base = os.environ.get("TSAV_TEST_TMPDIR") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"), "tessaly-tests")
    os.makedirs(base, mode=0o700, exist_ok=True)
    return tempfile.mkdtemp(prefix="bench-", dir=base)


def fresh(directory, name):
    db = Database(os.path.join(directory, name), prepare=(history.prepare, outbox.prepare))
    return db, Outbox(db)


def bench_trigger(directory, count):
    """Median CPU seconds per recorded event over alternating rounds, forwarding off and on.
    CPU time, because the wall time of a commit is the disk's fsync, the same either way."""
    db, outbox = fresh(directory, "trigger.db")
    events = EventLog(db)
    per = {False: [], True: []}
    for round_ in range(10):
        on = bool(round_ % 2)
        outbox.set_enabled(on)
        started = time.process_time()
        for i in range(count):
            events.emit("file", f"benchmark event {i}", f"/home/u/file-{i}")
        per[on].append((time.process_time() - started) / count)
    db.close()
    off, on = statistics.median(per[False]), statistics.median(per[True])
    print(f"record one event (CPU): off {off * 1e6:.0f} us, on {on * 1e6:.0f} us, ratio {on / off:.2f} "
          f"(median of 5 rounds of {count} each)")
    return on / off


def wait_lines(receiver, expected, timeout=300):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(receiver.out, "rb") as fh:
                if fh.read().count(b"\n") >= expected:
                    return
        except FileNotFoundError:
            pass
        time.sleep(0.01)
    raise RuntimeError("the receiver did not get every message")


def bench_drain(directory, count):
    port = free_port()
    receiver = Rsyslogd(os.path.join(directory, "rsyslog"), tcp_port=port).start()
    try:
        data_dir = os.path.join(directory, "drain")
        os.makedirs(data_dir)
        with open(os.path.join(data_dir, "forward.conf"), "w") as fh:
            fh.write(f"host = 127.0.0.1\nport = {port}\n")
        config = Config(data_dir=data_dir, syslog_socket="", forward_idle_interval=0.01)
        db, outbox = fresh(data_dir, "agent.db")
        events = EventLog(db)
        settings = Settings(db)
        forwarder = Forwarder(config, settings, events, outbox, db)
        outbox.set_enabled(True)
        with db.transaction() as conn:  # the queue fills as quickly as the database allows
            conn.executemany("INSERT INTO events(ts, source, action, target) VALUES(?,?,?,?)",
                             ((time.time(), "file", f"queued event {i}", f"/home/u/file-{i}") for i in range(count)))
        outbox.set_enabled(False)  # nothing else joins the queue while it drains
        settings.values["cloud_telemetry"] = True
        messages = outbox.peek(0, count, 1 << 40)
        frames = b"".join(syslogwire.octet_counted(forwarder._format(syslogwire.StreamLink(None, None), m))
                          for m in messages)

        stop = threading.Event()
        started = time.perf_counter()
        thread = threading.Thread(target=forwarder.run, args=(stop,))
        thread.start()
        wait_lines(receiver, count)
        drained = time.perf_counter() - started
        stop.set()
        forwarder.wake.set()
        thread.join()
        db.close()

        os.unlink(receiver.out)
        receiver.stop()
        receiver.start()
        started = time.perf_counter()
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(frames)
            wait_lines(receiver, count)
        floor = time.perf_counter() - started
    finally:
        receiver.stop()
    print(f"drain {count} queued records to rsyslogd over TCP: forwarder {count / drained:,.0f} msg/s, "
          f"one sendall of the same frames {count / floor:,.0f} msg/s, ratio {drained / floor:.2f}")
    return drained / floor


def bench_export(directory, count):
    db, _ = fresh(directory, "export.db")
    with db.transaction() as conn:
        conn.executemany("INSERT INTO events(ts, source, action, target) VALUES(?,?,?,?)",
                         ((1.7e9 + i, "scan", f"exported event {i}, \"quoted\"", f"/home/u/dir/file-{i}.txt")
                          for i in range(count)))
    results = {}
    for fmt in ("csv", "json"):
        times = []
        for _ in range(3):
            started = time.perf_counter()
            cursor, pages, size = 0, 0, 0
            while True:
                page = history.export_page(db, "events", fmt, Filters(), cursor)
                pages += 1
                size += len(page["chunk"])
                if page["next"] is None:
                    break
                cursor = page["next"]
            times.append(time.perf_counter() - started)
        results[fmt] = (statistics.median(times), pages, size)
    floors = []
    for _ in range(3):
        started = time.perf_counter()
        buffer = io.StringIO()
        writer = csv.writer(buffer, lineterminator="\r\n")
        for row in db.query("SELECT id, ts, source, action, target FROM events ORDER BY id"):
            writer.writerow(tuple(row))
        floors.append(time.perf_counter() - started)
    floor = statistics.median(floors)
    db.close()
    for fmt, (seconds, pages, size) in results.items():
        print(f"export {count} events as {fmt}: {seconds:.2f} s in {pages} pages ({size / 1e6:.1f} MB), "
              f"floor (fetch + bare csv.writer) {floor:.2f} s, ratio {seconds / floor:.2f}")
    return max(seconds for seconds, _, _ in results.values()) / floor


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=500)
    parser.add_argument("--queue", type=int, default=20_000)
    parser.add_argument("--export", type=int, default=50_000)
    args = parser.parse_args()
    directory = base_dir()
    try:
        print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
        bench_trigger(directory, args.events)
        bench_drain(directory, args.queue)
        bench_export(directory, args.export)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
