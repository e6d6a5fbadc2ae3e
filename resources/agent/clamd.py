"""Client of clamd's protocol over its Unix socket.

Files are passed as open descriptors (FILDES with SCM_RIGHTS), so a clamd that
runs as another user still scans what only this user can read, and a file is
never reopened by name. A clamd that refuses FILDES (one reached over a socket
that does not carry descriptors) gets the bytes with INSTREAM instead.

Every command is "z"-prefixed and NUL-terminated. Scans run inside an
IDSESSION: one connection carries many files, which saves a connect per file,
and a scan sends a batch of descriptors before it reads the first reply, so
clamd's threads work on several files while the agent reads the next ones (on
a busy machine each round trip waits for the scheduler; in flight, they
overlap). A session that clamd closed (idle timeout, restart) is opened again
once before the error reaches the caller.
"""

import array
import errno
import os
import re
import socket
import threading
from dataclasses import dataclass

CHUNK = 1 << 16
MAX_REPLY = 64 << 10
# What a reply names before its verdict: "fd[12]: …", "stream: …" (a session adds "3: " first).
_WHERE = re.compile(r"^(?:fd\[\d+\]|stream): ")
UNOFFICIAL = ".UNOFFICIAL"


class ClamdError(Exception):
    """clamd could not be reached or answered something unexpected."""


@dataclass
class ScanReply:
    infected: bool
    name: str = ""  # the signature's name, without the ".UNOFFICIAL" suffix of unsigned databases
    error: str = ""  # clamd's error text (the file itself could not be scanned)


def parse_reply(text: str) -> ScanReply:
    """One scan reply (without its session id or NUL) as a ScanReply. Raises ClamdError."""
    text = text.strip()
    body = _WHERE.sub("", text, count=1)
    if body == "OK":
        return ScanReply(False)
    if body.endswith(" FOUND"):
        name = body[: -len(" FOUND")].strip()
        if name.endswith(UNOFFICIAL):
            name = name[: -len(UNOFFICIAL)]
        return ScanReply(True, name or "unnamed")
    if body.endswith(" ERROR"):
        return ScanReply(False, error=body[: -len(" ERROR")].strip() or "error")
    raise ClamdError(f"unexpected reply from clamd: {text[:120]!r}")


def _strip_id(line: str) -> tuple[int | None, str]:
    head, sep, rest = line.partition(": ")
    if sep and head.isdigit():
        return int(head), rest
    return None, line


class _Conn:
    """One connection to clamd, optionally inside an IDSESSION."""

    def __init__(self, path: str, timeout: float):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        self.sock.settimeout(timeout)
        try:
            self.sock.connect(path)
        except OSError as exc:
            self.sock.close()
            raise ClamdError(f"cannot connect to clamd at {path}: {exc.strerror or exc}") from None
        self.buf = b""
        self.next_id = 1
        self.session = False

    def close(self):
        try:
            if self.session:
                self.sock.sendall(b"zEND\0")
        except OSError:
            pass
        self.sock.close()

    def send(self, data: bytes, fd: int | None = None):
        try:
            if fd is None:
                self.sock.sendall(data)
            else:
                # The descriptor rides on the first byte of its own packet.
                self.sock.sendall(data)
                self.sock.sendmsg([b"\0"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])
        except OSError as exc:
            raise ClamdError(f"clamd connection lost: {exc.strerror or exc}") from None

    def reply(self) -> str:
        while b"\0" not in self.buf:
            try:
                chunk = self.sock.recv(CHUNK)
            except socket.timeout:
                raise ClamdError("clamd did not answer in time") from None
            except OSError as exc:
                raise ClamdError(f"clamd connection lost: {exc.strerror or exc}") from None
            if not chunk:
                raise ClamdError("clamd closed the connection")
            self.buf += chunk
            if len(self.buf) > MAX_REPLY:
                raise ClamdError("clamd reply too long")
        line, _, self.buf = self.buf.partition(b"\0")
        return line.decode("utf-8", "replace")

    def stream(self, fd: int, limit: int):
        """INSTREAM body: the file's bytes from offset 0 in length-prefixed chunks, then a zero chunk."""
        offset = 0
        while offset < limit:
            data = os.pread(fd, min(CHUNK, limit - offset), offset)
            if not data:
                break
            self.send(len(data).to_bytes(4, "big") + data)
            offset += len(data)
        self.send(b"\0\0\0\0")


class ClamdClient:
    """Talks to one clamd socket. Thread-safe: each thread borrows its own session."""

    def __init__(self, path: str, timeout: float = 120.0, stream_limit: int = 100 << 20):
        self.path = path
        self.timeout = timeout
        self.stream_limit = stream_limit
        self.fildes = True  # until clamd refuses it
        self._free: list[_Conn] = []
        self._lock = threading.Lock()

    # -- one-shot commands ----------------------------------------------------------
    def command(self, word: str, timeout: float = 5.0) -> str:
        conn = _Conn(self.path, timeout)
        try:
            conn.send(b"z" + word.encode() + b"\0")
            return conn.reply()
        finally:
            conn.sock.close()

    def ping(self, timeout: float = 2.0) -> bool:
        try:
            return self.command("PING", timeout) == "PONG"
        except ClamdError:
            return False

    def reload(self) -> str:
        return self.command("RELOAD", 10.0)

    def scan_bytes(self, data: bytes, timeout: float = 10.0) -> ScanReply:
        """INSTREAM of a small buffer on a fresh connection (probes, tests)."""
        conn = _Conn(self.path, timeout)
        try:
            conn.send(b"zINSTREAM\0" + len(data).to_bytes(4, "big") + data + b"\0\0\0\0")
            return parse_reply(_strip_id(conn.reply())[1])
        finally:
            conn.sock.close()

    def peer_pid(self) -> int | None:
        """The pid of the process answering on the socket (SO_PEERCRED), when it answers."""
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        sock.settimeout(2.0)
        try:
            sock.connect(self.path)
            creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)
            return int.from_bytes(creds[:4], "little", signed=True) or None
        except OSError:
            return None
        finally:
            sock.close()

    # -- scanning -----------------------------------------------------------------------
    def _borrow(self) -> _Conn:
        with self._lock:
            if self._free:
                return self._free.pop()
        conn = _Conn(self.path, self.timeout)
        conn.send(b"zIDSESSION\0")
        conn.session = True
        return conn

    def _give_back(self, conn: _Conn):
        with self._lock:
            if len(self._free) < 4:
                self._free.append(conn)
                return
        conn.close()

    def close(self):
        with self._lock:
            conns, self._free = self._free, []
        for conn in conns:
            conn.close()

    def submit(self, fds: list) -> "_Pending":
        """Sends FILDES for every descriptor at once; `collect` gives the replies in the same order."""
        conn = None
        try:
            if not self.fildes:
                raise ClamdError("INSTREAM goes one file at a time")
            conn = self._borrow()
            first = conn.next_id
            for fd in fds:
                conn.next_id += 1
                conn.send(b"zFILDES\0", fd)
            return _Pending(conn, first, list(fds), None)
        except ClamdError as exc:
            if conn is not None:
                conn.sock.close()
            return _Pending(None, 0, list(fds), exc)

    def collect(self, pending: "_Pending") -> list:
        """ScanReply, or the ClamdError that kept it from being scanned, for each submitted descriptor."""
        results = [None] * len(pending.fds)
        conn = pending.conn
        if conn is not None:
            try:
                for _ in pending.fds:
                    rid, text = _strip_id(conn.reply())
                    index = (rid or 0) - pending.first
                    if not 0 <= index < len(results):
                        raise ClamdError(f"clamd answered unknown request {rid}")
                    results[index] = parse_reply(text)
                if any(r.error and "file descriptor" in r.error for r in results):
                    self.fildes = False  # descriptors do not reach this clamd: the bytes go instead
                    raise ClamdError("FILDES refused")
                self._give_back(conn)
            except ClamdError:
                conn.sock.close()
                results = [None] * len(pending.fds)
        for i, fd in enumerate(pending.fds):
            if results[i] is None:  # what the batch did not settle goes one by one, on a fresh session
                try:
                    results[i] = self.scan_fd(fd)
                except ClamdError as exc:
                    results[i] = exc
        return results

    def scan_fd(self, fd: int) -> ScanReply:
        """Scans an open file (read from offset 0; the descriptor's own offset is left alone)."""
        for attempt in (1, 2):
            conn = None
            try:
                conn = self._borrow()
                result = self._scan_on(conn, fd)
            except ClamdError:
                if conn is not None:
                    conn.sock.close()
                if attempt == 2:
                    raise
                continue  # a kept session may have been closed by clamd meanwhile: one fresh try
            self._give_back(conn)
            return result
        raise AssertionError("unreachable")

    def _scan_on(self, conn: _Conn, fd: int) -> ScanReply:
        request_id = conn.next_id
        conn.next_id += 1
        if self.fildes:
            conn.send(b"zFILDES\0", fd)
        else:
            conn.send(b"zINSTREAM\0")
            conn.stream(fd, self.stream_limit)
        rid, text = _strip_id(conn.reply())
        if rid is not None and rid != request_id:
            raise ClamdError(f"clamd answered request {rid} instead of {request_id}")
        result = parse_reply(text)
        if self.fildes and "file descriptor" in result.error:
            # Descriptors do not reach this clamd (e.g. a socket relayed elsewhere): send the bytes.
            self.fildes = False
            raise ClamdError("FILDES refused; switching to INSTREAM")
        return result


class _Pending:
    __slots__ = ("conn", "first", "fds", "error")

    def __init__(self, conn, first, fds, error):
        self.conn, self.first, self.fds, self.error = conn, first, fds, error


def socket_answers(path: str, timeout: float = 1.0) -> bool:
    if not path:
        return False
    try:
        conn = _Conn(path, timeout)
    except ClamdError:
        return False
    try:
        conn.send(b"zPING\0")
        return conn.reply() == "PONG"
    except ClamdError:
        return False
    finally:
        conn.sock.close()


def system_socket(conf_path: str = "/etc/clamav/clamd.conf") -> str:
    """The LocalSocket of the system's clamd configuration ("" when there is none)."""
    try:
        with open(conf_path, encoding="utf-8", errors="replace") as fh:
            for line in fh:
                parts = line.split(None, 1)
                if len(parts) == 2 and parts[0] == "LocalSocket":
                    return parts[1].strip()
    except OSError as exc:
        if exc.errno not in (errno.ENOENT, errno.EACCES):
            raise
    return ""
