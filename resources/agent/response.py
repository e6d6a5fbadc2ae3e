"""Active responses: auto-kill, the network kill switch and the telemetry outbox."""

import json
import logging
import os
import shutil
import subprocess
import threading
import time

import psutil

log = logging.getLogger("agent.response")
KILL_THRESHOLD = 0.93
NFT_TABLE = "tsav_isolation"
NFT_RULESET = f"""table inet {NFT_TABLE} {{
    chain input {{ type filter hook input priority -300; policy drop; iif "lo" accept; }}
    chain output {{ type filter hook output priority -300; policy drop; oif "lo" accept; }}
    chain forward {{ type filter hook forward priority -300; policy drop; }}
}}
"""
OUTBOX_MAX_BYTES = 8 << 20
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
    try:
        for parent in psutil.Process().parents():
            pids.add(parent.pid)
    except psutil.Error:
        pass
    return pids


class Responder:
    def __init__(self, config, settings, threats, events, data_dir):
        self.config = config
        self.settings = settings
        self.threats = threats
        self.events = events
        self.outbox = os.path.join(data_dir, "outbox.jsonl")
        self.uid = os.getuid()
        self.isolated = False
        self.lock = threading.Lock()
        self._last_outbox = 0.0
        self.metrics_source = None  # callable returning a metadata dict
        settings.subscribe(self._on_settings)

    # -- auto-kill ---------------------------------------------------------------
    def after_sample(self, procs):
        if not self.settings.get("auto_kill_high_risk"):
            return
        protected = protected_pids()
        for p in procs:
            if p["score"] < KILL_THRESHOLD or p["pid"] in protected or p.get("kernel"):
                continue
            if p.get("uid") != self.uid:
                continue  # only the current user's own processes
            self._kill(p)

    def _kill(self, p):
        handle = p.get("handle")
        if handle is None:
            return
        try:
            # psutil checks the create time before signalling, so a reused pid is never hit.
            if abs(handle.create_time() - p["create_time"]) > 0.01 or not handle.is_running():
                return
            handle.kill()
        except psutil.NoSuchProcess:
            return
        except (psutil.AccessDenied, OSError) as exc:
            self.events.emit("process", f"auto-kill failed: {exc}", f"{p['name']} (pid {p['pid']})")
            return
        tid = self.threats.add("behavior", "critical", status="killed", pid=p["pid"], process_name=p["name"],
                               path=p.get("exe") or None, signature="IsolationForest", score=p["score"],
                               description=f"process ended by auto-kill (score {p['score']:.2f} >= {KILL_THRESHOLD})")
        for row in self.threats.active("behavior"):
            if row["pid"] == p["pid"]:
                self.threats.set_status(row["id"], "killed")
        self.events.emit("process", f"auto-kill: ended process, threat #{tid}", f"{p['name']} (pid {p['pid']})")

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

    # -- telemetry outbox ------------------------------------------------------------------
    def outbox_tick(self):
        if not self.settings.get("cloud_telemetry") or self.metrics_source is None:
            return
        now = time.time()
        if now - self._last_outbox < self.config.outbox_interval:
            return
        self._last_outbox = now
        batch = {"ts": now, "kind": "metadata", **self.metrics_source()}
        line = json.dumps(batch, separators=(",", ":"), allow_nan=False) + "\n"
        try:
            if os.path.exists(self.outbox) and os.path.getsize(self.outbox) > OUTBOX_MAX_BYTES:
                os.replace(self.outbox, self.outbox + ".1")
            fd = os.open(self.outbox, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW, 0o600)
            with os.fdopen(fd, "a") as fh:
                fh.write(line)
        except OSError as exc:
            self.events.emit("telemetry", f"telemetry outbox write failed: {exc}")
            return
        self.events.emit("telemetry", "metadata batch written to the outbox (no control plane configured)",
                         self.outbox)

    def _on_settings(self, changed, values):
        if "kill_switch_isolate" in changed:
            self.apply_isolation(values["kill_switch_isolate"])
        if "cloud_telemetry" in changed:
            self.events.emit("telemetry", "cloud telemetry on: batches go to the local outbox"
                             if values["cloud_telemetry"] else "cloud telemetry off", self.outbox)
        if "auto_kill_high_risk" in changed:
            self.events.emit("process", f"auto-kill of high-risk processes {'on' if values['auto_kill_high_risk'] else 'off'}")

    def shutdown(self):
        # Isolation stays as the user set it while the agent restarts; nothing to undo here.
        pass
