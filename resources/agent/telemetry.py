"""Host telemetry: processes, connections and system load, sampled in the background.

Two kinds of pass share one thread:

- the watch pass, every `telemetry_interval` seconds whether anyone looks or
  not: stat and executable of every process, the standard input/output of
  shells and interpreters, the kernel's connection tables. It is what the
  behaviour and network engines need to catch a reverse shell or a miner
  within seconds, and costs about 2-3 ms on a desktop;
- the full pass, only while a client asks for processes, connections or
  metrics (and every `train_interval` seconds to feed the behaviour model):
  every process's descriptors, which connection belongs to which process, the
  model's score for every process, system and agent statistics.

Requests read the latest snapshot, so "processes", "network" and
"metrics.live" never wait for /proc walks; asking wakes the sampler so the
next answer is fresh.
"""

import logging
import os
import pwd
import threading
import time

import psutil

from . import fsnames, procfs, records
from .behavior import BehaviorEngine, Process, executable_path, features, severity, SHELLS, INTERPRETER, \
    STRATUM_PORTS

log = logging.getLogger("agent.telemetry")
DEMAND_WINDOW = 5.0  # seconds a request for processes/network/metrics keeps full passes going
BUSY_CPU = 50.0  # percent of a core that counts as busy over one interval
IDLE_GRACE = 2  # intervals below that before a busy streak ends
NET_EVERY = 5  # watch passes between reads of the connection tables when nobody polls
KTHREAD_RECHECK = 30  # passes between looks at the pids of kernel threads (their stat never changes)


def _interpreter(p: Process) -> bool:
    base = executable_path(p.exe).rsplit("/", 1)[-1]
    return p.name in SHELLS or base in SHELLS or bool(INTERPRETER.match(base) or INTERPRETER.match(p.name))


class _Track:
    """Sampler bookkeeping for one process (pid + start time)."""
    __slots__ = ("proc", "start_ticks", "ticks", "when", "busy_since", "idle_streak", "exe_seen", "shell",
                 "kthread", "not_inet")

    def __init__(self, proc, start_ticks):
        self.proc = proc
        self.start_ticks = start_ticks
        self.ticks = None
        self.when = 0.0
        self.busy_since = None
        self.idle_streak = 0
        self.exe_seen = object()
        self.shell = False
        self.kthread = False
        self.not_inet = set()  # socket inodes on its standard input/output that are not inet sockets


class Telemetry:
    def __init__(self, config, settings, threats, events, intel, behavior: BehaviorEngine, responder=None):
        self.config = config
        self.settings = settings
        self.threats = threats
        self.events = events
        self.intel = intel
        self.behavior = behavior
        self.responder = responder
        self.uid = os.getuid()
        # In test mode only what the test started is judged: on a shared machine other people's
        # processes (their tests' reverse shells among them) run as the same user.
        self.scope = os.getppid() if config.test_mode else None
        self.lock = threading.Lock()
        self.started = time.time()
        self.boot = procfs.boot_time()
        self.me = psutil.Process()
        self.me.cpu_percent(None)
        psutil.cpu_percent(None)
        self.processes: list = []
        self.connections: list = []
        self.system = records.system_stats(0, psutil.cpu_count() or 1, 0, 0, 0, 0, 0, 0, 0, 0)
        self.agent = records.agent_self(os.getpid(), 0, 0, 0, 0, 0)
        self._last_net = None
        self._tracks: dict = {}
        self._owners: dict = {}  # socket inode -> pid, from the last descriptor walk
        self._users: dict = {}
        self._last_demand = -1e9
        self._last_full = -1e9
        self._last_train = -1e9
        self._wake = threading.Event()
        self._pass = 0
        self._sockets = []
        self.passes = {"watch": 0, "full": 0}
        self.ready = threading.Event()

    # -- snapshots (read by request handlers) ------------------------------
    def demand(self):
        """A client wants processes, connections or metrics: keep full passes going for a while."""
        now = time.monotonic()
        idle = now - self._last_demand > DEMAND_WINDOW
        self._last_demand = now
        if idle or now - self._last_full > self.config.telemetry_interval * 1.5:
            self._wake.set()

    def process_rows(self) -> list:
        self.demand()
        with self.lock:
            return list(self.processes)

    def network_rows(self) -> list:
        self.demand()
        with self.lock:
            return list(self.connections)

    def system_stats(self) -> dict:
        self.demand()
        with self.lock:
            return dict(self.system)

    def agent_stats(self) -> dict:
        with self.lock:
            agent = dict(self.agent)
        agent["uptime_seconds"] = time.time() - self.started
        return agent

    # -- the loop ------------------------------------------------------------
    def run(self, stop: threading.Event):
        while not stop.is_set():
            try:
                self.sample()
            except Exception:  # keep sampling whatever one pass hit
                log.exception("telemetry sample failed")
            self.ready.set()
            self._wake.wait(self.config.telemetry_interval)
            self._wake.clear()

    def sample(self, full: bool | None = None):
        now = time.monotonic()
        train = now - self._last_train >= self.config.train_interval
        if full is None:
            full = train or now - self._last_demand <= DEMAND_WINDOW
        monitor = self.settings.get("network_monitor")
        ai = self.settings.get("ai_engine_enabled")
        procs = self._read_processes(now)
        stdio = self._stdio_sockets(procs)
        # The kernel walks its whole connection hash table for every read of these tables (0.7 ms
        # per table for 262,144 buckets here), so between full passes they are read only every
        # NET_EVERY passes, or at once when a shell's input or output is a socket not judged yet.
        fresh = full or bool(stdio) or self._pass % NET_EVERY == 0
        if fresh:
            self._sockets = procfs.net_sockets()
        sockets = self._sockets
        by_inode = {s.inode: s for s in sockets if s.inode}
        intel = {}
        if monitor:
            for s in sockets:
                if s.connection:
                    reason = self.intel.check(s.remote[0])
                    if reason is not None:
                        intel[s.inode] = reason
        self._stdio_peers(procs, stdio, by_inode)
        if full:
            self._walk_descriptors(procs, by_inode)
        elif fresh:
            wanted = {s.inode for s in sockets if s.connection and (s.remote[1] in STRATUM_PORTS or s.inode in intel)}
            self._find_owners(procs, wanted)
        if fresh:
            self._attach_remotes(procs, sockets, intel)
        for p in procs.values():
            if p.kernel or not ai:
                p.score, p.reasons = 0.0, []
            else:
                self.behavior.evaluate(p, with_model=full)
        if full and ai and train:
            self._last_train = now
            self.behavior.model.add_samples([features(p) for p in procs.values() if not p.kernel])
        hostile = self.behavior.threats(procs, self.uid, self.scope) if ai else []
        self._raise_behavior(procs, hostile, ai)
        net_rows = self._network_rows(procs, sockets, intel) if full else None
        if fresh:
            self._raise_network(procs, sockets, intel, monitor)
        if full:
            rows = [records.process_row(p.pid, p.name, self._user(p.uid), executable_path(p.exe) if p.exe else "",
                                        p.cpu, p.rss, p.connections, p.open_files, p.threads, p.score)
                    for p in procs.values()]
            system = self._sample_system()
            agent = self._sample_self()
            with self.lock:
                self.processes = rows
                self.connections = net_rows
                self.system = system
                self.agent = agent
            self._last_full = now
            self.passes["full"] += 1
        else:
            self.passes["watch"] += 1
        if self.responder is not None and hostile:
            self.responder.after_sample(hostile)
        return procs

    # -- reading processes ------------------------------------------------------
    def _read_processes(self, now) -> dict:
        tracks = self._tracks
        seen = {}
        self._pass += 1
        recheck = self._pass % KTHREAD_RECHECK == 0
        for pid in procfs.pids():
            tr = tracks.get(pid)
            if tr is not None and tr.kthread and not recheck:
                seen[pid] = tr  # a kernel thread stays one; its pid is looked at again now and then
                continue
            st = procfs.read_stat(pid)
            if st is None:
                continue
            tr = tracks.get(pid)
            if tr is None or tr.start_ticks != st.start:
                p = Process(pid=pid, ppid=st.ppid, name=st.comm, uid=None, exe=None,
                            start=self.boot + st.start / procfs.CLK_TCK)
                p.kernel = pid == 2 or st.ppid == 2
                tr = _Track(p, st.start)
                tr.kthread = p.kernel
            p = tr.proc
            seen[pid] = tr
            p.ppid, p.name, p.threads, p.rss = st.ppid, st.comm, st.threads, st.rss
            if p.kernel:
                continue
            p.kernel = st.state == "Z"  # a zombie has nothing left to judge
            exe = procfs.exe(pid)
            if exe != tr.exe_seen:  # new, exec'd, or its executable was deleted
                tr.exe_seen = exe
                p.exe = exe
                p.uid = procfs.owner(pid)
                p.cmdline = procfs.cmdline(pid)
                p.exe_gone = bool(exe and exe.endswith(" (deleted)") and not os.path.lexists(executable_path(exe)))
                p.static = None
                tr.shell = _interpreter(p)
                if not p.cmdline and not p.kernel:
                    # Caught inside execve: the new executable is in place before its arguments
                    # are (a sixth of reads straight after a spawn here). Read it all again next
                    # pass, or the process would be judged without its arguments until it next execs.
                    tr.exe_seen = object()
            if tr.ticks is not None and now > tr.when:
                p.cpu = max(0.0, (st.ticks - tr.ticks) / procfs.CLK_TCK / (now - tr.when) * 100.0)
                busy = p.cpu >= BUSY_CPU or st.state == "R"
                if busy:
                    tr.idle_streak = 0
                    if tr.busy_since is None:
                        tr.busy_since = tr.when
                else:
                    tr.idle_streak += 1
                    if tr.idle_streak >= IDLE_GRACE:
                        tr.busy_since = None
                p.busy_seconds = now - tr.busy_since if tr.busy_since is not None else 0.0
            tr.ticks, tr.when = st.ticks, now
        self._tracks = seen
        return {pid: tr.proc for pid, tr in seen.items()}

    def _stdio_sockets(self, procs) -> dict:
        """pid -> socket inodes on descriptor 0 or 1 of shells and interpreters, leaving out sockets
        already known to be no network connection (a Unix socket to a service manager or a terminal
        multiplexer: most shells with a socket have one of those)."""
        found = {}
        for pid, p in procs.items():
            tr = self._tracks[pid]
            if p.kernel or not tr.shell:
                continue
            for fd in (0, 1):
                inode = procfs.socket_inode(procfs.fd_target(pid, fd))
                if inode is not None and inode not in tr.not_inet:
                    found.setdefault(pid, []).append(inode)
        return found

    def _stdio_peers(self, procs, stdio, by_inode):
        """Remote end of a connection on a shell's or interpreter's standard input or output."""
        for pid, p in procs.items():
            p.stdio_peer = None
        for pid, inodes in stdio.items():
            p, tr = procs[pid], self._tracks[pid]
            for inode in inodes:
                sock = by_inode.get(inode)
                if sock is None:  # another network namespace's socket, or not an inet socket at all
                    sock = next((s for s in procfs.net_sockets(pid) if s.inode == inode), None)
                if sock is None:
                    tr.not_inet.add(inode)
                elif sock.connection:
                    p.stdio_peer = procfs.endpoint(sock.remote)
                    break

    def _walk_descriptors(self, procs, by_inode):
        owners = {}
        for pid, p in procs.items():
            if p.kernel:
                continue
            info = procfs.fd_summary(pid)
            if info is None:
                p.open_files = p.connections = 0
                continue
            _count, p.open_files, inodes = info
            live = 0
            for inode in inodes:
                owners.setdefault(inode, pid)
                sock = by_inode.get(inode)
                if sock is not None and sock.connection:
                    live += 1
            p.connections = live
        self._owners = owners

    def _find_owners(self, procs, wanted):
        """Owners of a few sockets: from the last walk while still true, else by walking again."""
        missing = set()
        for inode in wanted:
            pid = self._owners.get(inode)
            if pid is None or pid not in procs:
                missing.add(inode)
        if not missing:
            return
        for pid, p in procs.items():
            if p.kernel:
                continue
            info = procfs.fd_summary(pid)
            if info is None:
                continue
            for inode in info[2]:
                if inode in missing:
                    self._owners[inode] = pid
                    missing.discard(inode)
            if not missing:
                break

    def _attach_remotes(self, procs, sockets, intel):
        for p in procs.values():
            p.remotes = []
        for s in sockets:
            if not s.connection or (s.remote[1] not in STRATUM_PORTS and s.inode not in intel):
                continue
            p = procs.get(self._owners.get(s.inode))
            if p is not None:
                p.remotes.append((procfs.endpoint(s.remote), s.remote[1], intel.get(s.inode)))

    def _user(self, uid) -> str:
        if uid is None:
            return ""
        name = self._users.get(uid)
        if name is None:
            try:
                name = pwd.getpwuid(uid).pw_name
            except KeyError:
                name = str(uid)
            self._users[uid] = name
        return name

    # -- connections -------------------------------------------------------------
    def _network_rows(self, procs, sockets, intel) -> list:
        """Live connections only: no listeners, no sockets the kernel is winding down for nobody."""
        rows = []
        for s in sockets:
            if not s.connection:
                continue
            pid = self._owners.get(s.inode)
            p = procs.get(pid)
            status = "UDP" if s.proto == "udp" else s.state
            reason = intel.get(s.inode)
            rows.append(records.network_row(pid if p is not None else None, p.name if p is not None else None,
                                            procfs.endpoint(s.local), procfs.endpoint(s.remote), status,
                                            reason is not None, reason))
        return rows

    # -- system ------------------------------------------------------------------
    def _sample_system(self):
        now = time.time()
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
    def _raise_behavior(self, procs, hostile, ai):
        for p in hostile:
            key = f"behavior:{p.pid}:{p.start:.2f}"
            text = fsnames.display("; ".join(p.reasons) or "unusual process behaviour")
            name = fsnames.display(p.name)
            tid = self.threats.add("behavior", severity(p.score), pid=p.pid, process_name=name,
                                   path=fsnames.display(executable_path(p.exe)) or None, signature="behaviour",
                                   score=p.score, description=text, dedup=key)
            if tid is not None:
                self.events.emit("process", f"behaviour threat #{tid} score {p.score:.2f}",
                                 f"{name} (pid {p.pid}): {text}"[:500])
        if ai:
            self._resolve_gone("behavior", {f"behavior:{p.pid}:{p.start:.2f}" for p in procs.values()})

    def _raise_network(self, procs, sockets, intel, monitor):
        live = set()
        for s in sockets:
            if not s.connection:
                continue
            pid = self._owners.get(s.inode) if s.inode in intel else None
            key = f"network:{pid or 0}:{s.remote[0]}"
            live.add(key)
            if s.inode not in intel:
                continue
            p = procs.get(pid)
            if self.scope is not None and (p is None or p.pid not in self.behavior.descendants(procs, {self.scope})):
                continue
            if p is not None and self.behavior.allows(p):
                continue
            remote = procfs.endpoint(s.remote)
            name = fsnames.display(p.name) if p else None
            tid = self.threats.add("network", "high", pid=pid, process_name=name,
                                   signature=remote, description=intel[s.inode], dedup=key)
            if tid is not None:
                self.events.emit("network", f"suspicious connection, threat #{tid}: {intel[s.inode]}",
                                 f"{name or '?'} -> {remote}")
        self._resolve_gone("network", live if monitor else None)

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
