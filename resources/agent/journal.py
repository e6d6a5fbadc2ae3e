"""Detections in flight.

Before a detected file is recorded and moved, its path goes into a small
journal in the data directory, fsynced. Once the detection is recorded (and,
with automatic quarantine on, the file has left its place) the entry is crossed
out. So a file is never detected and then forgotten:

- an entry that a crash left open is inspected again at the next start;
- an entry whose handling failed (a full disk, a damaged database) stays open
  and is inspected again while the agent runs, after 2 s, then after pauses
  that double up to 5 minutes, until it is settled or the file is gone.

Lines: "+<n> <hex of the path's bytes>" opens entry n, "-<n>" closes it; a torn
or foreign line is ignored. The file is emptied whenever no entry is open.
"""

import contextlib
import logging
import os
import threading
import time

from . import fsnames

log = logging.getLogger("agent.journal")
FIRST_RETRY = 2.0
MAX_RETRY = 300.0
MAX_READ = 16 << 20
COMPACT_AT = 64 << 10
OPEN_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC


def parse(data: bytes) -> dict:
    """{entry number: path} of the entries left open in journal text."""
    entries = {}
    for line in data.split(b"\n"):
        try:
            if line.startswith(b"+"):
                number, hexpath = line[1:].split(b" ", 1)
                entries[int(number)] = os.fsdecode(bytes.fromhex(hexpath.decode("ascii")))
            elif line.startswith(b"-"):
                entries.pop(int(line[1:]), None)
        except (ValueError, UnicodeDecodeError):
            continue
    return entries


def _same_file(path, st) -> bool:
    try:
        now = os.stat(path, follow_symlinks=False)
    except OSError:
        return False
    return (now.st_dev, now.st_ino, now.st_size, now.st_mtime_ns) == (st.st_dev, st.st_ino, st.st_size,
                                                                      st.st_mtime_ns)


class Journal:
    def __init__(self, path, faults, wants_quarantine):
        self.path = path
        self.faults = faults
        self.wants_quarantine = wants_quarantine  # callable: is a detected file to leave its place?
        self.lock = threading.Lock()
        self.open = {}  # entry number -> path
        self.by_path = {}  # path -> entry number
        self.retry = {}  # path -> (monotonic time of the next try, pause)
        self._taken = {}  # what due() last took off `retry`, so later() keeps doubling the pause
        try:
            with open(path, "rb") as fh:
                left = parse(fh.read(MAX_READ))
        except FileNotFoundError:
            left = {}
        self.leftover = list(dict.fromkeys(left.values()))
        self.next = max(left, default=0) + 1
        self.fd = None
        self._rewrite(left)

    # -- the file -------------------------------------------------------------
    def _rewrite(self, entries):
        """Replaces the file with just `entries` (written to the side, then renamed)."""
        tmp = self.path + ".new"
        text = b"".join(b"+%d %s\n" % (n, fsnames.raw(p).hex().encode()) for n, p in entries.items())
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            os.write(fd, text)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, self.path)
        if self.fd is not None:
            os.close(self.fd)
        self.fd = os.open(self.path, OPEN_FLAGS, 0o600)
        self.open = dict(entries)
        self.by_path = {p: n for n, p in entries.items()}

    def _append(self, line: bytes, durable: bool):
        try:
            os.write(self.fd, line)
            if durable:
                os.fsync(self.fd)
        except OSError as exc:
            # Keep handling the detection: the entry still lives in memory and is retried.
            log.warning("detection journal not written: %s", exc)

    def _begin(self, path) -> int:
        with self.lock:
            number = self.by_path.get(path)
            if number is None:
                number = self.next
                self.next += 1
                self.open[number] = path
                self.by_path[path] = number
                self._append(b"+%d %s\n" % (number, fsnames.raw(path).hex().encode()), durable=True)
            self.retry.pop(path, None)
            return number

    def _end(self, number):
        with self.lock:
            path = self.open.pop(number, None)
            if path is None:
                return
            self.by_path.pop(path, None)
            self.retry.pop(path, None)
            try:
                if not self.open:
                    os.ftruncate(self.fd, 0)
                elif os.fstat(self.fd).st_size > COMPACT_AT:
                    self._rewrite(self.open)
                else:
                    self._append(b"-%d\n" % number, durable=False)  # losing it only means one more look
            except OSError as exc:
                log.warning("detection journal not updated: %s", exc)

    # -- what the scanner and the agent use ------------------------------------------
    @contextlib.contextmanager
    def track(self, path, st):
        """Wraps the recording of a detection of `path` (as `st` was when read)."""
        number = self._begin(path)
        self.faults.step("detect", 1)
        settled = False
        try:
            yield
            settled = not (self.wants_quarantine() and _same_file(path, st))
        finally:
            if settled:
                self.faults.step("detect", 3)
                self._end(number)
            else:
                self.later(path)

    def later(self, path):
        """Inspect `path` again later (its detection could not be settled now)."""
        with self.lock:
            _, pause = self.retry.get(path) or self._taken.get(path) or (0.0, FIRST_RETRY / 2)
            pause = min(pause * 2, MAX_RETRY)
            self.retry[path] = (time.monotonic() + pause, pause)

    def take_leftover(self) -> list:
        """Paths a crash left open (once)."""
        left, self.leftover = self.leftover, []
        return left

    def due(self) -> list:
        """Paths whose next try has come, taken off the retry list: one still unsettled after its
        try comes back through later(), with a longer pause."""
        now = time.monotonic()
        with self.lock:
            paths = [p for p, (when, _) in self.retry.items() if when <= now]
            self._taken = {p: self.retry.pop(p) for p in paths}
            return paths

    def settle(self, path):
        """Forgets `path` (inspected again and found gone, clean or dealt with)."""
        with self.lock:
            number = self.by_path.get(path)
        if number is not None:
            self._end(number)

    def pending(self) -> int:
        with self.lock:
            return len(self.open)

    def close(self):
        with self.lock:
            if self.fd is not None:
                os.close(self.fd)
                self.fd = None
