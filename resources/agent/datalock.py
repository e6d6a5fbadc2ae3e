"""One agent per data directory.

The agent holds an exclusive flock on <data dir>/agent.lock for its whole life
and keeps its pid in the file. The kernel drops the lock when the process ends,
however it ends, so a lock is never stale.
"""

import errno
import fcntl
import os
import time

LOCK_NAME = "agent.lock"


class Owned(Exception):
    """Another live process holds the lock."""

    def __init__(self, pid):
        super().__init__(f"pid {pid}")
        self.pid = pid


def acquire(data_dir: str) -> int:
    """Takes the lock; returns its descriptor (keep it open). Raises Owned or OSError."""
    path = os.path.join(data_dir, LOCK_NAME)
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as exc:
        if exc.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
            os.close(fd)
            raise
        pid = _owner(fd)
        os.close(fd)
        raise Owned(pid) from None
    try:
        # Written over the old pid at a fixed width, so that no new block is needed on a full disk.
        os.pwrite(fd, f"{os.getpid():<15}\n".encode(), 0)
    except OSError:
        pass  # the lock holds without it; a second agent then names the owner "?"
    return fd


def _owner(fd, wait=1.0) -> str:
    """The owner's pid as written in the file ("?" if it has not written it yet)."""
    deadline = time.monotonic() + wait
    while True:
        text = os.pread(fd, 32, 0).decode("ascii", "replace").strip()
        if text.isdigit() or time.monotonic() >= deadline:
            return text if text.isdigit() else "?"
        time.sleep(0.05)
