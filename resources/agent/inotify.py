"""A small inotify reader over libc: names come back as the kernel's bytes.

File names on Linux are bytes. A reader that decodes them as text while it
parses a batch loses the whole batch to the first name that is not valid
UTF-8, and with it every other event read at the same time (a file created as
$'\\xff'evil.com next to an EICAR written at the same moment). Here the batch
is split into events first and names stay bytes; the caller decides how to
show them.
"""

import ctypes
import ctypes.util
import errno
import os
import struct

IN_ACCESS = 0x00000001
IN_MODIFY = 0x00000002
IN_ATTRIB = 0x00000004
IN_CLOSE_WRITE = 0x00000008
IN_CLOSE_NOWRITE = 0x00000010
IN_OPEN = 0x00000020
IN_MOVED_FROM = 0x00000040
IN_MOVED_TO = 0x00000080
IN_CREATE = 0x00000100
IN_DELETE = 0x00000200
IN_DELETE_SELF = 0x00000400
IN_MOVE_SELF = 0x00000800
IN_UNMOUNT = 0x00002000
IN_Q_OVERFLOW = 0x00004000
IN_IGNORED = 0x00008000
IN_ONLYDIR = 0x01000000
IN_DONT_FOLLOW = 0x02000000
IN_EXCL_UNLINK = 0x04000000
IN_ISDIR = 0x40000000
IN_NONBLOCK = os.O_NONBLOCK
IN_CLOEXEC = os.O_CLOEXEC

_HEADER = struct.Struct("iIII")  # wd, mask, cookie, len (struct inotify_event)
_libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
_libc.inotify_init1.argtypes = [ctypes.c_int]
_libc.inotify_add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
_libc.inotify_rm_watch.argtypes = [ctypes.c_int, ctypes.c_int]


class Event:
    __slots__ = ("wd", "mask", "cookie", "name")

    def __init__(self, wd, mask, cookie, name):
        self.wd, self.mask, self.cookie, self.name = wd, mask, cookie, name

    def __repr__(self):
        return f"Event(wd={self.wd}, mask={self.mask:#x}, cookie={self.cookie}, name={self.name!r})"


def parse(buffer: bytes) -> list:
    """Splits a read() of an inotify descriptor into events; a truncated tail is dropped."""
    events = []
    offset = 0
    size = _HEADER.size
    while offset + size <= len(buffer):
        wd, mask, cookie, length = _HEADER.unpack_from(buffer, offset)
        offset += size
        if offset + length > len(buffer):
            break
        name = buffer[offset:offset + length].rstrip(b"\0")
        offset += length
        events.append(Event(wd, mask, cookie, name))
    return events


class Inotify:
    def __init__(self):
        fd = _libc.inotify_init1(IN_NONBLOCK | IN_CLOEXEC)
        if fd < 0:
            err = ctypes.get_errno()
            raise OSError(err, f"inotify_init1: {os.strerror(err)}")
        self.fd = fd

    def add_watch(self, path, mask: int) -> int:
        """Watch descriptor for `path` (str or bytes); raises OSError (ENOSPC: the user's watch limit)."""
        wd = _libc.inotify_add_watch(self.fd, os.fsencode(path), mask)
        if wd < 0:
            err = ctypes.get_errno()
            raise OSError(err, os.strerror(err), path)
        return wd

    def rm_watch(self, wd: int):
        """Removes a watch; one the kernel already dropped (its directory is gone) is ignored."""
        if _libc.inotify_rm_watch(self.fd, wd) < 0:
            err = ctypes.get_errno()
            if err != errno.EINVAL:
                raise OSError(err, os.strerror(err))

    def read(self, size: int = 1 << 18) -> list:
        """Every event queued now (none when the queue is empty)."""
        events = []
        while True:
            try:
                data = os.read(self.fd, size)
            except BlockingIOError:
                return events
            if not data:
                return events
            events.extend(parse(data))
            if len(data) < size // 2:
                return events

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
