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
or foreign line is ignored. The file is written in place over room reserved
beforehand (zero bytes, which end the text), so that journaling a detection
needs no new disk block: it works on a full disk, when it matters most. The
text is cleared whenever no entry is open.
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
ROOM = 64 << 10  # reserved bytes: about 400 entries with long paths


def parse(data: bytes) -> dict:
    """{entry number: path} of the entries left open in journal text."""
    entries = {}
    for line in data.split(b"\0", 1)[0].split(b"\n"):
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
        self.offset = 0  # where the next line goes
        self.room = 0  # bytes the file holds
        try:
            self._rewrite(left)
        except OSError as exc:  # a full disk: keep the file as it is and write on in it
            log.warning("detection journal not compacted: %s", exc)
            self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
            data = os.pread(self.fd, MAX_READ, 0)
            self.offset = data.find(b"\0") if b"\0" in data else len(data)
            self.room = os.fstat(self.fd).st_size
            self.open = dict(left)
            self.by_path = {p: n for n, p in left.items()}

    # -- the file -------------------------------------------------------------
    def _rewrite(self, entries):
        """Replaces the file with just `entries` and fresh room (written to the side, then renamed)."""
        text = b"".join(b"+%d %s\n" % (n, fsnames.raw(p).hex().encode()) for n, p in entries.items())
        room = max(ROOM, 2 * len(text))
        tmp = self.path + ".new"
        fd = os.open(tmp, os.O_RDWR | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            os.write(fd, text + bytes(room - len(text)))
            os.fsync(fd)
            os.replace(tmp, self.path)
        except BaseException:
            os.close(fd)
            raise
        if self.fd is not None:
            os.close(self.fd)
        self.fd, self.offset, self.room = fd, len(text), room
        self.open = dict(entries)
        self.by_path = {p: n for n, p in entries.items()}

    def _write(self, line: bytes, durable: bool):
        """Writes a line into the reserved room, or compacts the file into fresh room."""
        try:
            if self.offset + len(line) <= self.room:
                os.pwrite(self.fd, line, self.offset)
                self.offset += len(line)
            else:
                self._rewrite(self.open)  # the open entries, this line's change included
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
                self._write(b"+%d %s\n" % (number, fsnames.raw(path).hex().encode()), durable=True)
            self.retry.pop(path, None)
            return number

    def _end(self, number):
        with self.lock:
            path = self.open.pop(number, None)
            if path is None:
                return
            self.by_path.pop(path, None)
            self.retry.pop(path, None)
            if self.open:
                self._write(b"-%d\n" % number, durable=False)  # losing it only means one more look
                return
            try:  # nothing open: clear the text, keep the room
                os.pwrite(self.fd, bytes(self.offset), 0)
                self.offset = 0
            except OSError as exc:
                log.warning("detection journal not cleared: %s", exc)

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
