#!/usr/bin/env python3
"""Benchmarks of the bundled agent, run against the real agent process.

  1. quick-scan throughput over 20,000 small files (1-4 KiB)
  2. quick-scan throughput over 200 files of 1 MiB
  3. latency of "summary" while a scan runs (fresh connection per request, as the console does)
  4. resident memory of the idle agent with the behaviour model fitted

Usage: resources/.venv/bin/python3 bench/agent/bench_agent.py [--small N] [--large N]
"""

import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESOURCES = os.path.abspath(os.path.join(HERE, "..", "..", "resources"))
SOCKET_SUFFIX = "Library/Application Support/TessalyAntivirus/agent.sock"


def call(sock_path, op, **payload):
    payload["op"] = op
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(15)
    s.connect(sock_path)
    s.sendall(json.dumps(payload).encode() + b"\n")
    reply = b""
    while not reply.endswith(b"\n"):
        chunk = s.recv(65536)
        if not chunk:
            break
        reply += chunk
    s.close()
    return json.loads(reply)


class AgentRun:
    def __init__(self, home, env_extra=None):
        self.home = home
        self.sock = os.path.join(home, SOCKET_SUFFIX)
        env = {k: v for k, v in os.environ.items() if not k.startswith("TSAV_")}
        env.update({"HOME": home, "TSAV_AGENT_TEST_MODE": "1", "TSAV_AGENT_DATA_DIR": os.path.join(home, "data"),
                    "TSAV_AGENT_TMP_DIR": os.path.join(home, "tmp"),
                    # Production timing: telemetry every 2 s.
                    "TSAV_AGENT_TELEMETRY_INTERVAL": "2.0"})
        env.update(env_extra or {})
        os.makedirs(os.path.join(home, "tmp"), exist_ok=True)
        self.log = open(os.path.join(home, "agent.log"), "wb")
        self.proc = subprocess.Popen([sys.executable, "-m", "agent.main"], cwd=RESOURCES, env=env,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            try:
                if call(self.sock, "summary")["ok"]:
                    return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("agent did not start")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)
        self.log.close()


def make_tree(root, count, size_fn):
    for i in range(count):
        d = os.path.join(root, f"d{i // 200:03d}")
        if i % 200 == 0:
            os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, f"f{i:05d}.bin"), "wb") as fh:
            fh.write(os.urandom(size_fn(i)))


def bench_base() -> str:
    """Outside /tmp, /var/tmp and /dev/shm, which another agent on this machine may watch."""
    base = os.environ.get("TSAV_TEST_TMPDIR") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"), "tessaly-tests")
    os.makedirs(base, mode=0o700, exist_ok=True)
    return base


def drop_caches_note():
    return "page cache warm (files just written)"


def scan_throughput(count, size_fn, label, probe_summary=False):
    home = tempfile.mkdtemp(prefix="tsavb", dir=bench_base())
    try:
        make_tree(os.path.join(home, "Downloads"), count, size_fn)
        total_bytes = sum(size_fn(i) for i in range(count))
        agent = AgentRun(home)
        try:
            call(agent.sock, "settings.set", values={"realtime_enabled": False})
            idle = []
            if probe_summary:
                for _ in range(200):
                    s0 = time.perf_counter()
                    assert call(agent.sock, "summary")["ok"]
                    idle.append((time.perf_counter() - s0) * 1000)
                    time.sleep(0.01)
                idle.sort()
            t0 = time.monotonic()
            call(agent.sock, "scan.start", kind="quick")
            latencies = []
            while True:
                if probe_summary:
                    s0 = time.perf_counter()
                    assert call(agent.sock, "summary")["ok"]
                    latencies.append((time.perf_counter() - s0) * 1000)
                    time.sleep(0.005)
                else:
                    time.sleep(0.05)
                status = call(agent.sock, "scan.status")["data"]
                if not status["running"]:
                    break
            wall = time.monotonic() - t0
            agent_time = status["finished"] - status["started"]
            scanned = status["scanned"]
        finally:
            agent.stop()
        result = {"label": label, "files": scanned, "seconds": round(agent_time, 3),
                  "files_per_second": round(scanned / agent_time, 1),
                  "mib_per_second": round(total_bytes / agent_time / (1 << 20), 1), "wall_seconds": round(wall, 2)}
        if latencies:
            latencies.sort()
            result["summary_requests"] = len(latencies)
            result["summary_p50_ms"] = round(statistics.median(latencies), 2)
            result["summary_p99_ms"] = round(latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))], 2)
            result["summary_max_ms"] = round(latencies[-1], 2)
            result["idle_summary_p50_ms"] = round(statistics.median(idle), 2)
            result["idle_summary_p99_ms"] = round(idle[int(len(idle) * 0.99) - 1], 2)
        return result
    finally:
        shutil.rmtree(home, ignore_errors=True)


def idle_memory():
    home = tempfile.mkdtemp(prefix="tsavb", dir=bench_base())
    try:
        agent = AgentRun(home, {"TSAV_AGENT_FIRST_FIT": "0"})
        try:
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline:
                events = call(agent.sock, "events", limit=50)["data"]
                if any("behaviour model fitted" in e["action"] for e in events):
                    break
                time.sleep(0.5)
            time.sleep(5)
            samples = []
            for _ in range(5):
                with open(f"/proc/{agent.proc.pid}/status") as fh:
                    for line in fh:
                        if line.startswith("VmRSS:"):
                            samples.append(int(line.split()[1]) / 1024)
                time.sleep(1)
        finally:
            agent.stop()
        return {"label": "idle RSS with behaviour model", "rss_mib_max": round(max(samples), 1),
                "rss_mib_mean": round(statistics.mean(samples), 1)}
    finally:
        shutil.rmtree(home, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", type=int, default=20000)
    parser.add_argument("--large", type=int, default=200)
    args = parser.parse_args()
    results = [
        scan_throughput(args.small, lambda i: 1024 + (i * 37) % 3072, f"{args.small} small files (1-4 KiB)",
                        probe_summary=True),
        scan_throughput(args.large, lambda i: 1 << 20, f"{args.large} files of 1 MiB"),
        idle_memory(),
    ]
    report(results)


def report(results):
    """One JSON line per result, then the machine and its load while they were measured."""
    for r in results:
        print(json.dumps(r))
    load = os.getloadavg()
    print(json.dumps({"cpus": os.cpu_count(), "loadavg_1m": round(load[0], 2), "python": sys.version.split()[0]}))


if __name__ == "__main__":
    main()
