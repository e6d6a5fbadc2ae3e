"""Active responses: auto-kill and the network kill switch."""

import logging
import os
import shutil
import signal
import subprocess
import threading

from . import fsnames, procfs
from .behavior import executable_path

log = logging.getLogger("agent.response")
KILL_THRESHOLD = 0.93
NFT_TABLE = "tsav_isolation"
NFT_RULESET = f"""table inet {NFT_TABLE} {{
    chain input {{ type filter hook input priority -300; policy drop; iif "lo" accept; }}
    chain output {{ type filter hook output priority -300; policy drop; oif "lo" accept; }}
    chain forward {{ type filter hook forward priority -300; policy drop; }}
}}
"""
# Why isolation cannot be applied: (the event's English text, the console's Romanian reason).
ISOLATION_BLOCKS = {
    "root": ("requires root privileges", "necesită root"),
    "nft": ("nftables (nft) is not installed", "nft lipsește"),
    "test": ("disabled in test mode", "dezactivat în modul de test"),
    "opt-in": ("not enabled for this host (set TSAV_AGENT_ALLOW_ISOLATION=1 to allow it)",
               "neactivat pe acest sistem (TSAV_AGENT_ALLOW_ISOLATION=1)"),
}


def protected_pids() -> set:
    """pid 1, the agent, its ancestors (the console, the session) and its session leader."""
    pids = {0, 1, 2, os.getpid()}
    try:
        pids.add(os.getsid(0))
    except OSError:
        pass
    pid = os.getppid()
    for _ in range(64):
        if pid <= 1 or pid in pids:
            break
        pids.add(pid)
        st = procfs.read_stat(pid)
        if st is None:
            break
        pid = st.ppid
    return pids


class KillRefused(Exception):
    pass


def kill_process(pid: int, start: float, uid: int | None = None) -> None:
    """SIGKILLs process `pid` if it is still the one that started at `start` (epoch seconds).

    Refuses pid 1, the agent, its ancestors and session leader, and processes of
    other users. The process is pinned with a pidfd before its start time is
    checked, so a pid reused meanwhile is never hit. Raises KillRefused with the
    reason; a process that is already gone raises ProcessLookupError.
    """
    if pid in protected_pids():
        raise KillRefused("the agent, its parents and pid 1 are never ended")
    try:
        pidfd = os.pidfd_open(pid)
    except ProcessLookupError:
        raise
    except OSError as exc:
        raise KillRefused(f"cannot open process {pid}: {exc.strerror}") from None
    try:
        st = procfs.read_stat(pid)
        if st is None:
            raise ProcessLookupError(pid)
        boot = procfs.boot_time()
        if abs(boot + st.start / procfs.CLK_TCK - start) > 0.02:
            raise ProcessLookupError(pid)  # the pid now names another process
        owner = procfs.owner(pid)
        if owner != (os.getuid() if uid is None else uid):
            raise KillRefused("the process belongs to another user")
        signal.pidfd_send_signal(pidfd, signal.SIGKILL)
    except PermissionError as exc:
        raise KillRefused(f"not permitted: {exc.strerror}") from None
    finally:
        os.close(pidfd)


class Responder:
    def __init__(self, config, settings, threats, events, data_dir):
        self.config = config
        self.settings = settings
        self.threats = threats
        self.events = events
        self.uid = os.getuid()
        self.isolated = False
        self.lock = threading.Lock()
        self._refused = set()
        settings.subscribe(self._on_settings)

    # -- auto-kill ---------------------------------------------------------------
    def after_sample(self, hostile):
        """Ends the behaviour threats at or above the kill line (the sampler has already left out
        trusted and allowed programs, other users' processes and, in test mode, whatever the test
        did not start)."""
        if not self.settings.get("auto_kill_high_risk"):
            return
        for p in hostile:
            if p.score >= KILL_THRESHOLD and not p.kernel and p.uid == self.uid:
                self._kill(p)

    def _kill(self, p):
        try:
            kill_process(p.pid, p.start)
        except ProcessLookupError:
            return
        except KillRefused as exc:
            if (p.pid, p.start) not in self._refused:  # said once, not on every pass
                self._refused.add((p.pid, p.start))
                self.events.emit("process", f"auto-kill refused: {exc}", f"{fsnames.display(p.name)} (pid {p.pid})")
            return
        ended = [row["id"] for row in self.threats.active("behavior") if row["pid"] == p.pid]
        for tid in ended:
            self.threats.set_status(tid, "killed")
        tid = ended[0] if ended else self.threats.add(
            "behavior", "critical", status="killed", pid=p.pid, process_name=fsnames.display(p.name),
            path=fsnames.display(executable_path(p.exe)) or None, signature="behaviour", score=p.score,
            description=fsnames.display("process ended by auto-kill: " + "; ".join(p.reasons))[:1000])
        self.events.emit("process", f"auto-kill: ended process, threat #{tid}", f"{fsnames.display(p.name)} (pid {p.pid})")

    # -- kill switch -----------------------------------------------------------------
    def _isolation_block(self) -> str | None:
        if os.geteuid() != 0:
            return "root"
        if shutil.which("nft") is None:
            return "nft"
        if self.config.test_mode:
            return "test"
        if not self.config.allow_isolation:
            return "opt-in"
        return None

    def isolation_blocker(self) -> str | None:
        """Why host isolation cannot be applied, or None when it can."""
        block = self._isolation_block()
        return ISOLATION_BLOCKS[block][0] if block else None

    def isolation_unavailable(self) -> str | None:
        """The same reason, short and in Romanian, for the console's settings screen."""
        block = self._isolation_block()
        return ISOLATION_BLOCKS[block][1] if block else None

    def apply_isolation(self, on: bool):
        with self.lock:
            blocker = self.isolation_blocker()
            if blocker is not None:
                if on:
                    self.events.emit("network", f"kill switch on, but host isolation is unavailable: {blocker}")
                else:
                    self.events.emit("network", "kill switch off")
                return
            nft = shutil.which("nft")
            try:
                if on:
                    subprocess.run([nft, "-f", "-"], input=NFT_RULESET, text=True, check=True,
                                   capture_output=True, timeout=10)
                    self.isolated = True
                    self.events.emit("network", f"host isolated: nftables table inet {NFT_TABLE} drops all but loopback")
                else:
                    subprocess.run([nft, "delete", "table", "inet", NFT_TABLE], text=True, capture_output=True,
                                   timeout=10)
                    self.isolated = False
                    self.events.emit("network", f"host isolation lifted: table inet {NFT_TABLE} removed")
            except (OSError, subprocess.SubprocessError) as exc:
                detail = getattr(exc, "stderr", "") or str(exc)
                self.events.emit("network", f"kill switch change failed: {str(detail).strip()[:200]}")

    def _on_settings(self, changed, values):
        if "kill_switch_isolate" in changed:
            self.apply_isolation(values["kill_switch_isolate"])
        if "auto_kill_high_risk" in changed:
            self.events.emit("process", f"auto-kill of high-risk processes {'on' if values['auto_kill_high_risk'] else 'off'}")

    def shutdown(self):
        # Isolation stays as the user set it while the agent restarts; nothing to undo here.
        pass
