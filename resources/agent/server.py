"""Unix-socket server: one request per connection, one JSON line back.

A single I/O thread multiplexes every connection with a selector: it accepts,
reads with a first-byte deadline and a whole-request deadline, caps requests at
`max_request_bytes`, and writes replies without blocking. Peers of another user
(SO_PEERCRED) are refused before anything is read.

Fair under load:
- only complete requests reach the small pool of handler threads, so a slow
  client never holds a handler; they are served in the order they completed,
  taking turns between peer processes, so one process that floods the socket
  does not delay another's request behind all of its own;
- past `busy_connections` open connections the agent is busy, and a
  connection that has not sent its first byte within the short
  `busy_first_byte_timeout` is answered "timed out" and closed;
- at `max_connections` the connection that has waited longest without a
  complete request makes room for the newcomer; only when every slot holds a
  complete request is the newcomer told "agent busy";
- buffered request bytes are capped as a whole (`max_buffered_bytes`): past it
  the largest incomplete request is refused.

The socket file is watched: if it disappears or is replaced by a dead socket,
it is bound again within a second.
"""

import contextlib
import errno
import logging
import os
import selectors
import socket
import stat
import struct
import threading
import time
from collections import OrderedDict, deque
from concurrent.futures import ThreadPoolExecutor

from .jsonproto import ProtocolError, decode_request, encode_reply, error_reply

log = logging.getLogger("agent.server")
SO_PEERCRED_FMT = "3i"


class ServerError(Exception):
    pass


SOCKET_CHECK_INTERVAL = 0.5
EXPIRY_INTERVAL = 0.05


def peer_creds(sock) -> tuple[int, int] | None:
    """(pid, uid) of the peer, or None."""
    try:
        creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize(SO_PEERCRED_FMT))
    except OSError:
        return None
    pid, uid, _gid = struct.unpack(SO_PEERCRED_FMT, creds)
    return pid, uid


def prepare_socket_path(path: str, probe_timeout: float = 1.0):
    """Makes the socket's directory (0700) and clears a stale socket file.

    Raises ServerError when another agent answers at `path` or when something
    that is not a socket is in the way.
    """
    if len(os.fsencode(path)) > 107:
        raise ServerError(f"socket path too long ({len(os.fsencode(path))} bytes): {path}")
    directory = os.path.dirname(path)
    os.makedirs(directory, mode=0o700, exist_ok=True)
    st = os.stat(directory)
    if st.st_uid == os.geteuid() and stat.S_IMODE(st.st_mode) != 0o700:
        os.chmod(directory, 0o700)
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return
    if not stat.S_ISSOCK(st.st_mode):
        raise ServerError(f"{path} exists and is not a socket; refusing to replace it")
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    probe.settimeout(probe_timeout)
    try:
        probe.connect(path)
    except (ConnectionRefusedError, FileNotFoundError):
        log.info("removing stale socket %s", path)
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
        return
    except OSError as exc:
        raise ServerError(f"cannot probe existing socket {path}: {exc}") from None
    finally:
        probe.close()
    raise ServerError(f"another agent is already answering at {path}")


class _Conn:
    __slots__ = ("sock", "inbuf", "outbuf", "accepted", "first_byte", "state", "pid")

    def __init__(self, sock, now, pid):
        self.sock = sock
        self.inbuf = bytearray()
        self.outbuf = b""
        self.accepted = now
        self.first_byte = None
        self.state = "reading"  # reading -> queued -> handling -> writing
        self.pid = pid


class Server:
    def __init__(self, config, handler):
        self.config = config
        self.handler = handler  # callable(dict) -> (ok, data, error)
        self.path = config.socket_path
        self.sel = selectors.DefaultSelector()
        self.listener = None
        self.conns: dict[int, _Conn] = {}
        self.pool = ThreadPoolExecutor(max_workers=config.handler_threads, thread_name_prefix="handler")
        self._ready = OrderedDict()  # peer pid -> deque of (conn, request bytes), complete and waiting
        self._in_flight = 0
        self._buffered = 0  # bytes of incomplete requests held
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._wake_w.setblocking(False)
        self._done = []  # (conn, reply bytes) from handler threads
        self._done_lock = threading.Lock()
        self._stopping = threading.Event()
        self.uid = os.geteuid()
        self._bound = None  # (st_dev, st_ino) of the socket file we bound
        self._next_socket_check = 0.0
        self._next_expiry = 0.0
        self._warned_socket = None

    # -- lifecycle ---------------------------------------------------------------
    def bind(self):
        prepare_socket_path(self.path)
        self.listener = self._listen()
        self.sel.register(self.listener, selectors.EVENT_READ, "accept")
        self.sel.register(self._wake_r, selectors.EVENT_READ, "wake")

    def _listen(self):
        """A listening socket at self.path.

        It is bound under a private name in the same folder, listens, and only then gets
        its real name (a hard link, which never replaces a file already there): whoever
        sees the socket file can connect at once. Bound straight at its name, a client
        or a second agent looking between bind and listen is refused and takes the
        socket for a stale one."""
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        private = os.path.join(os.path.dirname(self.path), f".{os.getpid():x}")
        if len(os.fsencode(private)) > 107:
            private = None  # longer than a socket's name may be: bound straight at its own
        old = os.umask(0o177)
        try:
            if private:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(private)  # left by an earlier process of this pid
            sock.bind(private or self.path)
            sock.listen(max(128, self.config.max_connections))
            if private:
                os.chmod(private, 0o600)
                try:
                    os.link(private, self.path)
                except OSError as exc:
                    if exc.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK):
                        raise
                    os.rename(private, self.path)  # a filesystem without hard links
                finally:
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(private)
        except OSError as exc:
            sock.close()
            if exc.errno in (errno.EADDRINUSE, errno.EEXIST):
                raise ServerError(f"another agent is already answering at {self.path}") from None
            raise
        finally:
            os.umask(old)
        os.chmod(self.path, 0o600)
        st = os.lstat(self.path)
        self._bound = (st.st_dev, st.st_ino)
        sock.setblocking(False)
        return sock

    def _check_socket_file(self, now):
        """Binds again when our socket file was removed or replaced by a dead socket."""
        if now < self._next_socket_check or self.listener is None:
            return
        self._next_socket_check = now + SOCKET_CHECK_INTERVAL
        try:
            st = os.lstat(self.path)
            if (st.st_dev, st.st_ino) == self._bound:
                return
        except FileNotFoundError:
            st = None
        except OSError:
            return
        try:
            prepare_socket_path(self.path, probe_timeout=0.2)
            listener = self._listen()
        except (ServerError, OSError) as exc:
            ident = (st.st_dev, st.st_ino) if st else None
            if self._warned_socket != ident:
                self._warned_socket = ident
                log.warning("socket file %s is gone or taken and cannot be bound again: %s", self.path, exc)
            return
        self._warned_socket = None
        self.sel.unregister(self.listener)
        self.listener.close()
        self.listener = listener
        self.sel.register(listener, selectors.EVENT_READ, "accept")
        log.warning("socket file %s was %s; listening on a new one", self.path, "replaced" if st else "removed")

    def stop(self):
        self._stopping.set()
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass

    def close(self):
        for conn in list(self.conns.values()):
            self._drop(conn)
        if self.listener is not None:
            try:
                self.sel.unregister(self.listener)
            except (KeyError, ValueError):
                pass
            self.listener.close()
            self.listener = None
            # Remove the socket only if it is still ours.
            try:
                st = os.lstat(self.path)
                if (st.st_dev, st.st_ino) == self._bound:
                    os.unlink(self.path)
            except OSError:
                pass
        self.pool.shutdown(wait=False, cancel_futures=True)
        self.sel.close()
        self._wake_r.close()
        self._wake_w.close()

    def serve_forever(self):
        while not self._stopping.is_set():
            for key, events in self.sel.select(0.25):
                if key.data == "accept":
                    self._accept()
                elif key.data == "wake":
                    try:
                        while self._wake_r.recv(4096):
                            pass
                    except (BlockingIOError, InterruptedError):
                        pass
                else:
                    conn = key.data
                    if events & selectors.EVENT_READ and conn.state == "reading":
                        self._read(conn)
                    elif events & selectors.EVENT_WRITE and conn.state == "writing":
                        self._write(conn)
            self._collect_replies()
            self._dispatch()
            now = time.monotonic()
            if now >= self._next_expiry:  # deadlines are coarse; a busy loop need not scan every pass
                self._next_expiry = now + EXPIRY_INTERVAL
                self._expire(now)
            self._check_socket_file(now)

    # -- connection handling ----------------------------------------------------------
    def busy(self) -> bool:
        return len(self.conns) >= self.config.busy_connections

    def _accept(self):
        for _ in range(256):
            try:
                sock, _ = self.listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as exc:
                if exc.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                    log.warning("accept failed: %s", exc)
                    return
                raise
            sock.setblocking(False)
            creds = peer_creds(sock)
            if creds is None or (creds[1] != self.uid and creds[1] != 0):
                log.warning("refused connection from uid %s", creds[1] if creds else None)
                self._send_and_close(sock, error_reply("permission denied: peer is another user"))
                continue
            if len(self.conns) >= self.config.max_connections and not self._make_room():
                self._send_and_close(sock, error_reply("agent busy: too many open connections"))
                continue
            conn = _Conn(sock, time.monotonic(), creds[0])
            self.conns[sock.fileno()] = conn
            self._read(conn, registered=False)  # most clients have sent their request already
            if conn.state == "reading" and sock.fileno() >= 0:
                self.sel.register(sock, selectors.EVENT_READ, conn)

    def _make_room(self) -> bool:
        """Closes the connection that has waited longest without a complete request."""
        waiting = [c for c in self.conns.values() if c.state == "reading"]
        if not waiting:
            return False
        oldest = min(waiting, key=lambda c: c.accepted)
        self._reply(oldest, error_reply("agent busy: connection closed to make room"))
        if oldest.sock.fileno() >= 0:  # the reply did not fit at once: let it go anyway
            self._drop(oldest)
        return True

    @staticmethod
    def _send_and_close(sock, data):
        try:
            sock.send(data)
        except OSError:
            pass
        sock.close()

    def _take_input(self, conn):
        self._buffered -= len(conn.inbuf)
        raw = bytes(conn.inbuf)
        conn.inbuf = bytearray()
        return raw

    def _read(self, conn, registered=True):
        try:
            chunk = conn.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            self._drop(conn)
            return
        if not chunk:
            if conn.inbuf:
                self._queue(conn, self._take_input(conn), registered)  # ended by close/shutdown without LF
            else:
                self._drop(conn)
            return
        if conn.first_byte is None:
            conn.first_byte = time.monotonic()
        newline = chunk.find(b"\n")
        if newline >= 0:
            chunk = chunk[:newline]
        conn.inbuf += chunk
        self._buffered += len(chunk)
        if len(conn.inbuf) > self.config.max_request_bytes:
            self._take_input(conn)
            self._reply(conn, error_reply("request too large"), registered)
        elif newline >= 0:
            self._queue(conn, self._take_input(conn), registered)
        elif self._buffered > self.config.max_buffered_bytes:
            largest = max((c for c in self.conns.values() if c.state == "reading"), key=lambda c: len(c.inbuf))
            self._take_input(largest)
            self._reply(largest, error_reply("agent busy: too much unfinished input"))

    def _queue(self, conn, raw, registered=True):
        """A complete request waits for a handler in its peer's line."""
        conn.state = "queued"
        if registered:
            try:
                self.sel.unregister(conn.sock)
            except (KeyError, ValueError):
                pass
        self._ready.setdefault(conn.pid, deque()).append((conn, raw))

    def _dispatch(self):
        """Hands waiting requests to free handlers, one peer process after another."""
        while self._ready and self._in_flight < self.config.handler_threads:
            pid, line = next(iter(self._ready.items()))
            conn, raw = line.popleft()
            if line:
                self._ready.move_to_end(pid)
            else:
                del self._ready[pid]
            if conn.sock.fileno() < 0:
                continue
            conn.state = "handling"
            try:
                self.pool.submit(self._handle, conn, raw)
            except RuntimeError:  # pool shut down
                self._drop(conn)
                continue
            self._in_flight += 1

    def _handle(self, conn, raw):
        try:
            request = decode_request(raw)
            ok, data, error = self.handler(request)
            reply = encode_reply(ok, data, error)
        except ProtocolError as exc:
            reply = error_reply(str(exc))
        except RecursionError:
            reply = error_reply("nesting too deep")
        except Exception as exc:  # a handler bug must not take the server down
            log.exception("request failed")
            reply = error_reply(f"internal error: {type(exc).__name__}")
        with self._done_lock:
            self._done.append((conn, reply))
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass

    def _collect_replies(self):
        with self._done_lock:
            done, self._done = self._done, []
        for conn, reply in done:
            self._in_flight -= 1
            if conn.sock.fileno() < 0:
                continue
            self._reply(conn, reply, registered=False)

    def _reply(self, conn, data, registered=True):
        if conn.state == "reading":
            self._buffered -= len(conn.inbuf)
            conn.inbuf = bytearray()
        conn.state = "writing"
        conn.outbuf = data
        if registered:
            try:
                self.sel.unregister(conn.sock)
            except (KeyError, ValueError):
                pass
        self._write(conn, first=True)

    def _write(self, conn, first=False):
        try:
            sent = conn.sock.send(conn.outbuf)
        except (BlockingIOError, InterruptedError):
            sent = 0
        except OSError:
            self._drop(conn)  # client went away before reading the reply
            return
        conn.outbuf = conn.outbuf[sent:]
        if not conn.outbuf:
            self._drop(conn)
            return
        if first:
            conn.first_byte = conn.first_byte or time.monotonic()
            conn.accepted = time.monotonic()  # the write deadline starts now
            self.sel.register(conn.sock, selectors.EVENT_WRITE, conn)

    def _expire(self, now):
        cfg = self.config
        first_byte_timeout = cfg.busy_first_byte_timeout if self.busy() else cfg.first_byte_timeout
        for conn in list(self.conns.values()):
            if conn.state in ("queued", "handling"):
                continue
            if conn.state == "reading" and conn.first_byte is None:
                if now - conn.accepted > first_byte_timeout:
                    self._reply(conn, error_reply("timed out waiting for the request"))
                    continue
            if now - conn.accepted > cfg.request_timeout:
                if conn.state == "reading":
                    self._reply(conn, error_reply("timed out reading the request"))
                else:
                    self._drop(conn)

    def _drop(self, conn):
        fd = conn.sock.fileno()
        if fd >= 0:
            try:
                self.sel.unregister(conn.sock)
            except (KeyError, ValueError):
                pass
            self.conns.pop(fd, None)
            if conn.state == "reading":
                self._buffered -= len(conn.inbuf)
                conn.inbuf = bytearray()
        conn.sock.close()
