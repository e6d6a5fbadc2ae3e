#!/usr/bin/env python3
"""Benchmarks of the bundled agent, run against the real agent process.

  1. quick-scan throughput over 20,000 small files (1-4 KiB) and 200 files of 1 MiB, each measured
     in the same run against two peers over the same tree: `clamdscan --fdpass` talking to the
     same clamd the agent uses, and `sha256sum` (reading and hashing every file: the floor of any
     scanner that reads everything); with the CPU time each spends (its own plus clamd's)
  2. latency of "summary" while a scan runs (fresh connection per request, as the console does)
  3. resident memory of the idle agent with the behaviour model fitted, and of its clamd apart

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
TICK = os.sysconf("SC_CLK_TCK")


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


def cpu_seconds(pid) -> float:
    """User + system time of a process, from /proc."""
    with open(f"/proc/{pid}/stat", "rb") as fh:
        fields = fh.read().rsplit(b")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_mib(pid) -> float:
    with open(f"/proc/{pid}/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


class AgentRun:
    def __init__(self, home, env_extra=None):
        self.home = home
        self.sock = os.path.join(home, SOCKET_SUFFIX)
        self.data = os.path.join(home, "data")
        env = {k: v for k, v in os.environ.items() if not k.startswith("TSAV_")}
        env.update({"HOME": home, "TSAV_AGENT_TEST_MODE": "1", "TSAV_AGENT_DATA_DIR": self.data,
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
                    break
            except OSError:
                time.sleep(0.1)
        else:
            raise RuntimeError("agent did not start")
        # Wait until the private clamd answers.
        while time.monotonic() < deadline:
            state = call(self.sock, "metrics.live")["data"]["engines"]["signature"]
            if state.get("reason") not in ("clamd starting", "clamd not running"):
                break
            time.sleep(0.1)

    @property
    def clamd_pid(self) -> int:
        with open(os.path.join(self.data, "clamd", "clamd.pid")) as fh:
            return int(fh.read().strip())

    @property
    def clamd_socket(self) -> str:
        return os.path.join(self.data, "clamd", "clamd.sock")

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


def timed_child(argv, clamd_pid=None) -> dict:
    """Wall and CPU time of a command (its own CPU from wait4, plus the clamd's it used).

    It runs at nice 10, the priority of the agent's scan thread, so that both compete alike with
    whatever else the machine runs.
    """
    clamd_before = cpu_seconds(clamd_pid) if clamd_pid else 0.0
    started = time.monotonic()
    proc = subprocess.Popen(["nice", "-n", "10"] + argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - started
    proc.returncode = os.waitstatus_to_exitcode(status)
    own = usage.ru_utime + usage.ru_stime
    clamd = cpu_seconds(clamd_pid) - clamd_before if clamd_pid else 0.0
    return {"seconds": wall, "own_cpu": own, "clamd_cpu": clamd, "exit": proc.returncode}


def fresh_clamd_cache(agent):
    """clamd remembers files it found clean (by content hash), so a second pass over the same tree is
    cheaper. A database change makes the agent reload clamd, which starts with an empty cache."""
    reloads = lambda: sum(1 for e in call(agent.sock, "events", limit=500)["data"]
                          if e["action"] == "signature databases reloaded")
    before = reloads()
    with open(os.path.join(agent.data, "clamav", "bench.ndb"), "w") as fh:
        fh.write(f"Bench.Cache.Flush:0:*:{os.urandom(16).hex()}\n")
    deadline = time.monotonic() + 60
    while reloads() == before and time.monotonic() < deadline:
        time.sleep(0.1)


def quick_scan(agent, probe_summary=False):
    """Runs a quick scan; returns (status, summary latencies in ms while it ran)."""
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
            return status, latencies


def scan_throughput(count, size_fn, label, probe_summary=False):
    home = tempfile.mkdtemp(prefix="tsavb", dir=bench_base())
    try:
        tree = os.path.join(home, "Downloads")
        make_tree(tree, count, size_fn)
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
            agent_cpu0, clamd_cpu0 = cpu_seconds(agent.proc.pid), cpu_seconds(agent.clamd_pid)
            t0 = time.monotonic()
            status, _ = quick_scan(agent)
            wall = time.monotonic() - t0
            agent_cpu = cpu_seconds(agent.proc.pid) - agent_cpu0
            clamd_cpu = cpu_seconds(agent.clamd_pid) - clamd_cpu0
            agent_time = status["finished"] - status["started"]
            scanned = status["scanned"]
            # The peers, over the same tree, in the same run, against the same clamd (its cache emptied).
            conf = os.path.join(home, "clamdscan.conf")
            with open(conf, "w") as fh:
                fh.write(f"LocalSocket {agent.clamd_socket}\n")
            fresh_clamd_cache(agent)
            clamdscan = timed_child(["clamdscan", "-c", conf, "--fdpass", "--no-summary", "--quiet", tree],
                                    agent.clamd_pid)
            fresh_clamd_cache(agent)
            clamdscan_multi = timed_child(["clamdscan", "-c", conf, "--fdpass", "--multiscan", "--no-summary",
                                           "--quiet", tree], agent.clamd_pid)
            sha = timed_child(["sh", "-c", f"find '{tree}' -type f -print0 | xargs -0 sha256sum"])
            latencies = quick_scan(agent, probe_summary=True)[1] if probe_summary else []
        finally:
            agent.stop()
        rate = scanned / agent_time
        result = {
            "label": label, "files": scanned, "seconds": round(agent_time, 3), "files_per_second": round(rate, 1),
            "mib_per_second": round(total_bytes / agent_time / (1 << 20), 1), "wall_seconds": round(wall, 2),
            "cpu_seconds_agent": round(agent_cpu, 2), "cpu_seconds_clamd": round(clamd_cpu, 2),
            "clamdscan_fdpass_files_per_second": round(count / clamdscan["seconds"], 1),
            "clamdscan_fdpass_cpu_seconds": round(clamdscan["own_cpu"] + clamdscan["clamd_cpu"], 2),
            "clamdscan_multiscan_files_per_second": round(count / clamdscan_multi["seconds"], 1),
            "sha256sum_files_per_second": round(count / sha["seconds"], 1),
            "sha256sum_cpu_seconds": round(sha["own_cpu"], 2),
            "ratio_vs_clamdscan_fdpass": round(rate / (count / clamdscan["seconds"]), 2),
            "ratio_vs_sha256sum": round(rate / (count / sha["seconds"]), 3),
            "cpu_ratio_vs_clamdscan_fdpass": round((agent_cpu + clamd_cpu) /
                                                   max(0.01, clamdscan["own_cpu"] + clamdscan["clamd_cpu"]), 2),
        }
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
            samples, clamd = [], []
            for _ in range(5):
                samples.append(rss_mib(agent.proc.pid))
                clamd.append(rss_mib(agent.clamd_pid))
                time.sleep(1)
            reported = call(agent.sock, "metrics.live")["data"]["agent"]
        finally:
            agent.stop()
        return {"label": "idle RSS with behaviour model", "rss_mib_max": round(max(samples), 1),
                "rss_mib_mean": round(statistics.mean(samples), 1), "clamd_rss_mib_max": round(max(clamd), 1),
                "reported_rss_mib": round(reported["rss"] / (1 << 20), 1),
                "reported_clamd_rss_mib": round(reported.get("clamd_rss", 0) / (1 << 20), 1)}
    finally:
        shutil.rmtree(home, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", type=int, default=20000)
    parser.add_argument("--large", type=int, default=200)
    args = parser.parse_args()
    load_before = os.getloadavg()[0]
    results = [
        scan_throughput(args.small, lambda i: 1024 + (i * 37) % 3072, f"{args.small} small files (1-4 KiB)",
                        probe_summary=True),
        scan_throughput(args.large, lambda i: 1 << 20, f"{args.large} files of 1 MiB"),
        idle_memory(),
    ]
    report(results, load_before)


def report(results, load_before=None):
    """One JSON line per result, then the machine and its load while they were measured."""
    for r in results:
        print(json.dumps(r))
    machine = {"cpus": os.cpu_count(), "loadavg_1m": round(os.getloadavg()[0], 2), "python": sys.version.split()[0]}
    if load_before is not None:
        machine["loadavg_1m_before"] = round(load_before, 2)
    print(json.dumps(machine))

if __name__ == "__main__":
    main()
