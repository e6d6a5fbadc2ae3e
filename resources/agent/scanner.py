"""On-demand scans and single-file inspection (shared with real-time protection).

A scan walks its locations without following symbolic links, remembers the
directories it has entered (device, inode) so loops and bind mounts are walked
once, and opens only regular files (O_NOFOLLOW | O_NONBLOCK, checked again
with fstat, so a FIFO or device swapped in never blocks the walk). Files up to
`max_full_hash_bytes` are hashed in full; bigger files are not hashed and YARA
sees only their first `yara_window_bytes`.
"""

import collections
import logging
import os
import stat
import threading
import time

from . import records
from .engines import hash_and_read

log = logging.getLogger("agent.scanner")
OPEN_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
SKIP_TREES = ("/proc", "/sys", "/dev", "/run")


def _identity(st) -> tuple:
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns


class Scanner:
    def __init__(self, config, db, signature, yara, threats, events, settings, vault, exclude=()):
        self.config = config
        self.db = db
        self.signature = signature
        self.yara = yara
        self.threats = threats
        self.events = events
        self.settings = settings
        self.vault = vault
        self.exclude = tuple(os.path.realpath(p) for p in exclude)
        self.lock = threading.Lock()
        self._handling = threading.Lock()  # one detected file recorded and quarantined at a time
        self.journal = None  # the agent's detections in flight (journal.Journal)
        self.files_since_start = 0
        self._rate = collections.deque()  # (monotonic second, count)
        self._thread = None
        self._stop = threading.Event()
        self.current = None  # dict of the running or last scan
        self.dirs = {}
        row = db.query_one("SELECT * FROM scans ORDER BY id DESC LIMIT 1")
        if row is not None:
            self.current = {"id": row["id"], "kind": row["kind"], "started": row["started"],
                            "finished": row["finished"] if row["finished"] is not None else row["started"],
                            "scanned": row["scanned"], "current": "", "running": False}

    # -- counters ---------------------------------------------------------------
    def _count_file(self):
        second = int(time.monotonic())
        with self.lock:
            self.files_since_start += 1
            if self._rate and self._rate[-1][0] == second:
                self._rate[-1][1] += 1
            else:
                self._rate.append([second, 1])
                while self._rate and self._rate[0][0] < second - 10:
                    self._rate.popleft()

    def files_per_second(self) -> float:
        """Files inspected per second over the last three whole seconds."""
        now = int(time.monotonic())
        with self.lock:
            total = sum(c for s, c in self._rate if now - 3 <= s < now)
        return total / 3.0

    # -- status -------------------------------------------------------------------
    def status(self) -> dict:
        with self.lock:
            cur = dict(self.current) if self.current else None
        if cur is None:
            return records.scan_status(0, "", 0.0, None, 0, "", False)
        return records.scan_status(cur["id"], cur["kind"], cur["started"], None if cur["running"] else cur["finished"],
                                   cur["scanned"], cur["current"] or "", cur["running"])

    def scan_dirs(self) -> dict:
        now = time.time()
        with self.lock:
            result = {}
            for path, d in self.dirs.items():
                end = d["finished"] if d["finished"] is not None else now
                result[path] = records.scan_dir(d["scanned"], d["hits"], d["started"], d["finished"],
                                                max(0.0, end - d["started"]))
            return result

    def running(self) -> bool:
        with self.lock:
            return bool(self.current and self.current["running"])

    # -- control --------------------------------------------------------------------
    def start(self, kind: str, origin: str = "api") -> dict:
        if kind not in ("quick", "full"):
            raise ValueError('"kind" must be "quick" or "full"')
        locations = self.config.quick_locations if kind == "quick" else self.config.full_locations
        with self.lock:
            if self.current and self.current["running"]:
                raise RuntimeError("a scan is already running")
            started = time.time()
            scan_id = self.db.execute("INSERT INTO scans(kind, started) VALUES(?, ?)", (kind, started)).lastrowid
            self.current = {"id": scan_id, "kind": kind, "started": started, "finished": None, "scanned": 0,
                            "current": "", "running": True, "hits": 0}
            present = [p for p in locations if os.path.isdir(p)]
            self.dirs = {p: {"scanned": 0, "hits": 0, "started": started, "finished": None} for p in present}
            self._stop = threading.Event()
            self._thread = threading.Thread(target=self._run, args=(scan_id, present, self._stop),
                                            name=f"scan-{scan_id}", daemon=True)
            self._thread.start()
        skipped = [p for p in locations if p not in present]
        self.events.emit("scan" if origin == "api" else "schedule", f"{kind} scan #{scan_id} started",
                         ", ".join(present) + (f" (skipped missing: {', '.join(skipped)})" if skipped else ""))
        return self.status()

    def stop(self, wait: float = 2.0) -> bool:
        with self.lock:
            thread = self._thread if self.current and self.current["running"] else None
            self._stop.set()
        if thread is None:
            return False
        thread.join(wait)
        return True

    # -- walking ------------------------------------------------------------------
    def _excluded(self, path: str) -> bool:
        for ex in self.exclude:
            if path == ex or path.startswith(ex + "/"):
                return True
        return path.startswith(tuple(t + "/" for t in SKIP_TREES)) or path in SKIP_TREES

    def _run(self, scan_id, locations, stop):
        hits = 0
        try:
            # Linux lets a thread lower its own priority: the request path stays responsive.
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 10)
        except (OSError, AttributeError):
            pass
        try:
            seen_dirs = set()
            for top in locations:
                if stop.is_set():
                    break
                hits += self._walk(top, seen_dirs, stop)
                with self.lock:
                    d = self.dirs.get(top)
                    if d is not None:
                        d["finished"] = time.time()
        except Exception:
            log.exception("scan #%s failed", scan_id)
        finally:
            finished = time.time()
            with self.lock:
                cur = self.current
                cur["running"] = False
                cur["finished"] = finished
                cur["current"] = ""
                scanned = cur["scanned"]
            self.db.execute("UPDATE scans SET finished=?, scanned=?, hits=? WHERE id=?",
                            (finished, scanned, hits, scan_id))
            word = "stopped" if stop.is_set() else "finished"
            self.events.emit("scan", f"scan #{scan_id} {word}: {scanned} files, {hits} threats")

    def _walk(self, top, seen_dirs, stop) -> int:
        hits = 0
        stack = [top]
        while stack:
            if stop.is_set():
                break
            directory = stack.pop()
            if self._excluded(directory):
                continue
            try:
                st = os.stat(directory, follow_symlinks=False)
                if not stat.S_ISDIR(st.st_mode) or (st.st_dev, st.st_ino) in seen_dirs:
                    continue
                seen_dirs.add((st.st_dev, st.st_ino))
                with os.scandir(directory) as it:
                    entries = list(it)
            except OSError:
                continue
            for entry in entries:
                if stop.is_set():
                    break
                try:
                    if entry.is_dir(follow_symlinks=False):
                        stack.append(entry.path)
                        continue
                    if not entry.is_file(follow_symlinks=False):
                        continue  # symlinks, sockets, FIFOs, devices
                except OSError:
                    continue
                with self.lock:
                    self.current["current"] = entry.path
                found = self.inspect(entry.path, source="scan")
                with self.lock:
                    self.current["scanned"] += 1
                    d = self.dirs.get(top)
                    if d is not None:
                        d["scanned"] += 1
                        if found:
                            d["hits"] += 1
                if found:
                    hits += 1
        return hits

    # -- one file ---------------------------------------------------------------------
    def inspect(self, path: str, source: str = "scan") -> int:
        """Scans one file; records threats and quarantines when asked. Returns detections."""
        if path in self.vault.restoring:
            return 0
        try:
            fd = os.open(path, OPEN_FLAGS)
        except OSError:
            return 0
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode):
                return 0
            try:
                digest, data = hash_and_read(fd, st.st_size, self.config.max_full_hash_bytes,
                                             self.config.yara_window_bytes)
            except OSError:
                return 0
        finally:
            os.close(fd)
        self._count_file()
        detections = []
        if digest is not None:
            hit = self.signature.check(digest)
            if hit is not None:
                detections.append(hit)
        if self.yara is not None and data:
            detections.extend(self.yara.check(data))
        if not detections:
            return 0
        if digest is not None and self.db.query_one("SELECT 1 FROM allowlist WHERE path=? AND sha256=?",
                                                    (path, digest)):
            return 0
        self._handle(path, st, digest, detections, source)
        return len(detections)

    def _handle(self, path, st, digest, detections, source):
        # A scan and real-time protection can read the same file at the same moment. The
        # first to get here records it and moves it away; the other must find it gone (or
        # replaced) and do nothing, else it records the same file again under new ids that
        # can only end as "resolved" and counts one threat twice.
        with self._handling:
            try:
                now = os.stat(path, follow_symlinks=False)
            except OSError:
                return
            # The inode number of a removed file is soon reused, so size and mtime count too.
            if _identity(now) != _identity(st):
                return
            with self.journal.track(path, st):  # inspected again after a crash or a failed write
                self._record(path, st, digest, detections)

    def _record(self, path, st, digest, detections):
        threat_ids = []
        for det in detections:
            tid = self.threats.add(det.engine, det.severity, path=path, signature=det.signature,
                                   description=det.description, dedup=f"file:{det.engine}:{path}:{digest}")
            if tid is not None:
                threat_ids.append(tid)
                self.events.emit("file", f"{det.engine} detection #{tid}: {det.signature}", path)
        # Detections recorded before a crash or a failed move, still active, are moved with the new ones.
        dedups = [f"file:{d.engine}:{path}:{digest}" for d in detections]
        threat_ids += [r["id"] for r in self.db.query(
            f"SELECT id FROM threats WHERE status='detected' AND dedup IN ({','.join('?' * len(dedups))})", dedups)
            if r["id"] not in threat_ids]
        if not threat_ids:
            return
        if self.settings.get("auto_quarantine"):
            reason = ", ".join(sorted({f"{d.engine}:{d.signature}" for d in detections}))
            try:
                self.vault.quarantine(path, reason, expect_id=(st.st_dev, st.st_ino), expect_sha=digest,
                                      threat_ids=threat_ids)
            except Exception as exc:
                self.events.emit("quarantine", f"automatic quarantine failed: {exc}", path)
