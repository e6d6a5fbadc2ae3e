"""On-demand scans and single-file inspection (shared with real-time protection).

A scan walks its locations through directory descriptors (openat), so a path
longer than PATH_MAX is still reached and a directory swapped for a symbolic
link midway is never followed. Directories are entered once (device, inode),
only regular files are opened (O_NOFOLLOW | O_NONBLOCK, checked again with
fstat), and names are bytes kept exactly (see fsnames).

Each file goes to ClamAV by descriptor and its first `yara_window_bytes` to
YARA. A per-user agent acts only on its user's files, or on files in a
directory the user owns that is not a shared sticky one like /tmp; other
users' files are counted, not read. A file or directory that cannot be opened
is counted and reported as an event. A scan ends "finished", "stopped" or
"failed" (with the reason).
"""

import collections
import contextlib
import errno
import hashlib
import json
import logging
import os
import stat
import threading
import time

from . import fsnames, records
from .engines import SEVERITY_RANK, read_window
from .vault import VaultError, open_dir_nofollow

log = logging.getLogger("agent.scanner")
OPEN_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
SKIP_TREES = ("/proc", "/sys", "/dev", "/run")
# Pseudo-filesystems are never walked, but files do land in their shared memory folder.
SKIP_TREE_EXCEPTIONS = ("/dev/shm",)
MAX_DEPTH = 512  # open directory descriptors along one path
UNREADABLE_EVENTS = 20  # per scan; the rest are counted in the final event
BATCH = 32  # files handed to clamd before its first verdict is read
ENGINE_ORDER = {"signature": 0, "yara": 1}
FILE_KINDS = ("signature", "yara")


def _under(path: str, top: str) -> bool:
    return path == top or path.startswith(top + "/")


def in_skipped_tree(path: str) -> bool:
    """True inside /proc, /sys, /dev or /run, except /dev/shm, where files land like in /tmp."""
    if any(_under(path, t) for t in SKIP_TREE_EXCEPTIONS):
        return False
    return any(_under(path, t) for t in SKIP_TREES)


def _identity(st) -> tuple:
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns


def _why(exc: OSError) -> str:
    if exc.errno == errno.ENAMETOOLONG:
        return "path too long"
    return exc.strerror or str(exc)


def _shared_sticky(st) -> bool:
    """/tmp, /var/tmp, /dev/shm and their like: everyone writes there, nobody owns the files."""
    return bool(st.st_mode & stat.S_ISVTX and st.st_mode & stat.S_IWOTH)


def _at_parent(path: str, action):
    """action(dir_fd or None, name or path): straight by path, or, for a path too long for the
    kernel to take at once, through the descriptor of its parent opened component by component."""
    if len(os.fsencode(path)) < 4000:
        return action(None, path)
    parent, name = os.path.split(path)
    try:
        dfd = open_dir_nofollow(parent)
    except VaultError as exc:
        raise OSError(errno.ENOENT, str(exc)) from None
    try:
        return action(dfd, name)
    finally:
        os.close(dfd)


def lstat(path: str):
    return _at_parent(path, lambda dfd, name: os.stat(name, dir_fd=dfd, follow_symlinks=False))


def open_file(path: str):
    """(descriptor of the regular file, stat of its directory)."""
    def action(dfd, name):
        fd = os.open(name, OPEN_FLAGS, dir_fd=dfd)
        try:
            dir_st = os.fstat(dfd) if dfd is not None else os.stat(os.path.dirname(path))
        except OSError:
            os.close(fd)
            raise
        return fd, dir_st
    return _at_parent(path, action)


def sha256_fd(fd: int) -> str:
    digest = hashlib.sha256()
    offset = 0
    while True:
        chunk = os.pread(fd, 1 << 20, offset)
        if not chunk:
            return digest.hexdigest()
        digest.update(chunk)
        offset += len(chunk)


def merge(detections: list) -> tuple:
    """One threat for everything found in one file: (kind, severity, signature, description).

    The most severe engine gives the kind, severity and signature; the description names every
    engine and rule, e.g. "signature: EICAR-Test-File (ClamAV); yara: EICAR_Test_File (EICAR test file)".
    """
    ordered = sorted(detections, key=lambda d: (SEVERITY_RANK.get(d.severity, 9), ENGINE_ORDER.get(d.engine, 9)))
    top = ordered[0]
    parts = [f"{d.engine}: {d.signature}" + (f" ({d.description})" if d.description else "") for d in ordered]
    return top.engine, top.severity, top.signature, "; ".join(parts)


class _ScanRun:
    """Counters of one scan, shared by its walk and its final event."""

    def __init__(self, scan_id, events):
        self.scan_id = scan_id
        self.events = events
        self.hits = 0
        self.foreign = 0
        self.unreadable = 0
        self.unchecked = 0  # files no clamd could scan
        self.batch = []  # (descriptor, stat, path, location) opened and waiting for the engines

    def cannot_read(self, path, why):
        self.unreadable += 1
        if self.unreadable <= UNREADABLE_EVENTS:
            self.events.emit("scan", f"scan #{self.scan_id}: cannot read ({why})", path)


class Scanner:
    def __init__(self, config, db, signature, yara, threats, events, settings, vault, exclude=(), allow=None):
        self.config = config
        self.db = db
        self.signature = signature  # ClamavEngine (None: no signature engine)
        self.yara = yara
        self.threats = threats
        self.events = events
        self.settings = settings
        self.vault = vault
        self.allow = allow
        self.exclude = tuple(os.path.realpath(p) for p in exclude)
        self.uid = os.geteuid()
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
            try:
                locations = json.loads(row["locations"]) if row["locations"] else None
            except ValueError:
                locations = None
            self.current = {"id": row["id"], "kind": row["kind"], "started": row["started"],
                            "finished": row["finished"] if row["finished"] is not None else row["started"],
                            "scanned": row["scanned"], "current": "", "running": False,
                            # A scan the agent did not see to its end (it was killed) did not finish.
                            "outcome": row["outcome"] or ("failed" if row["finished"] is None else "finished"),
                            "error": row["error"] or ("the agent stopped during the scan"
                                                      if row["finished"] is None else None),
                            "skipped_foreign": row["skipped_foreign"], "unreadable": row["unreadable"],
                            "locations": locations}

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
        running = cur["running"]
        return records.scan_status(cur["id"], cur["kind"], cur["started"], None if running else cur["finished"],
                                   cur["scanned"], cur["current"] or "", running,
                                   outcome=None if running else cur.get("outcome"), error=cur.get("error"),
                                   skipped_foreign=cur.get("skipped_foreign"), unreadable=cur.get("unreadable"),
                                   locations=cur.get("locations"))

    def scan_dirs(self) -> dict:
        now = time.time()
        with self.lock:
            result = {}
            for path, d in self.dirs.items():
                end = d["finished"] if d["finished"] is not None else now
                result[fsnames.display(path)] = records.scan_dir(d["scanned"], d["hits"], d["started"],
                                                                 d["finished"], max(0.0, end - d["started"]))
            return result

    def running(self) -> bool:
        with self.lock:
            return bool(self.current and self.current["running"])

    # -- control --------------------------------------------------------------------
    def start(self, kind: str, origin: str = "api") -> dict:
        if kind not in ("quick", "full"):
            raise ValueError('"kind" must be "quick" or "full"')
        locations = self.config.quick_locations if kind == "quick" else self.config.full_locations
        present = [p for p in locations if os.path.lexists(p)]
        with self.lock:
            if self.current and self.current["running"]:
                raise RuntimeError("a scan is already running")
            started = time.time()
            scan_id = self.db.execute("INSERT INTO scans(kind, started, locations) VALUES(?, ?, ?)",
                                      (kind, started, json.dumps([fsnames.escaped(p) for p in present]))).lastrowid
            self.current = {"id": scan_id, "kind": kind, "started": started, "finished": None, "scanned": 0,
                            "current": "", "running": True, "skipped_foreign": 0, "unreadable": 0,
                            "locations": present, "outcome": None, "error": None}
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
        return in_skipped_tree(path)

    def _allowed_path(self, path: str) -> bool:
        return self.allow is not None and self.allow.covers_path(path)

    def _run(self, scan_id, locations, stop):
        run = _ScanRun(scan_id, self.events)
        outcome, error = "finished", None
        try:
            # Linux lets a thread lower its own priority: the request path stays responsive.
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 10)
        except (OSError, AttributeError):
            pass
        try:
            if self.signature is not None:
                self.signature.refresh()  # databases the user just added are used by this scan
            seen_dirs = set()
            opened = 0
            for top in locations:
                if stop.is_set():
                    break
                opened += self._walk(top, seen_dirs, stop, run)
                with self.lock:
                    d = self.dirs.get(top)
                    if d is not None:
                        d["finished"] = time.time()
            if locations and not opened and not stop.is_set():
                outcome, error = "failed", "none of the locations could be opened"
        except Exception as exc:
            log.exception("scan #%s failed", scan_id)
            outcome, error = "failed", f"{type(exc).__name__}: {exc}"[:300]
        finally:
            if stop.is_set() and outcome == "finished":
                outcome = "stopped"
            finished = time.time()
            with self.lock:
                scanned = self.current["scanned"]
            try:
                self.db.execute("UPDATE scans SET finished=?, scanned=?, hits=?, outcome=?, error=?,"
                                " skipped_foreign=?, unreadable=? WHERE id=?",
                                (finished, scanned, run.hits, outcome, error, run.foreign, run.unreadable, scan_id))
                self.events.emit("scan", f"scan #{scan_id} {outcome}: {scanned} files, {run.hits} threats"
                                         + self._tally(run) + (f" ({error})" if error else ""))
            except Exception:
                log.exception("could not record the end of scan #%s", scan_id)
            # Only now does the scan show as ended: its record and final event are there to be read.
            with self.lock:
                self.current.update(running=False, finished=finished, current="", outcome=outcome, error=error,
                                    skipped_foreign=run.foreign, unreadable=run.unreadable)

    @staticmethod
    def _tally(run) -> str:
        parts = []
        if run.foreign:
            parts.append(f"{run.foreign} files of other users left alone")
        if run.unreadable:
            parts.append(f"{run.unreadable} unreadable")
        if run.unchecked:
            parts.append(f"{run.unchecked} not checked by ClamAV (clamd unavailable)")
        return "; " + "; ".join(parts) if parts else ""

    def _walk(self, top, seen_dirs, stop, run) -> int:
        """Scans one location; returns 1 when it could be opened, else 0."""
        if self._excluded(top) or self._allowed_path(top):
            return 1
        try:
            # A location may itself be a symbolic link (~/Downloads kept elsewhere); nothing below is followed.
            fd = os.open(top, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError as exc:
            run.cannot_read(top, _why(exc))
            return 0
        try:
            st = os.fstat(fd)
        except OSError as exc:
            os.close(fd)
            run.cannot_read(top, _why(exc))
            return 0
        if stat.S_ISREG(st.st_mode):
            try:
                parent = os.stat(os.path.dirname(top))
                self._scan_open_file(fd, st, top, parent, top, run)
            except OSError as exc:
                run.cannot_read(top, _why(exc))
            finally:
                os.close(fd)
            return 1
        if not stat.S_ISDIR(st.st_mode) or (st.st_dev, st.st_ino) in seen_dirs:
            os.close(fd)
            return 1
        seen_dirs.add((st.st_dev, st.st_ino))
        stack = []
        self._enter(stack, fd, st, top, run)
        try:
            while stack and not stop.is_set():
                dir_fd, dir_path, dir_st, entries = stack[-1]
                entry = next(entries, None)
                if entry is None:
                    os.close(dir_fd)
                    stack.pop()
                    continue
                path = dir_path.rstrip("/") + "/" + entry.name
                if self._excluded(path) or self._allowed_path(path):
                    continue
                try:
                    is_dir = entry.is_dir(follow_symlinks=False)
                    is_file = not is_dir and entry.is_file(follow_symlinks=False)
                except OSError as exc:
                    run.cannot_read(path, _why(exc))
                    continue
                if is_dir:
                    self._descend(stack, dir_fd, entry.name, path, seen_dirs, run)
                elif is_file:
                    self._scan_entry(dir_fd, dir_st, entry.name, path, top, run)
                # symbolic links, sockets, FIFOs and devices are not files to scan
            self._flush(run)
        finally:
            for frame in stack:
                os.close(frame[0])
            for item in run.batch:  # stopped, or failed, with files still open
                os.close(item[0])
            run.batch = []
        return 1

    def _enter(self, stack, fd, st, path, run):
        try:
            with os.scandir(fd) as it:
                entries = list(it)
        except OSError as exc:
            os.close(fd)
            run.cannot_read(path, _why(exc))
            return
        stack.append((fd, path, st, iter(entries)))

    @staticmethod
    def _open_at(dir_fd, name, flags, path, run):
        """(descriptor, stat) of an entry, or None: gone or swapped for a link meanwhile is quiet,
        anything else is counted as unreadable."""
        try:
            fd = os.open(name, flags, dir_fd=dir_fd)
        except OSError as exc:
            if exc.errno not in (errno.ENOENT, errno.ELOOP, errno.ENOTDIR):
                run.cannot_read(path, _why(exc))
            return None
        try:
            return fd, os.fstat(fd)
        except OSError as exc:
            os.close(fd)
            run.cannot_read(path, _why(exc))
            return None

    def _descend(self, stack, parent_fd, name, path, seen_dirs, run):
        if len(stack) >= MAX_DEPTH:
            run.cannot_read(path, f"nested more than {MAX_DEPTH} directories deep")
            return
        opened = self._open_at(parent_fd, name, DIR_FLAGS, path, run)
        if opened is None:
            return
        fd, st = opened
        if (st.st_dev, st.st_ino) in seen_dirs:
            os.close(fd)
            return
        seen_dirs.add((st.st_dev, st.st_ino))
        self._enter(stack, fd, st, path, run)

    def _scan_entry(self, dir_fd, dir_st, name, path, top, run):
        opened = self._open_at(dir_fd, name, OPEN_FLAGS, path, run)
        if opened is None:
            return
        fd, st = opened
        if not stat.S_ISREG(st.st_mode) or not self._ours(st, dir_st):
            run.foreign += stat.S_ISREG(st.st_mode)
            os.close(fd)
            return
        run.batch.append((fd, st, path, top))
        if len(run.batch) >= BATCH:
            self._flush(run)

    def _scan_open_file(self, fd, st, path, dir_st, top, run):
        """A location that is a single file (a shell start-up file, the crontab)."""
        if not self._ours(st, dir_st):
            run.foreign += 1
            return
        run.batch.append((os.dup(fd), st, path, top))
        self._flush(run)

    def _flush(self, run):
        """Both engines over the files opened so far: clamd works on the batch while YARA reads it."""
        batch, run.batch = run.batch, []
        if not batch:
            return
        fds = [item[0] for item in batch]
        try:
            started = self.signature.begin(fds) if self.signature is not None else None
            yara_found = [self._yara(fd, st, path, run) for fd, st, path, _ in batch]
            clam = self.signature.finish(fds, started) if started is not None else [([], True)] * len(batch)
            for (fd, st, path, top), from_yara, (from_clam, checked) in zip(batch, yara_found, clam):
                if from_yara is None:
                    continue  # could not be read: counted already
                if not checked:
                    run.unchecked += 1
                with self.lock:
                    self.current["current"] = path
                found = self._conclude(fd, st, path, "scan", from_clam + from_yara)
                with self.lock:
                    self.current["scanned"] += 1
                    d = self.dirs.get(top)
                    if d is not None:
                        d["scanned"] += 1
                        d["hits"] += found
                run.hits += found
        finally:
            for fd in fds:
                os.close(fd)

    def _yara(self, fd, st, path, run):
        """YARA's detections in a file's first bytes; None when the file cannot be read."""
        if self.yara is None:
            return []
        try:
            data = read_window(fd, st.st_size, self.config.yara_window_bytes)
        except OSError as exc:
            run.cannot_read(path, _why(exc))
            return None
        return self.yara.check(data, path) if data else []

    def _ours(self, st, dir_st) -> bool:
        """This user's file, or a file in a directory this user owns that is not shared like /tmp."""
        if st.st_uid == self.uid:
            return True
        return dir_st is not None and dir_st.st_uid == self.uid and not _shared_sticky(dir_st)

    # -- one file ---------------------------------------------------------------------
    def inspect(self, path: str, source: str = "scan") -> int:
        """Scans one file by name (real-time protection); records and quarantines. Returns 1 on a threat."""
        if path in self.vault.restoring or self._allowed_path(path) or self._excluded(path):
            return 0
        try:
            fd, dir_st = open_file(path)
            try:
                st = os.fstat(fd)
                if not stat.S_ISREG(st.st_mode) or not self._ours(st, dir_st):
                    return 0
                return self._inspect_fd(fd, st, path, source)
            finally:
                os.close(fd)
        except OSError as exc:
            if exc.errno not in (errno.ENOENT, errno.ELOOP, errno.ENOTDIR):
                self.events.emit("file", f"cannot inspect ({_why(exc)})", path)
            return 0

    def _inspect_fd(self, fd, st, path, source) -> int:
        detections = []
        if self.signature is not None:
            detections.extend(self.signature.scan_fd(fd)[0])
        if self.yara is not None:
            data = read_window(fd, st.st_size, self.config.yara_window_bytes)
            if data:
                detections.extend(self.yara.check(data, path))
        return self._conclude(fd, st, path, source, detections)

    def _conclude(self, fd, st, path, source, detections) -> int:
        """Counts the file; records (and quarantines) what was found unless the user allowed it."""
        self._count_file()
        if not detections:
            return 0
        digest = sha256_fd(fd)
        if self.allow is not None and self.allow.covers(path=path, sha256=digest):
            return 0
        return self._handle(path, st, digest, detections, source)

    def _handle(self, path, st, digest, detections, source) -> int:
        # A scan and real-time protection can read the same file at the same moment. The
        # first to get here records it and moves it away; the other must find it gone (or
        # replaced) and do nothing, else it records the same file again under new ids that
        # can only end as "resolved" and counts one threat twice.
        with self._handling:
            try:
                now = lstat(path)
            except OSError:
                return 0
            # The inode number of a removed file is soon reused, so size and mtime count too.
            if _identity(now) != _identity(st):
                return 0
            with self.journal.track(path, st) if self.journal is not None else contextlib.nullcontext():
                # Journaled: inspected again after a crash or a failed write.
                return self._record(path, st, digest, detections)

    def _record(self, path, st, digest, detections) -> int:
        kind, severity, signature, description = merge(detections)
        engines = sorted({d.engine for d in detections}, key=lambda e: ENGINE_ORDER.get(e, 9))
        dedup = f"file:{fsnames.escaped(path)}:{digest}"
        tid = self.threats.add(kind, severity, path=path, signature=signature, description=description,
                               dedup=dedup, sha256=digest, engines=engines)
        if tid is not None:
            self.events.emit("file", f"{kind} detection #{tid}: {signature}", path)
        # A detection recorded before a crash or a failed move, still open, is moved with this one
        # (also one recorded per engine, as earlier versions did).
        keys = [dedup] + [f"file:{engine}:{path}:{digest}" for engine in FILE_KINDS]
        threat_ids = [r["id"] for r in self.db.query(
            f"SELECT id FROM threats WHERE status='detected' AND dedup IN ({','.join('?' * len(keys))})",
            [fsnames.to_db(k) for k in keys])]
        if not threat_ids:
            return 0
        if tid is None and not self.settings.get("auto_quarantine"):
            return 1  # the same content at the same path is already an open threat: nothing new
        if self.settings.get("auto_quarantine"):
            reason = ", ".join(f"{d.engine}:{d.signature}" for d in detections)
            try:
                self.vault.quarantine(path, reason, expect_id=(st.st_dev, st.st_ino), expect_sha=digest,
                                      threat_ids=threat_ids)
            except Exception as exc:
                self.events.emit("quarantine", f"automatic quarantine failed: {exc}", path)
        return 1

    # -- the user's actions on a file threat ---------------------------------------------
    def quarantine_threat(self, threat_id: int) -> int:
        """Quarantines the file of an open file threat now; returns the vault entry id."""
        row = self.threats.get(threat_id)
        if row is None:
            raise ValueError(f"no threat {threat_id}")
        if row["kind"] not in FILE_KINDS or row["path"] is None:
            raise ValueError(f"threat {threat_id} is not a file threat")
        if row["status"] != "detected":
            raise ValueError(f"threat {threat_id} is not active (it is {row['status']})")
        path = fsnames.from_db(row["path"])
        with self._handling:
            try:
                fd, _ = open_file(path)
            except OSError as exc:
                raise ValueError(f"cannot open the file: {_why(exc)}") from None
            try:
                st = os.fstat(fd)
                digest = sha256_fd(fd)
            finally:
                os.close(fd)
            if row["sha256"] and digest != row["sha256"]:
                raise ValueError("the file changed since it was detected; scan it again")
            reason = f"{row['kind']}:{row['signature'] or ''}"
            return self.vault.quarantine(path, reason, expect_id=(st.st_dev, st.st_ino), expect_sha=digest,
                                         threat_ids=[threat_id])
