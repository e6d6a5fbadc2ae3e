"""Forwarding to a syslog receiver while "cloud_telemetry" is on.

The receiver is named in `forward.conf` in the data directory, one `key = value`
per line ("#" starts a comment):

    host = siem.example.net
    port = 6514             # default 514, or 6514 for tls
    protocol = tls          # tcp, tls or udp; tls by default when ca_file is given
    ca_file = siem-ca.pem   # relative to the data directory

The file is read at start and again whenever it changes. Without it, records go to
the local syslog socket (/dev/log) when there is one.

Delivery is at least once: a message leaves the outbox only after the receiver's
host acknowledged every byte of it and the connection was still up a moment
later; anything sent on a connection that broke is sent again on the next one.
The forwarder runs on its own thread: a slow or missing receiver never holds up
detection or the socket.
"""

import logging
import os
import pwd
import socket
import stat
import threading
import time
from dataclasses import dataclass

from . import syslogwire
from .syslogwire import LinkError

log = logging.getLogger("agent.forwarding")
CONF_NAME = "forward.conf"
MAX_CONF_BYTES = 64 << 10
DEFAULT_PORTS = {"tcp": 514, "udp": 514, "tls": 6514}
PROTOCOLS = ("tcp", "tls", "udp")
BATCH_MESSAGES = 256
BATCH_BYTES = 256 << 10
MAX_MESSAGE_BYTES = 60_000  # fits a UDP datagram; rsyslog's own default is 8 KiB (see the README)
DELIVERY_TIMEOUT = 10.0
TRIM_INTERVAL = 0.5


@dataclass(frozen=True)
class Destination:
    protocol: str  # "tcp", "tls", "udp" or "local"
    host: str = ""
    port: int = 0
    ca_file: str = ""
    socket_path: str = ""

    def describe(self) -> str:
        if self.protocol == "local":
            return f"{self.socket_path} (local syslog)"
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{host}:{self.port} ({self.protocol})"

    def wire(self) -> dict:
        if self.protocol == "local":
            return {"host": "", "port": 0, "protocol": "local"}
        return {"host": self.host, "port": self.port, "protocol": self.protocol}


def parse_config(text: str, base_dir: str) -> tuple[Destination | None, list[str]]:
    """forward.conf -> (destination or None, problems). Any problem leaves no destination."""
    values, problems = {}, []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        key, sep, value = line.partition("=")
        key, value = key.strip().lower(), value.strip()
        if not sep or not key:
            problems.append(f"line {number}: expected key = value")
        elif key not in ("host", "port", "protocol", "ca_file"):
            problems.append(f"line {number}: unknown key {key[:40]!r}")
        elif key in values:
            problems.append(f"line {number}: {key} given twice")
        else:
            values[key] = value
    host = values.get("host", "").strip("[]")
    if not host:
        problems.append("host is missing")
    elif len(host) > 253 or any(c.isspace() or not c.isprintable() for c in host):
        problems.append("host is not a host name or address")
    ca_file = values.get("ca_file", "")
    if ca_file:
        ca_file = os.path.join(base_dir, os.path.expanduser(ca_file))
        if not os.path.isfile(ca_file):
            problems.append(f"ca_file {ca_file[:200]!r} is not a readable file")
    protocol = values.get("protocol", "tls" if ca_file else "tcp").lower()
    if protocol not in PROTOCOLS:
        problems.append(f"protocol must be tcp, tls or udp, not {protocol[:20]!r}")
    elif ca_file and protocol != "tls":
        problems.append(f"ca_file needs protocol tls, not {protocol}")
    port = DEFAULT_PORTS.get(protocol, 514)
    if "port" in values:
        text_port = values["port"]
        if text_port.isascii() and text_port.isdigit() and 1 <= int(text_port) <= 65535:
            port = int(text_port)
        else:
            problems.append(f"port must be a number from 1 to 65535, not {text_port[:20]!r}")
    if problems:
        return None, problems
    return Destination(protocol, host, port, ca_file), []


def _user() -> str:
    try:
        return pwd.getpwuid(os.getuid()).pw_name
    except KeyError:
        return str(os.getuid())


def fit(record: dict, kind: str, seq: int, origin: dict, size: int, limit: int = MAX_MESSAGE_BYTES) -> dict:
    """A record whose message stays under `limit` bytes: long texts are cut, and
    "truncated" says so. `size` is the record's size in the queue; escaping can make
    the message up to six times as long."""
    if size * 6 + 1024 <= limit or len(syslogwire.payload(kind, record, seq, origin)) <= limit - 512:
        return record
    cut = {k: (v[:1024] if isinstance(v, str) else v) for k, v in record.items() if k != "checks"}
    cut["truncated"] = True
    if len(syslogwire.payload(kind, cut, seq, origin)) <= limit - 512:
        return cut
    return {k: record[k] for k in ("id", "ts") if k in record} | {"truncated": True}


class Forwarder:
    def __init__(self, config, settings, events, outbox, db):
        self.config = config
        self.settings = settings
        self.events = events
        self.outbox = outbox
        self.db = db
        self.conf_path = os.path.join(config.data_dir, CONF_NAME)
        self.local_path = config.syslog_socket
        self.origin = {"host": socket.gethostname(), "user": _user(),
                       "agent_version": __import__("agent").__version__}
        self.pid = os.getpid()
        self.lock = threading.Lock()
        self.wake = threading.Event()
        self._destination: Destination | None = None
        self._conf_key = ()
        self._link = None
        self._link_for = None
        self._sent_upto = 0    # the last sequence number written to the current link
        self._pending = []     # (seq, acknowledged at) not yet committed
        self._failing_since = None
        self._retry_at = 0.0
        self._backoff = 0.0
        self._trim_generation = -1
        self._next_trim = self._last_trim = 0.0
        self._stop = threading.Event()
        self.reload()
        outbox.set_enabled(settings.get("cloud_telemetry"))
        settings.subscribe(self._on_settings)

    # -- destination --------------------------------------------------------------------
    def _stamp(self):
        try:
            st = os.stat(self.conf_path)
        except FileNotFoundError:
            return None
        except OSError as exc:
            return ("error", str(exc))
        return (st.st_ino, st.st_size, st.st_mtime_ns)

    def reload(self) -> bool:
        """Reads forward.conf again if it changed; True when the destination changed."""
        stamp = self._stamp()
        local = self.local_path if stamp is None and _is_socket(self.local_path) else ""
        if (stamp, local) == self._conf_key:
            return False
        self._conf_key = (stamp, local)
        problems = []
        if stamp is None:
            new = Destination("local", socket_path=local) if local else None
        else:
            new, problems = self._read_conf()
        with self.lock:
            old, self._destination = self._destination, new
        if problems:
            self.events.emit("telemetry", f"{CONF_NAME} not used: " + "; ".join(problems)[:400], self.conf_path)
        elif new != old and self.settings.get("cloud_telemetry"):
            self.events.emit("telemetry", f"forwarding destination: {new.describe()}" if new else
                             "no forwarding destination: no forward.conf and no local syslog socket")
        return new != old

    def _read_conf(self):
        try:
            fd = os.open(self.conf_path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
            with os.fdopen(fd, "rb") as fh:
                data = fh.read(MAX_CONF_BYTES + 1)
        except OSError as exc:
            return None, [f"cannot read it: {exc.strerror or exc}"]
        if len(data) > MAX_CONF_BYTES:
            return None, [f"larger than {MAX_CONF_BYTES} bytes"]
        return parse_config(data.decode("utf-8", "replace"), self.config.data_dir)

    def destination(self) -> Destination | None:
        with self.lock:
            return self._destination

    def forward_to(self) -> dict | None:
        """The "forward_to" member of "settings.get", while forwarding is on."""
        destination = self.destination()
        if destination is None or not self.settings.get("cloud_telemetry"):
            return None
        return destination.wire()

    def _on_settings(self, changed, values):
        if "cloud_telemetry" not in changed:
            return
        on = values["cloud_telemetry"]
        self.outbox.set_enabled(on)
        destination = self.destination()
        if on:
            where = destination.describe() if destination else "no receiver yet (see forward.conf)"
            self.events.emit("telemetry", f"cloud telemetry on: forwarding to {where}")
        else:
            self.events.emit("telemetry", "cloud telemetry off: forwarding stopped")
        self.wake.set()

    # -- the loop ----------------------------------------------------------------------------
    def run(self, stop: threading.Event):
        self._stop = stop
        next_reload = 0.0
        while not stop.is_set():
            try:
                now = time.monotonic()
                if now >= next_reload:
                    next_reload = now + self.config.forward_reload_interval
                    if self.reload():
                        self._close("destination changed")
                idle = self.step(now)
            except Exception:
                if stop.is_set():
                    break  # the database may already be closed
                log.exception("forwarding step failed")
                self._close("internal error")
                idle = 1.0
            if idle:
                self.wake.wait(idle)
                self.wake.clear()
        self._close("agent stopping")

    def step(self, now: float) -> float:
        """One round: trim, commit, send one batch. Returns how long to wait (0: go on)."""
        if now >= self._next_trim and (self.db.generation != self._trim_generation or now >= self._last_trim + 5):
            # At most twice a second after writes, and every few seconds anyway (writes in a
            # transaction do not bump the generation).
            self._trim_generation, self._next_trim, self._last_trim = self.db.generation, now + TRIM_INTERVAL, now
            dropped = self.outbox.trim()
            if dropped:
                self.events.emit("telemetry", f"forwarding queue full ({self.outbox.max_bytes >> 20} MiB): "
                                              f"dropped {dropped} oldest messages, "
                                              f"{self.outbox.dropped_total()} in all")
        if not self.settings.get("cloud_telemetry"):
            self._close("forwarding off")
            return 1.0
        self._commit_settled(now)
        batch = self.outbox.peek(self._sent_upto, BATCH_MESSAGES, BATCH_BYTES)
        if not batch:
            return self.config.forward_commit_grace if self._pending else self.config.forward_idle_interval
        link = self._connected(now)
        if link is None:
            return max(0.05, min(self._retry_at - now, 1.0))
        messages = [self._format(link, m) for m in batch]
        try:
            link.send(messages)
            if not link.delivered(DELIVERY_TIMEOUT, self._stop.is_set):
                raise LinkError("the receiver did not take the messages")
        except LinkError as exc:
            self._failed(str(exc), now)
            return 0.05
        self._sent_upto = batch[-1].seq
        self._pending.append((batch[-1].seq, time.monotonic()))
        return 0.0

    def _format(self, link, message) -> bytes:
        record = fit(message.record, message.kind, message.seq, self.origin, message.size)
        if link.local:
            return syslogwire.format_local(message.kind, record, message.seq, self.origin, self.pid)
        return syslogwire.format_5424(message.kind, record, message.seq, self.origin, self.origin["host"], self.pid)

    def _commit_settled(self, now):
        if not self._pending:
            return
        if self._link is None or not self._link.alive():
            self._close("receiver went away")
            return
        settled = [seq for seq, at in self._pending if now - at >= self.config.forward_commit_grace]
        if settled:
            self.outbox.commit(settled[-1])
            self._pending = [(seq, at) for seq, at in self._pending if seq > settled[-1]]

    def _connected(self, now):
        destination = self.destination()
        if self._link is not None and self._link_for == destination:
            return self._link
        self._close("destination changed")
        if destination is None or now < self._retry_at:
            return None
        try:
            self._link = syslogwire.open_link(destination)
        except LinkError as exc:
            self._failed(str(exc), now)
            return None
        self._link_for = destination
        if self._failing_since is not None:
            self.events.emit("telemetry", f"forwarding receiver reachable again: {destination.describe()}, "
                                          f"{self.outbox.stats()[0]} messages waiting")
        self._failing_since = None
        self._backoff = 0.0
        return self._link

    def _failed(self, why, now):
        destination = self.destination()
        self._close(why)
        if self._failing_since is None:
            self._failing_since = now
            where = destination.describe() if destination else "no destination"
            self.events.emit("telemetry", f"forwarding receiver unreachable ({why}): {where}; "
                                          f"records wait in the outbox")
        self._backoff = min(max(self._backoff * 2, 0.25), self.config.forward_retry_max)
        self._retry_at = now + self._backoff

    def _close(self, why):
        if self._link is not None:
            log.info("forwarding link closed: %s", why)
            self._link.close()
        self._link = None
        self._link_for = None
        self._pending = []
        self._sent_upto = 0


def _is_socket(path) -> bool:
    try:
        return bool(path) and stat.S_ISSOCK(os.stat(path).st_mode)
    except OSError:
        return False
