"""Syslog messages and the links that carry them to a receiver.

Network receivers get RFC 5424 messages: over TCP with octet-counted framing
(RFC 6587), over TLS the same way (RFC 5425), over UDP one message per datagram
(RFC 5426). The local syslog socket (/dev/log) gets the traditional
"<PRI>Mmm dd hh:mm:ss tag[pid]: text" line that journald and rsyslog's imuxsock
read, the way the C library's syslog() writes it.

Every message carries the record as compact ASCII JSON (non-ASCII escaped, so no
relay can garble it) and its queue sequence number, both as "seq" in the JSON and
as RFC 5424's registered [meta sequenceId].
"""

import errno
import fcntl
import functools
import json
import select
import socket
import ssl
import struct
import termios
import time

APP_NAME = "tessaly-agent"
FACILITY_AUTHPRIV = 10  # security records carry file names: keep them out of world-readable logs
SEQUENCE_ID_MAX = 2147483647
_JSON = json.JSONEncoder(ensure_ascii=True, separators=(",", ":"), allow_nan=False, default=str)  # RFC 5424 7.3.1: sequenceId is 1..2^31-1 and wraps

# Syslog severities: 2 crit, 3 err, 4 warning, 5 notice, 6 info.
THREAT_SEVERITY = {"critical": 2, "high": 3, "medium": 4, "low": 5}
QUARANTINE_SEVERITY = {"quarantined": 5, "restored": 4, "deleted": 5}


def severity(kind: str, record: dict) -> int:
    if kind == "THREAT":
        return THREAT_SEVERITY.get(record.get("severity"), 4)
    if kind == "QUARANTINE":
        return QUARANTINE_SEVERITY.get(record.get("action"), 5)
    if kind == "AUDIT":
        return 6 if record.get("passing") == record.get("total") else 4
    return 6


@functools.lru_cache(maxsize=64)
def _header_field(text: str, limit: int) -> str:
    """RFC 5424 header fields are printable US-ASCII without spaces; "-" when empty."""
    cleaned = "".join(c for c in text if 33 <= ord(c) <= 126)[:limit]
    return cleaned or "-"


def timestamp_5424(ts: float) -> str:
    ts = ts if isinstance(ts, (int, float)) and 0 <= ts < 253402300800 else time.time()
    seconds = int(ts)
    micros = int(round((ts - seconds) * 1_000_000))
    if micros >= 1_000_000:
        seconds, micros = seconds + 1, micros - 1_000_000
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + f".{micros:06d}Z"


def payload(kind: str, record: dict, seq: int, origin: dict) -> str:
    body = dict(record)
    body.update(origin)
    body["seq"] = seq
    return _JSON.encode(body)


def format_5424(kind: str, record: dict, seq: int, origin: dict, hostname: str, pid: int) -> bytes:
    pri = FACILITY_AUTHPRIV * 8 + severity(kind, record)
    sequence_id = (seq - 1) % SEQUENCE_ID_MAX + 1
    header = (f"<{pri}>1 {timestamp_5424(record.get('ts'))} {_header_field(hostname, 255)} {APP_NAME} {pid} "
              f"{_header_field(kind, 32)} [meta sequenceId=\"{sequence_id}\"] ")
    return (header + payload(kind, record, seq, origin)).encode("ascii")


def format_local(kind: str, record: dict, seq: int, origin: dict, pid: int) -> bytes:
    pri = FACILITY_AUTHPRIV * 8 + severity(kind, record)
    stamp = time.strftime("%b %d %H:%M:%S", time.localtime())
    stamp = stamp[:4] + (" " + stamp[5] if stamp[4] == "0" else stamp[4:6]) + stamp[6:]  # "Jan  5", as syslog() does
    return f"<{pri}>{stamp} {APP_NAME}[{pid}]: {kind} {payload(kind, record, seq, origin)}".encode("ascii")


def octet_counted(message: bytes) -> bytes:
    return str(len(message)).encode("ascii") + b" " + message


class LinkError(Exception):
    """The receiver cannot be reached or went away; the text says why."""


def _why(exc) -> str:
    if isinstance(exc, ssl.SSLCertVerificationError):
        return f"certificate not trusted: {exc.verify_message or exc.reason}"
    if isinstance(exc, ssl.SSLError):
        return f"TLS: {exc.reason or exc}"
    if isinstance(exc, socket.timeout):
        return "timed out"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror.lower()
    return str(exc) or type(exc).__name__


class Link:
    """One open connection to the receiver."""

    framed = True   # stream links frame each message with its length
    local = False

    def __init__(self, sock):
        self.sock = sock

    def send(self, messages: list[bytes]):
        raise NotImplementedError

    def delivered(self, timeout: float, cancelled=lambda: False) -> bool:
        """True when the receiver's host has everything sent so far and the link is still up."""
        return self.alive()

    def alive(self) -> bool:
        try:
            if self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                return False
        except OSError:
            return False
        return True

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class StreamLink(Link):
    """TCP or TLS. Syslog receivers never talk back, so anything readable means the
    receiver closed or reset the connection."""

    def __init__(self, sock, raw):
        super().__init__(sock)
        self.raw = raw  # the TCP socket under TLS (the same socket for plain TCP)

    def send(self, messages):
        data = b"".join(octet_counted(m) for m in messages)
        try:
            self.sock.sendall(data)
        except (OSError, ssl.SSLError) as exc:
            raise LinkError(_why(exc)) from None

    def alive(self) -> bool:
        if not super().alive():
            return False
        try:
            readable, _, _ = select.select([self.raw], [], [], 0)
        except (OSError, ValueError):
            return False
        if not readable:
            return True
        try:
            if isinstance(self.sock, ssl.SSLSocket):
                self.sock.settimeout(0)
                try:
                    return bool(self.sock.recv(4096))
                finally:
                    self.sock.settimeout(LINK_TIMEOUT)
            return bool(self.raw.recv(4096, socket.MSG_PEEK | socket.MSG_DONTWAIT))
        except (ssl.SSLWantReadError, BlockingIOError):
            return True
        except (OSError, ssl.SSLError):
            return False

    def close(self):
        if isinstance(self.sock, ssl.SSLSocket):
            try:  # close_notify, so the receiver sees a clean end rather than a cut connection
                self.sock.settimeout(1.0)
                self.sock.unwrap()
            except (OSError, ValueError, ssl.SSLError):
                pass
        super().close()

    def unacknowledged(self) -> int:
        """Bytes the receiver's host has not acknowledged yet (SIOCOUTQ)."""
        buf = fcntl.ioctl(self.raw.fileno(), termios.TIOCOUTQ, b"\0\0\0\0")
        return struct.unpack("i", buf)[0]

    def delivered(self, timeout: float, cancelled=lambda: False) -> bool:
        deadline = time.monotonic() + timeout
        pause = 0.0005
        while True:
            if cancelled() or not self.alive():
                return False
            try:
                if self.unacknowledged() == 0:
                    return True
            except OSError:
                return False
            if time.monotonic() >= deadline:
                return False
            time.sleep(pause)
            pause = min(pause * 2, 0.02)


class DatagramLink(Link):
    """UDP, or the local syslog socket. A connected datagram socket learns of a missing
    receiver from the next send (ECONNREFUSED), so a batch is checked after it went."""

    framed = False

    def __init__(self, sock, local):
        super().__init__(sock)
        self.local = local

    def send(self, messages):
        try:
            for m in messages:
                self.sock.send(m)
        except OSError as exc:
            if exc.errno == errno.EMSGSIZE:
                raise LinkError("message too large for a datagram") from None
            raise LinkError(_why(exc)) from None

    def delivered(self, timeout: float, cancelled=lambda: False) -> bool:
        if self.local:
            return self.alive()
        time.sleep(min(timeout, 0.02))  # time for an ICMP "port unreachable" to come back
        return self.alive()


LINK_TIMEOUT = 5.0


def open_link(destination) -> Link:
    """Connects to the destination (a forwarding.Destination). Raises LinkError."""
    protocol = destination.protocol
    try:
        if protocol == "local":
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
            sock.settimeout(LINK_TIMEOUT)
            try:
                sock.connect(destination.socket_path)
            except OSError:
                sock.close()
                raise
            return DatagramLink(sock, local=True)
        if protocol == "udp":
            family, kind, proto, _, address = socket.getaddrinfo(destination.host, destination.port,
                                                                 type=socket.SOCK_DGRAM)[0]
            sock = socket.socket(family, kind, proto)
            sock.settimeout(LINK_TIMEOUT)
            sock.connect(address)
            return DatagramLink(sock, local=False)
        raw = socket.create_connection((destination.host, destination.port), timeout=LINK_TIMEOUT)
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
        if protocol == "tcp":
            return StreamLink(raw, raw)
        context = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=destination.ca_file or None)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        try:
            tls = context.wrap_socket(raw, server_hostname=destination.host)
        except BaseException:
            raw.close()
            raise
        tls.settimeout(LINK_TIMEOUT)
        return StreamLink(tls, tls)
    except (OSError, ssl.SSLError, ValueError) as exc:
        raise LinkError(_why(exc)) from None
