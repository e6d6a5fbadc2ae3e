"""Host telemetry from psutil, sampled in the background every few seconds.

Requests read the latest snapshot, so "processes", "network" and
"metrics.live" never wait for /proc walks.
"""

import logging
import os
import socket
import threading
import time

import psutil

from . import records

log = logging.getLogger("agent.telemetry")
PROC_ATTRS = ["pid", "ppid", "name", "username", "exe", "num_threads", "memory_info", "create_time", "uids",
              "status"]


def _endpoint(addr) -> str:
    if not addr:
        return ""
    ip, port = addr[0], addr[1]
    return f"[{ip}]:{port}" if ":" in ip else f"{ip}:{port}"


def _fd_counts(pid: int) -> tuple[int, bool]:
    """(open regular files, stdin is a socket) from /proc/<pid>/fd; (0, False) when denied."""
    base = f"/proc/{pid}/fd"
    try:
        names = os.listdir(base)
    except OSError:
        return 0, False
    files = 0
    stdin_socket = False
    for name in names:
        try:
            target = os.readlink(f"{base}/{name}")
        except OSError:
            continue
        if target.startswith("/"):
            files += 1
        elif name == "0" and target.startswith("socket:"):
            stdin_socket = True
    return files, stdin_socket


class Telemetry:
    def __init__(self, config, settings, threats, events, intel, behavior, responder=None):
        self.config = config
        self.settings = settings
        self.threats = threats
        self.events = events
        self.intel = intel
        self.behavior = behavior
        self.responder = responder
        self.lock = threading.Lock()
        self.started = time.time()
        self.me = psutil.Process()
        self.me.cpu_percent(None)
        psutil.cpu_percent(None)
        self.processes: list = []
        self.connections: list = []
        self.system = records.system_stats(0, psutil.cpu_count() or 1, 0, 0, 0, 0, 0, 0, 0, 0)
        self.agent = records.agent_self(os.getpid(), 0, 0, 0, 0, 0)
        self._last_net = None
        self._samples_taken = 0
        self.ready = threading.Event()

    # -- snapshots (read by request handlers) ------------------------------
    def process_rows(self) -> list:
        with self.lock:
            return list(self.processes)

    def network_rows(self) -> list:
        with self.lock:
            return list(self.connections)

    def system_stats(self) -> dict:
        with self.lock:
            return dict(self.system)

    def agent_stats(self) -> dict:
        with self.lock:
            agent = dict(self.agent)
        agent["uptime_seconds"] = time.time() - self.started
        return agent

    # -- sampling ------------------------------------------------------------
    def run(self, stop: threading.Event):
        while not stop.is_set():
            try:
                self.sample()
            except Exception:  # keep sampling whatever one pass hit
                log.exception("telemetry sample failed")
            self.ready.set()
            stop.wait(self.config.telemetry_interval)

    def sample(self):
        now = time.time()
        monitor = self.settings.get("network_monitor")
        conns_by_pid, net_rows, intel_hits = self._sample_connections(monitor)
        procs = self._sample_processes(conns_by_pid, intel_hits)
        scores = self._score(procs)
        rows = []
        for p, s in zip(procs, scores):
            p["score"] = s
            rows.append(records.process_row(p["pid"], p["name"], p["user"], p["exe"], p["cpu"], p["rss"],
                                            p["connections"], p["open_files"], p["threads"], s))
        system = self._sample_system(now)
        agent = self._sample_self()
        with self.lock:
            self.processes = rows
            self.connections = net_rows
            self.system = system
            self.agent = agent
        self._raise_threats(procs, net_rows, monitor)
        if self.responder is not None:
            self.responder.after_sample(procs)

    def _sample_connections(self, monitor):
        try:
            conns = psutil.net_connections(kind="inet")
        except (psutil.Error, OSError) as exc:
            log.debug("net_connections failed: %s", exc)
            conns = []
        by_pid, rows, hits = {}, [], {}
        names = {}
        for c in conns:
            if c.pid:
                by_pid[c.pid] = by_pid.get(c.pid, 0) + 1
            if not c.raddr:
                continue
            process = None
            if c.pid:
                process = names.get(c.pid)
                if process is None:
                    try:
                        process = psutil.Process(c.pid).name()
                    except (psutil.Error, OSError):
                        process = None
                    names[c.pid] = process
            reason = self.intel.check(c.raddr[0]) if monitor else None
            status = c.status if c.type == socket.SOCK_STREAM else "UDP"
            rows.append(records.network_row(c.pid, process, _endpoint(c.laddr), _endpoint(c.raddr),
                                            status or "NONE", reason is not None, reason))
            if reason is not None and c.pid:
                hits[c.pid] = reason
        return by_pid, rows, hits

    def _sample_processes(self, conns_by_pid, intel_hits):
        procs = []
        for proc in psutil.process_iter(PROC_ATTRS):
            info = proc.info
            try:
                cpu = proc.cpu_percent(None)
            except (psutil.Error, OSError):
                cpu = 0.0
            pid = info["pid"]
            open_files, stdin_socket = _fd_counts(pid)
            mem = info.get("memory_info")
            exe = info.get("exe") or ""
            uids = info.get("uids")
            procs.append({
                "pid": pid,
                "ppid": info.get("ppid") or 0,
                "name": info.get("name") or "",
                "user": info.get("username") or (str(uids.real) if uids else ""),
                "uid": uids.real if uids else None,
                "exe": exe,
                "exe_deleted": exe.endswith(" (deleted)"),
                "cpu": cpu or 0.0,
                "rss": mem.rss if mem else 0,
                "threads": info.get("num_threads") or 0,
                "open_files": open_files,
                "stdin_socket": stdin_socket,
                "connections": conns_by_pid.get(pid, 0),
                "create_time": info.get("create_time") or 0.0,
                "age": max(0.0, time.time() - (info.get("create_time") or time.time())),
                "intel_hit": intel_hits.get(pid),
                # Kernel threads and zombies are listed but never raise threats or get killed.
                "kernel": pid == 2 or info.get("ppid") == 2 or info.get("status") == psutil.STATUS_ZOMBIE,
                "handle": proc,
            })
        return procs

    def _score(self, procs):
        if not self.settings.get("ai_engine_enabled"):
            return [0.0] * len(procs)
        user = [p for p in procs if not p["kernel"]]
        self._samples_taken += 1
        if self._samples_taken % 3 == 1:
            self.behavior.add_samples(user)
        try:
            scored = self.behavior.score(user)
        except Exception:
            log.exception("behaviour scoring failed")
            scored = [0.0] * len(user)
        by_pid = {p["pid"]: s for p, s in zip(user, scored)}
        result = []
        for p in procs:
            s = by_pid.get(p["pid"], 0.0)
            if self.config.test_mode and p["name"] in self.config.hot_names:
                s = 0.99
            result.append(s)
        return result

    def _sample_system(self, now):
        cpu = psutil.cpu_percent(None)
        mem = psutil.virtual_memory()
        try:
            disk = psutil.disk_usage("/")
            disk_used, disk_total, disk_pct = disk.used, disk.total, disk.percent
        except OSError:
            disk_used = disk_total = 0
            disk_pct = 0.0
        sent_rate = recv_rate = 0.0
        try:
            net = psutil.net_io_counters()
        except (OSError, RuntimeError):
            net = None
        if net is not None:
            if self._last_net is not None:
                t0, s0, r0 = self._last_net
                dt = now - t0
                if dt > 0:
                    sent_rate = max(0.0, (net.bytes_sent - s0) / dt)
                    recv_rate = max(0.0, (net.bytes_recv - r0) / dt)
            self._last_net = (now, net.bytes_sent, net.bytes_recv)
        return records.system_stats(cpu, psutil.cpu_count() or 1, mem.total - mem.available, mem.total,
                                    mem.percent, disk_used, disk_total, disk_pct, sent_rate, recv_rate)

    def _sample_self(self):
        me = self.me
        try:
            with me.oneshot():
                return records.agent_self(me.pid, me.cpu_percent(None), me.memory_info().rss, me.num_threads(),
                                          me.num_fds(), time.time() - self.started)
        except (psutil.Error, OSError):
            return records.agent_self(os.getpid(), 0, 0, 0, 0, time.time() - self.started)

    # -- threats -------------------------------------------------------------
    def _raise_threats(self, procs, net_rows, monitor):
        live = set()
        if self.settings.get("ai_engine_enabled"):
            for p in procs:
                live.add(f"behavior:{p['pid']}:{p['create_time']:.2f}")
                if p["kernel"] or p["pid"] == os.getpid() or p["score"] < BEHAVIOR_THRESHOLD:
                    continue
                severity = "critical" if p["score"] >= 0.97 else "high" if p["score"] >= 0.93 else "medium"
                from .engines import heuristic_bonus
                _, reasons = heuristic_bonus(p)
                text = "unusual process behaviour" + (": " + "; ".join(reasons) if reasons else "")
                tid = self.threats.add("behavior", severity, pid=p["pid"], process_name=p["name"],
                                       path=p["exe"] or None, signature="IsolationForest",
                                       score=p["score"], description=text,
                                       dedup=f"behavior:{p['pid']}:{p['create_time']:.2f}")
                if tid is not None:
                    self.events.emit("process", f"behaviour threat #{tid} score {p['score']:.2f}",
                                     f"{p['name']} (pid {p['pid']})")
        else:
            live = None
        self._resolve_gone("behavior", live)
        net_live = set()
        for row in net_rows:
            if row["status"] not in LIVE_STATES:
                continue  # closing sockets linger without an owner; they are shown, not re-raised
            key = f"network:{row.get('pid', 0)}:{row['remote'].rsplit(':', 1)[0]}"
            net_live.add(key)
            if not row["suspicious"]:
                continue
            tid = self.threats.add("network", "high", pid=row.get("pid"), process_name=row.get("process"),
                                   signature=row["remote"], description=row.get("reason"), dedup=key)
            if tid is not None:
                self.events.emit("network", f"suspicious connection, threat #{tid}: {row.get('reason')}",
                                 f"{row.get('process') or '?'} -> {row['remote']}")
        self._resolve_gone("network", net_live if monitor else None)

    def _resolve_gone(self, kind, live):
        """Active process/network threats whose cause has disappeared become "resolved"."""
        if live is None:
            return
        for row in self.threats.active(kind):
            if row["dedup"] and row["dedup"] not in live:
                self.threats.set_status(row["id"], "resolved")
                self.events.emit("process" if kind == "behavior" else "network",
                                 f"threat #{row['id']} resolved ({'process ended' if kind == 'behavior' else 'connection closed'})",
                                 row["process_name"])


BEHAVIOR_THRESHOLD = 0.90
LIVE_STATES = ("ESTABLISHED", "SYN_SENT", "SYN_RECV", "UDP")
