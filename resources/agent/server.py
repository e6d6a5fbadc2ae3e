"""Unix-socket server: one request per connection, one JSON line back.

A single I/O thread multiplexes every connection with a selector: it accepts,
reads with a first-byte deadline and a whole-request deadline, caps requests at
`max_request_bytes`, and writes replies without blocking. Complete requests go
to a small pool of handler threads, so a slow client never holds a handler.
Peers of another user (SO_PEERCRED) are refused before anything is read.
"""

import errno
import logging
import os
import selectors
import socket
import stat
import struct
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from .jsonproto import ProtocolError, decode_request, encode_reply, error_reply

log = logging.getLogger("agent.server")
SO_PEERCRED_FMT = "3i"


class ServerError(Exception):
    pass


def peer_uid(sock) -> int | None:
    try:
        creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize(SO_PEERCRED_FMT))
    except OSError:
        return None
    _pid, uid, _gid = struct.unpack(SO_PEERCRED_FMT, creds)
    return uid


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
    __slots__ = ("sock", "inbuf", "outbuf", "accepted", "first_byte", "state")

    def __init__(self, sock, now):
        self.sock = sock
        self.inbuf = bytearray()
        self.outbuf = b""
        self.accepted = now
        self.first_byte = None
        self.state = "reading"  # reading -> handling -> writing


class Server:
    def __init__(self, config, handler):
        self.config = config
        self.handler = handler  # callable(dict) -> (ok, data, error)
        self.path = config.socket_path
        self.sel = selectors.DefaultSelector()
        self.listener = None
        self.conns: dict[int, _Conn] = {}
        self.pool = ThreadPoolExecutor(max_workers=config.handler_threads, thread_name_prefix="handler")
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._wake_w.setblocking(False)
        self._done = []  # (conn, reply bytes) from handler threads
        self._done_lock = threading.Lock()
        self._stopping = threading.Event()
        self.uid = os.geteuid()
        self._bound_ino = None

    # -- lifecycle ---------------------------------------------------------------
    def bind(self):
        prepare_socket_path(self.path)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        old = os.umask(0o177)
        try:
            sock.bind(self.path)
        except OSError as exc:
            sock.close()
            if exc.errno == errno.EADDRINUSE:
                raise ServerError(f"another agent is already answering at {self.path}") from None
            raise
        finally:
            os.umask(old)
        os.chmod(self.path, 0o600)
        self._bound_ino = os.lstat(self.path).st_ino
        sock.listen(128)
        sock.setblocking(False)
        self.listener = sock
        self.sel.register(sock, selectors.EVENT_READ, "accept")
        self.sel.register(self._wake_r, selectors.EVENT_READ, "wake")

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
                if os.lstat(self.path).st_ino == self._bound_ino:
                    os.unlink(self.path)
            except OSError:
                pass
        self.pool.shutdown(wait=False, cancel_futures=True)
        self.sel.close()
        self._wake_r.close()
        self._wake_w.close()

    def serve_forever(self):
        while not self._stopping.is_set():
            timeout = self._next_deadline()
            for key, events in self.sel.select(timeout):
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
            self._expire()

    # -- connection handling ----------------------------------------------------------
    def _next_deadline(self):
        return 0.25

    def _accept(self):
        for _ in range(64):
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
            uid = peer_uid(sock)
            if uid is None or (uid != self.uid and uid != 0):
                log.warning("refused connection from uid %s", uid)
                self._send_and_close(sock, error_reply("permission denied: peer is another user"))
                continue
            if len(self.conns) >= self.config.max_connections:
                self._send_and_close(sock, error_reply("agent busy: too many open connections"))
                continue
            conn = _Conn(sock, time.monotonic())
            self.conns[sock.fileno()] = conn
            self.sel.register(sock, selectors.EVENT_READ, conn)

    @staticmethod
    def _send_and_close(sock, data):
        try:
            sock.send(data)
        except OSError:
            pass
        sock.close()

    def _read(self, conn):
        try:
            chunk = conn.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            self._drop(conn)
            return
        if not chunk:
            if conn.inbuf:
                self._dispatch(conn, bytes(conn.inbuf))  # request ended by close/shutdown without LF
            else:
                self._drop(conn)
            return
        if conn.first_byte is None:
            conn.first_byte = time.monotonic()
        newline = chunk.find(b"\n")
        if newline >= 0:
            conn.inbuf += chunk[:newline]
            if len(conn.inbuf) > self.config.max_request_bytes:
                self._reply(conn, error_reply("request too large"))
            else:
                self._dispatch(conn, bytes(conn.inbuf))
            return
        conn.inbuf += chunk
        if len(conn.inbuf) > self.config.max_request_bytes:
            self._reply(conn, error_reply("request too large"))

    def _dispatch(self, conn, raw):
        conn.state = "handling"
        try:
            self.sel.unregister(conn.sock)
        except (KeyError, ValueError):
            pass
        conn.inbuf = bytearray()
        try:
            self.pool.submit(self._handle, conn, raw)
        except RuntimeError:  # pool shut down
            self._drop(conn)

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
            if conn.sock.fileno() < 0:
                continue
            self._reply(conn, reply, registered=False)

    def _reply(self, conn, data, registered=True):
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

    def _expire(self):
        now = time.monotonic()
        cfg = self.config
        for conn in list(self.conns.values()):
            if conn.state == "handling":
                continue
            if conn.state == "reading" and conn.first_byte is None:
                if now - conn.accepted > cfg.first_byte_timeout:
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
        conn.sock.close()
