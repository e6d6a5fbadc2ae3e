"""ClamAV as the "signature" engine: the system clamd, or a private clamd the agent runs.

Where a clamd answers on the system socket (the LocalSocket of
/etc/clamav/clamd.conf), it scans with the system's databases. Otherwise, or
when the user keeps databases of their own, the agent runs a private clamd
(private_clamd.py). Every file goes to clamd as an open descriptor, in batches.
"""

import logging
import os
import shutil
import threading
import time

from .clamd import ClamdClient, ClamdError, socket_answers
from .private_clamd import DatabaseSet, PrivateClamd, _rss, database_files, read_signature_list

log = logging.getLogger("agent.clamav")

SYSTEM_DB_DIR = "/var/lib/clamav"
STALE_DAYS = 7


# (offset, magic, name) of the containers clamd opens that a description should name.
ARCHIVE_MAGIC = ((0, b"PK\x03\x04", "zip"), (0, b"\x1f\x8b", "gzip"), (0, b"BZh", "bzip2"),
                 (0, b"\xfd7zXZ\x00", "xz"), (0, b"7z\xbc\xaf\x27\x1c", "7z"), (0, b"Rar!\x1a\x07", "rar"),
                 (257, b"ustar", "tar"))
MEMBER_BUDGET = 64 << 20  # bytes of members unpacked to find the one clamd flagged
MEMBER_LIMIT = 500


def archive_kind(fd: int) -> str | None:
    try:
        head = os.pread(fd, 262, 0)
    except OSError:
        return None
    for offset, magic, name in ARCHIVE_MAGIC:
        if head[offset:offset + len(magic)] == magic:
            return name
    return None


def locate_member(fd: int, scan_bytes) -> str | None:
    """The first zip or tar member (also in a compressed tar) that clamd flags on its own, within bounds.

    clamd names the archive, not the member; this finds the member by scanning the members one by
    one, only after a detection. None when the container is of another kind or the bounds are hit.
    """
    import tarfile
    import zipfile

    try:
        fh = open(f"/proc/self/fd/{fd}", "rb")  # a description of its own: the caller's offset stays put
    except OSError:
        return None
    budget = MEMBER_BUDGET
    try:
        with fh:
            if zipfile.is_zipfile(fh):
                with zipfile.ZipFile(fh) as archive:
                    for info in archive.infolist()[:MEMBER_LIMIT]:
                        if info.is_dir() or info.file_size > budget:
                            continue
                        budget -= info.file_size
                        if scan_bytes(archive.read(info)).infected:
                            return info.filename
                return None
            fh.seek(0)
            with tarfile.open(fileobj=fh, mode="r:*") as archive:
                for number, member in enumerate(archive):
                    if number >= MEMBER_LIMIT:
                        break
                    if member.size > budget:
                        break  # even passing over it would mean unpacking it
                    budget -= member.size
                    if not member.isfile():
                        continue
                    data = archive.extractfile(member).read()
                    if scan_bytes(data).infected:
                        return member.name
    except Exception as exc:  # a damaged or hostile container: the description just names the archive
        log.debug("member lookup failed: %s", exc)
    return None


def _find_program(name: str, override: str | None) -> str | None:
    if override is not None:
        return override if override and os.access(override, os.X_OK) else None
    return shutil.which(name) or shutil.which(name, path="/usr/sbin:/usr/bin:/sbin:/bin")


def _version_age_days(version: str) -> float | None:
    """Age of the databases from clamd's VERSION ("ClamAV 1.4.6/27500/Mon Dec  2 08:32:49 2024")."""
    parts = version.split("/")
    if len(parts) < 3:
        return None
    try:
        built = time.mktime(time.strptime(" ".join(parts[2].split()), "%a %b %d %H:%M:%S %Y"))
    except ValueError:
        return None
    return max(0.0, (time.time() - built) / 86400)


class ClamavEngine:
    """The "signature" engine: every file through clamd, by descriptor."""

    name = "signature"

    def __init__(self, data_dir: str, *, external_socket: str = "", system_db_dir: str = SYSTEM_DB_DIR,
                 clamd_bin: str | None = None, clamscan_bin: str | None = None, emit=None, ready_wait=30.0):
        self.user_dir = os.path.join(data_dir, "clamav")
        os.makedirs(self.user_dir, mode=0o700, exist_ok=True)
        os.chmod(self.user_dir, 0o700)
        self.user_signatures = os.path.join(data_dir, "signatures.txt")
        self.emit = emit or (lambda action, target=None: None)
        self.ready_wait = ready_wait
        self.external = ClamdClient(external_socket) if external_socket else None
        self.external_ok = False
        self.system_db_dir = system_db_dir
        self.clamd_bin = _find_program("clamd", clamd_bin)
        self.clamscan_bin = _find_program("clamscan", clamscan_bin)
        self.data_dir = data_dir
        self.private = None
        self.thread = None
        self._stop = threading.Event()
        self._version_seen = ("", 0.0)  # (reply, monotonic time) of the last VERSION asked
        self.unscanned = 0  # files no clamd could scan since start
        self._gave_up = False  # a wait for the private clamd timed out; do not wait again until it is back

    # -- lifecycle --------------------------------------------------------------------
    def _own_databases(self) -> bool:
        if database_files(self.user_dir):
            return True
        return bool(read_signature_list(self.user_signatures, []))

    def start(self):
        self.external_ok = self.external is not None and socket_answers(self.external.path)
        if self.external_ok:
            self.emit(f"signature engine: using the system clamd at {self.external.path}")
        if not self.external_ok or self._own_databases():
            self._start_private()
        self.thread = threading.Thread(target=self._watch, name="clamav-watch", daemon=True)
        self.thread.start()

    def _start_private(self):
        if self.private is not None:
            return
        databases = DatabaseSet(os.path.join(self.data_dir, "clamd", "db"), self.user_dir,
                                "" if self.external_ok else self.system_db_dir, self.user_signatures,
                                self.clamscan_bin)
        private = PrivateClamd(self.data_dir, databases, self.clamd_bin,
                               emit=lambda action, target=None: self.emit(action, target))
        # clamd dies with the thread that started it, so that thread lives as long as clamd should.
        thread = threading.Thread(target=private.run, args=(self._stop,), name="clamd", daemon=True)
        self.private = private
        thread.start()
        self._private_thread = thread

    def _watch(self):
        """Picks up a system clamd that comes or goes, and own databases added while only it was used."""
        while not self._stop.wait(5.0):
            if self.external is not None:
                self.external_ok = socket_answers(self.external.path)
            if self.private is None and (not self.external_ok or self._own_databases()):
                self._start_private()

    def stop(self):
        self._stop.set()
        thread = getattr(self, "_private_thread", None)
        if thread is not None:
            thread.join(10)
        if self.external is not None:
            self.external.close()

    def refresh(self, timeout: float = 60.0):
        """Before a scan: the databases as they are now, loaded (waits for a starting clamd)."""
        if self.private is not None:
            self.private.refresh(timeout)

    # -- scanning ----------------------------------------------------------------------
    def _backends(self) -> list:
        backends = []
        if self.external_ok:
            backends.append(self.external)
        private = self.private
        if private is not None and self._private_ready(private):
            backends.append(private.client)
        return backends

    def _private_ready(self, private) -> bool:
        """Ready, or ready within `ready_wait` while (re)starting. After one wait in vain the files go
        on without it (counted as unchecked) until it is ready again, so an outage stalls nothing twice."""
        if private.ready.is_set():
            self._gave_up = False
            return True
        if private.state == "missing" or self._gave_up:
            return False
        if private.ready.wait(self.ready_wait):
            return True
        self._gave_up = True
        return False

    def severity(self, name: str) -> str:
        private = self.private
        known = private.databases.severity.get(name) if private is not None else None
        if known:
            return known
        if name.startswith(("PUA.", "Heuristics.")):
            return "medium"
        return "high"

    def begin(self, fds: list):
        """Hands a batch of open files to every clamd in use; `finish` collects the verdicts."""
        return [(client, client.submit(fds)) for client in self._backends()]

    def finish(self, fds: list, started) -> list:
        """(detections, whether any clamd scanned the file) for each file of a batch, in order."""
        from .engines import Detection

        out = [([], False) for _ in fds]
        for client, pending in started:
            for i, reply in enumerate(client.collect(pending)):
                if isinstance(reply, ClamdError):
                    log.warning("clamd scan failed: %s", reply)
                    if client is self.external:
                        self.external_ok = False
                    continue
                if reply.error:
                    log.info("clamd could not scan a file: %s", reply.error)
                    continue
                found = out[i][0]
                if reply.infected and all(d.signature != reply.name for d in found):
                    found.append(Detection("signature", self.severity(reply.name), reply.name,
                                           self._describe(fds[i], client)))
                out[i] = (found, True)
        self.unscanned += sum(1 for _, checked in out if not checked)
        return out

    def scan_fd(self, fd: int) -> tuple[list, bool]:
        """(detections, whether any clamd scanned the file)."""
        return self.finish([fd], self.begin([fd]))[0]

    @staticmethod
    def _describe(fd, client) -> str:
        kind = archive_kind(fd)
        if kind is None:
            return "ClamAV"
        member = locate_member(fd, lambda data: client.scan_bytes(data, timeout=60.0))
        return f"ClamAV, inside the {kind} archive" + (f" at {member}" if member else "")

    # -- health ------------------------------------------------------------------------
    def _version(self, client) -> str:
        reply, when = self._version_seen
        if time.monotonic() - when > 60:
            try:
                reply = client.command("VERSION")
            except ClamdError:
                reply = ""
            self._version_seen = (reply, time.monotonic())
        return reply

    def health(self) -> tuple[str, str]:
        """(state, reason): "ok", or "degraded" with the first thing that is wrong."""
        private = self.private
        working = self.external if self.external_ok else None
        if private is not None and private.state == "ready":
            working = working or private.client
        if working is None:
            if private is not None and private.state == "missing":
                return "degraded", "clamd not installed"
            if private is not None and private.state == "starting":
                return "degraded", "clamd starting"
            return "degraded", "clamd not running"
        if private is not None and private.error:
            return "degraded", private.error
        if not self.external_ok and private is not None and private.databases.real_databases == 0:
            return "degraded", "no signature database"
        age = _version_age_days(self._version(working))
        if age is None and not self.external_ok and private is not None:
            age = private.databases.oldest_days or None
        if age is not None and age > STALE_DAYS:
            return "degraded", f"databases {int(age)} days old"
        if private is not None and private.databases.rejected:
            n = len(private.databases.rejected)
            return "degraded", f"{n} user database{'s' if n != 1 else ''} failed to load"
        return "ok", ""

    def clamd_rss(self) -> int:
        total = 0
        if self.private is not None:
            total += self.private.rss()
        if self.external_ok:
            pid = self.external.peer_pid()
            if pid:
                total += _rss(pid)
        return total
