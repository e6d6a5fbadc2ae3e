#!/usr/bin/env python3
"""Is the console still answered while other clients of the same user flood the agent?

A probe (this process, standing in for the console) sends "summary" on a fresh connection
1,000 times, 5 ms apart, and times connect -> reply line. It runs first against an idle
agent (the floor), then during each flood, all in one run against one real agent process:

  storm  200 clients in 8 processes connect, send "summary" and read the reply, in a loop
  slow   200 clients hold connections: half send nothing, half trickle a byte every 0.5 s,
         and each connects again as soon as the agent lets it go
  both   the two floods at once (400 clients)

Targets: "agent busy" in under 1 % of the probe's tries, p99 under 50 ms.

Usage: resources/.venv/bin/python3 bench/agent/bench_flood.py [--tries N]
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_agent import AgentRun, bench_base, call, report  # noqa: E402

REQUEST = b'{"op":"summary"}\n'


# -- flood workers (run as child processes; SIGTERM ends them, then they print their counts) ----
STOP = threading.Event()


def storm_client(path, counts, lock):
    while not STOP.is_set():
        try:
            ok = call(path, "summary")["ok"]
            key = "ok" if ok else "refused"
        except (OSError, ValueError):
            key = "error"
        with lock:
            counts[key] += 1


def slow_client(path, counts, lock, trickle):
    while not STOP.is_set():
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(0.5)
        try:
            s.connect(path)
            with lock:
                counts["connections"] += 1
            sent = 0
            while not STOP.is_set():
                if trickle:
                    s.send(REQUEST[sent % (len(REQUEST) - 1):][:1])  # never the final line feed
                    sent += 1
                try:
                    s.recv(4096)
                    break  # answered (timed out, made room) or hung up: connect again
                except socket.timeout:
                    continue
        except OSError:
            time.sleep(0.05)
        finally:
            s.close()


def worker(kind, path, threads):
    signal.signal(signal.SIGTERM, lambda *_: STOP.set())
    counts = {"ok": 0, "refused": 0, "error": 0, "connections": 0}
    lock = threading.Lock()
    pool = []
    for i in range(threads):
        if kind == "storm":
            t = threading.Thread(target=storm_client, args=(path, counts, lock))
        else:
            t = threading.Thread(target=slow_client, args=(path, counts, lock, i % 2 == 1))
        t.daemon = True
        t.start()
        pool.append(t)
    while not STOP.wait(0.5):
        pass
    for t in pool:
        t.join(15)
    print(json.dumps(counts))


def start_flood(kind, path):
    processes, threads = (8, 25) if kind == "storm" else (4, 50)
    return [subprocess.Popen([sys.executable, __file__, "--worker", kind, path, str(threads)],
                             stdout=subprocess.PIPE, text=True) for _ in range(processes)]


def collect(flood):
    total = {}
    for p in flood:
        out, _ = p.communicate(timeout=120)
        for k, v in json.loads(out.strip().splitlines()[-1]).items():
            total[k] = total.get(k, 0) + v
    return total


# -- the probe ---------------------------------------------------------------------------
def probe(path, tries):
    latencies, busy, failed = [], 0, 0
    for _ in range(tries):
        t0 = time.perf_counter()
        try:
            reply = call(path, "summary")
        except (OSError, ValueError):
            failed += 1
            continue
        elapsed = (time.perf_counter() - t0) * 1000
        if reply["ok"]:
            latencies.append(elapsed)
        elif "busy" in reply.get("error", ""):
            busy += 1
        else:
            failed += 1
        time.sleep(0.005)
    latencies.sort()

    def pct(q):
        return round(latencies[min(len(latencies) - 1, int(len(latencies) * q))], 2) if latencies else None

    return {"tries": tries, "answered": len(latencies), "busy": busy, "failed": failed,
            "busy_percent": round(100.0 * busy / tries, 2), "p50_ms": pct(0.5), "p99_ms": pct(0.99),
            "max_ms": round(latencies[-1], 2) if latencies else None}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tries", type=int, default=1000)
    parser.add_argument("--worker", nargs=3, metavar=("KIND", "SOCKET", "THREADS"))
    args = parser.parse_args()
    if args.worker:
        kind, path, threads = args.worker
        worker(kind, path, int(threads))
        return
    home = tempfile.mkdtemp(prefix="tsavf", dir=bench_base())
    results = []
    try:
        # Production deadlines (test mode shortens them).
        agent = AgentRun(home, {"TSAV_AGENT_FIRST_BYTE_TIMEOUT": "5", "TSAV_AGENT_REQUEST_TIMEOUT": "10"})
        try:
            floor = probe(agent.sock, max(200, args.tries // 3))
            results.append(dict(flood="none (floor)", **floor))
            for kind in ("storm", "slow", "both"):
                kinds = ("storm", "slow") if kind == "both" else (kind,)
                flood = [p for k in kinds for p in start_flood(k, agent.sock)]
                time.sleep(2)  # let the flood build up
                measured = probe(agent.sock, args.tries)
                for p in flood:
                    p.terminate()
                counts = collect(flood)
                measured["p99_vs_floor"] = (round(measured["p99_ms"] / floor["p99_ms"], 1)
                                            if measured["p99_ms"] and floor["p99_ms"] else None)
                results.append(dict(flood=kind, flood_counts=counts, **measured))
                time.sleep(3)  # the slow clients' connections drain
        finally:
            agent.stop()
    finally:
        shutil.rmtree(home, ignore_errors=True)
    report(results)


if __name__ == "__main__":
    main()
