#!/usr/bin/env python3
"""What the always-on agent costs: alone, and with a console polling it every 2 s.

Runs the real agent (test mode for its private temporary directories, with
every timer as in production) and measures, in the same run, interleaved:

  A. the agent alone for --seconds (default 60);
  B. the agent while a console-like client sends the nine requests of a poll
     cycle every 2 s ("summary", then "threats", "quarantine.list",
     "processes", "network", "events", "scan.status", "metrics.live",
     "settings.get").

CPU is the agent's utime+stime from /proc/<pid>/stat over each window, in
percent of one core; RSS is the largest VmRSS seen (every second); wake-ups
are the agent's context switches per second, all threads.

Then the parts, timed in this process (time.process_time over repeated
passes) so that the biggest costs have names: the previous sampler (psutil
enumeration of every process, per-process descriptor walk, net_connections),
the watch pass and the full pass that replaced it, scoring every process
with scikit-learn's Isolation Forest against the agent's own forest, and
the resident memory of importing scikit-learn against the agent's modules.

Usage: resources/.venv/bin/python3 bench/agent/bench_idle.py [--seconds 60] [--rounds 1]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESOURCES = os.path.abspath(os.path.join(HERE, "..", "..", "resources"))
sys.path.insert(0, HERE)
sys.path.insert(0, RESOURCES)

from bench_agent import AgentRun, bench_base, call  # noqa: E402

CYCLE = ["summary", "threats", "quarantine.list", "processes", "network", "events", "scan.status", "metrics.live",
         "settings.get"]
TICK = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat", "rb") as fh:
        data = fh.read()
    fields = data[data.rfind(b")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def switches(pid):
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as fh:
                for line in fh:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            continue
    return total


def start_agent(home):
    """The agent with production timers and private stand-ins for the temporary directories."""
    env = {"TSAV_AGENT_TIMERS": "production"}
    for name, var in (("vartmp", "TSAV_AGENT_VAR_TMP_DIR"), ("shm", "TSAV_AGENT_SHM_DIR")):
        os.makedirs(os.path.join(home, name))
        env[var] = os.path.join(home, name)
    for name in ("Downloads", "Desktop"):
        os.makedirs(os.path.join(home, name))
    agent = AgentRun(home, env)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        if any("behaviour model fitted" in e["action"] for e in call(agent.sock, "events", limit=50)["data"]):
            return agent
        time.sleep(1)
    agent.stop()
    raise RuntimeError("behaviour model never fitted")


def window(agent, seconds, client):
    """CPU %, max RSS, wake-ups/s of the agent over `seconds`, with or without a polling client."""
    stop = threading.Event()
    cycles = []

    def poll():
        while not stop.is_set():
            started = time.monotonic()
            for op in CYCLE:
                assert call(agent.sock, op)["ok"], op
            cycles.append(time.monotonic() - started)
            stop.wait(2.0)

    pid = agent.proc.pid
    t0, c0, s0 = time.monotonic(), cpu_ticks(pid), switches(pid)
    thread = threading.Thread(target=poll) if client else None
    if thread:
        thread.start()
    peak = 0.0
    while time.monotonic() - t0 < seconds:
        peak = max(peak, rss_mib(pid))
        time.sleep(1.0)
    stop.set()
    if thread:
        thread.join()
    wall = time.monotonic() - t0
    result = {"window": "with console-like client" if client else "agent alone", "seconds": round(wall, 1),
              "cpu_percent_of_one_core": round((cpu_ticks(pid) - c0) / TICK / wall * 100, 2),
              "rss_mib_max": round(peak, 1), "wakeups_per_second": round((switches(pid) - s0) / wall, 1)}
    if cycles:
        result["client_cycles"] = len(cycles)
        result["cycle_ms_median"] = round(sorted(cycles)[len(cycles) // 2] * 1000, 1)
    return result


def cpu_ms(fn, repeat):
    fn()  # warm
    t = time.process_time()
    for _ in range(repeat):
        fn()
    return round((time.process_time() - t) / repeat * 1000, 2)


def previous_sampler():
    """What every 2-second pass did before: psutil enumeration with ten attributes, CPU per process,
    a readlink of every descriptor, and psutil.net_connections (a second descriptor walk)."""
    import psutil
    attrs = ["pid", "ppid", "name", "username", "exe", "num_threads", "memory_info", "create_time", "uids", "status"]
    psutil.net_connections(kind="inet")
    for proc in psutil.process_iter(attrs):
        try:
            proc.cpu_percent(None)
        except psutil.Error:
            pass
        try:
            for name in os.listdir(f"/proc/{proc.pid}/fd"):
                try:
                    os.readlink(f"/proc/{proc.pid}/fd/{name}")
                except OSError:
                    pass
        except OSError:
            pass


def parts(home):
    from agent.behavior import BehaviorEngine, IsolationForest, features
    from agent.config import Config
    from agent.db import Database
    from agent.engines import NetworkIntel
    from agent.events import EventLog
    from agent.settings import Settings
    from agent.telemetry import Telemetry
    from agent.threats import ThreatStore

    db = Database(os.path.join(home, "parts.db"))
    events = EventLog(db)
    config = Config(data_dir=home, socket_path=os.path.join(home, "s"), temp_dirs=())
    engine = BehaviorEngine(())
    telemetry = Telemetry(config, Settings(db), ThreatStore(db, events), events,
                          NetworkIntel(os.path.join(home, "none.txt")), engine)
    procs = telemetry.sample(full=True)
    vectors = [features(p) for p in procs.values() if not p.kernel]
    engine.model.add_samples(vectors * 4)
    engine.model.fit()
    result = {"processes": len(procs),
              "previous_sampler_ms": cpu_ms(previous_sampler, 10),
              "watch_pass_ms": cpu_ms(lambda: telemetry.sample(full=False), 20),
              "full_pass_ms": cpu_ms(lambda: telemetry.sample(full=True), 10)}
    forest = IsolationForest(50, 256).fit(vectors * 4)
    result["own_forest_score_all_ms"] = cpu_ms(lambda: [forest.score(v) for v in vectors], 10)
    result["own_forest_cached_ms"] = cpu_ms(lambda: [engine.model.unusual(v) for v in vectors], 10)
    try:
        import numpy as np
        from sklearn.ensemble import IsolationForest as Reference
        ref = Reference(n_estimators=50, max_samples=min(256, len(vectors) * 4), random_state=7).fit(vectors * 4)
        x = np.asarray(vectors, dtype=float)
        result["sklearn_score_all_ms"] = cpu_ms(lambda: ref.score_samples(x), 10)
    except ImportError:
        result["sklearn_score_all_ms"] = None
    db.close()
    return result


def import_rss():
    """Resident memory of a fresh interpreter after each import (MiB; VmRSS, since ru_maxrss
    survives exec and would report this process's own peak)."""
    out = {}
    for label, code in (("python alone", "pass"), ("agent modules", "import agent.main"),
                        ("numpy", "import numpy"), ("sklearn.ensemble", "import sklearn.ensemble")):
        probe = (f"{code}\nprint(next(l.split()[1] for l in open('/proc/self/status') "
                 "if l.startswith('VmRSS:')))")
        done = subprocess.run([sys.executable, "-c", probe], cwd=RESOURCES, capture_output=True, text=True)
        out[label] = round(int(done.stdout.strip()) / 1024, 1) if done.returncode == 0 else None
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--rounds", type=int, default=1)
    args = parser.parse_args()
    home = tempfile.mkdtemp(prefix="tsavi", dir=bench_base())
    try:
        agent = start_agent(home)
        try:
            time.sleep(5)
            for _ in range(args.rounds):
                print(json.dumps(window(agent, args.seconds, client=False)), flush=True)
                print(json.dumps(window(agent, args.seconds, client=True)), flush=True)
            m = call(agent.sock, "metrics.live")["data"]
            print(json.dumps({"agent_reports": m["agent"], "realtime": m.get("realtime")}), flush=True)
        finally:
            agent.stop()
        print(json.dumps({"parts_cpu_per_pass": parts(home)}), flush=True)
        print(json.dumps({"import_rss_mib": import_rss()}), flush=True)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    load = os.getloadavg()
    print(json.dumps({"cpus": os.cpu_count(), "loadavg_1m": round(load[0], 2), "python": sys.version.split()[0]}))


if __name__ == "__main__":
    main()
