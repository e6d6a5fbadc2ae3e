"""Requests about detection: the allow-list, the user's actions on a threat, engine health.

  allowlist.list    {}                                   -> [{id, kind, value, note, ts}], newest first
  allowlist.add     {kind, value, note?}                 -> {id, kind, value, note, ts, resolved}
  allowlist.remove  {id}                                 -> {id, removed: true}
  threat.quarantine {id}                                 -> {id, quarantine_id}
  threat.kill       {id}                                 -> {id, pid, killed: true}
"""

import os
import time

import psutil

from . import records
from .allowlist import AllowListError
from .response import protected_pids
from .threats import PROCESS_KINDS


class DetectionRequests:
    def __init__(self, agent):
        self.agent = agent
        self._clamd_rss = (0.0, 0)

    def routes(self) -> dict:
        return {
            "allowlist.list": self.allowlist_list,
            "allowlist.add": self.allowlist_add,
            "allowlist.remove": self.allowlist_remove,
            "threat.quarantine": self.threat_quarantine,
            "threat.kill": self.threat_kill,
        }

    @staticmethod
    def _id(request) -> int:
        value = request.get("id")
        if isinstance(value, bool) or not isinstance(value, int):
            raise AllowListError('"id" must be an integer')
        return value

    # -- allow-list ---------------------------------------------------------------------
    def allowlist_list(self, request):
        return self.agent.allow.entries()

    def allowlist_add(self, request):
        a = self.agent
        entry, created = a.allow.add(request.get("kind"), request.get("value"), request.get("note", ""))
        if created:
            a.events.emit("api", f"allow-list entry #{entry['id']} added ({entry['kind']})", entry["value"])
        resolved = a.threats.allow_matching(entry["kind"], entry["value"], exe_of=_exe_of)
        for tid in resolved:
            a.events.emit("api", f"threat #{tid} allowed by allow-list entry #{entry['id']}", entry["value"])
        a.service.invalidate()
        return dict(entry, resolved=len(resolved))

    def allowlist_remove(self, request):
        entry = self.agent.allow.remove(self._id(request))
        self.agent.events.emit("api", f"allow-list entry #{entry['id']} removed ({entry['kind']})", entry["value"])
        return {"id": entry["id"], "removed": True}

    # -- threats --------------------------------------------------------------------------
    def threat_quarantine(self, request):
        tid = self._id(request)
        entry_id = self.agent.scanner.quarantine_threat(tid)
        self.agent.service.invalidate()
        return {"id": tid, "quarantine_id": entry_id}

    def threat_kill(self, request):
        a = self.agent
        tid = self._id(request)
        row = a.threats.get(tid)
        if row is None:
            raise ValueError(f"no threat {tid}")
        if row["kind"] not in PROCESS_KINDS or not row["pid"]:
            raise ValueError(f"threat {tid} is not a process threat")
        if row["status"] != "detected":
            raise ValueError(f"threat {tid} is not active (it is {row['status']})")
        pid = int(row["pid"])
        if pid in protected_pids():
            raise ValueError(f"process {pid} is init, the agent or one of its ancestors; it is not ended")
        try:
            proc = psutil.Process(pid)
            if proc.uids().real != os.getuid():
                raise ValueError(f"process {pid} belongs to another user; it is not ended")
            started = proc.create_time()
        except psutil.NoSuchProcess:
            a.threats.set_status_if(tid, "detected", "resolved")
            raise ValueError(f"process {pid} is no longer running") from None
        except psutil.AccessDenied:
            raise ValueError(f"no permission to inspect process {pid}") from None
        if not _same_process(row, started):
            raise ValueError(f"process {pid} is not the one detected (its number was reused)")
        try:
            # psutil checks the start time again before it signals, so a pid reused meanwhile is not hit.
            proc.kill()
            proc.wait(5)
        except psutil.NoSuchProcess:
            pass
        except psutil.TimeoutExpired:
            pass
        except psutil.AccessDenied as exc:
            raise ValueError(f"cannot end process {pid}: {exc}") from None
        a.threats.set_status_if(tid, "detected", "killed")
        a.events.emit("process", f"threat #{tid}: process ended at the user's request",
                      f"{row['process_name'] or '?'} (pid {pid})")
        a.service.invalidate()
        return {"id": tid, "pid": pid, "killed": True}

    # -- metrics ---------------------------------------------------------------------------
    def engines(self) -> dict:
        """Hits since start per engine, with the engine's state and the reason when it is not "ok"."""
        a = self.agent
        hits = a.threats.engine_hits()
        values = a.settings.snapshot()
        health = {
            "signature": a.signature.health() if a.signature is not None else ("off", "signature engine unavailable"),
            "yara": a.yara.health() if a.yara is not None else ("off", "YARA unavailable"),
            "behavior": ("ok", "") if values.get("ai_engine_enabled") else ("off", "switched off"),
            "network": ("ok", "") if values.get("network_monitor") else ("off", "switched off"),
        }
        result = {}
        for name, h in hits.items():
            state, reason = health.get(name, (None, None))
            result[name] = records.engine_hits(h["hits"], h["last"], state, reason)
        return result

    def agent_stats(self, stats: dict) -> dict:
        """The agent's own figures, with the memory of the clamd it uses beside them (when it can see it)."""
        if self.agent.signature is None:
            return stats
        when, value = self._clamd_rss
        if time.monotonic() - when > 5:
            value = self.agent.signature.clamd_rss()
            self._clamd_rss = (time.monotonic(), value)
        return dict(stats, clamd_rss=value) if value else stats


def _exe_of(pid):
    try:
        return psutil.Process(pid).exe() or None
    except (psutil.Error, OSError):
        return None


def _same_process(row, started: float) -> bool:
    """The running process is the detected one: same start time, or at least started before the detection."""
    dedup = row["dedup"] or ""
    parts = dedup.split(":")
    if dedup.startswith("behavior:") and len(parts) >= 3:
        try:
            return abs(float(parts[2]) - started) < 0.02
        except ValueError:
            pass
    # A pid is reused only after its process ended; one alive now that started before the
    # detection is the process that held the pid then.
    return started <= float(row["ts"]) + 0.01

