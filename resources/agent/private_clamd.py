"""The agent's own clamd, for when no system clamd answers or the user keeps databases of their own.

- its configuration, socket, log and scratch directory live under
  <data dir>/clamd/, and it loads <data dir>/clamd/db/, which the agent fills:
  the bundled test signatures (EICAR anywhere in the first KiB, the SHA-256
  lists of data/signatures.txt and the user's signatures.txt), a link to every
  database the user dropped into the ClamAV directory (<data dir>/clamav/,
  each checked with clamscan first, so one bad file cannot stop clamd), and,
  when no system clamd answers, a link to every system database;
- it runs in the foreground as the agent's child, dies with the agent
  (parent-death signal, set by setpriv before clamd is executed), is restarted
  with back-off when it exits, and a clamd left behind by an agent that was
  killed is found through its pid file and stopped at the next start;
- a change in the source directories is synced and clamd told to RELOAD; a
  probe signature that changes with every sync tells when the new databases
  are live, so the next scan uses them.
"""

import hashlib
import logging
import os
import re
import secrets
import shutil
import signal
import subprocess
import threading
import time

from .clamd import ClamdClient, ClamdError

log = logging.getLogger("agent.clamd")

PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
BUNDLED_SIGNATURES = os.path.join(PACKAGE_DIR, "data", "signatures.txt")
# Files clamd loads from a database directory.
DB_EXTENSIONS = (".cvd", ".cld", ".cud", ".hdb", ".hsb", ".hdu", ".hsu", ".mdb", ".msb", ".mdu", ".msu",
                 ".ndb", ".ndu", ".ldb", ".ldu", ".idb", ".cdb", ".cbc", ".fp", ".sfp", ".ign", ".ign2",
                 ".ftm", ".pdb", ".gdb", ".wdb", ".crb", ".imp", ".pwdb", ".yar", ".yara")
OWN_PREFIX = "tessaly-"  # files the agent writes into clamd's database directory
SEVERITY_WORDS = ("critical", "high", "medium", "low")
MAX_SIGNATURE_LINES = 200_000
READY_TIMEOUT = 180.0  # the full official databases take a while to load on a slow machine
BACKOFF = (1.0, 2.0, 5.0, 10.0, 30.0, 60.0)

# The anti-virus test file, assembled so this source does not carry it.
_EICAR = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-" + b"TEST-FILE!$H+H*")


def _signature_name(text: str) -> str:
    """A name clamd accepts (no separators, no spaces)."""
    name = re.sub(r"[^A-Za-z0-9._-]+", "_", text).strip("._-")
    return name[:100] or "User-Signature"


def read_signature_list(path: str, warnings: list) -> list[tuple[str, str, str]]:
    """(sha256, severity, name) from a "<sha256> <severity> <name>" list; malformed lines noted."""
    result = []
    try:
        with open(path, encoding="utf-8", errors="replace") as fh:
            for number, line in enumerate(fh, 1):
                if number > MAX_SIGNATURE_LINES:
                    warnings.append(f"{os.path.basename(path)}: only the first {MAX_SIGNATURE_LINES} lines are read")
                    break
                line = line.strip()
                if not line or line.startswith("#"):
                    continue
                parts = line.split(None, 2)
                digest = parts[0].lower()
                if len(digest) != 64 or any(c not in "0123456789abcdef" for c in digest):
                    warnings.append(f"{os.path.basename(path)} line {number}: not a SHA-256")
                    continue
                severity = parts[1].lower() if len(parts) > 1 and parts[1].lower() in SEVERITY_WORDS else "high"
                name = _signature_name(parts[2]) if len(parts) > 2 else "User-Signature"
                result.append((digest, severity, name))
    except FileNotFoundError:
        pass
    except OSError as exc:
        warnings.append(f"cannot read {path}: {exc.strerror}")
    return result


def database_files(directory: str) -> list[str]:
    """Names of the database files in a directory (none when it is missing or unreadable)."""
    try:
        names = os.listdir(directory)
    except OSError:
        return []
    return sorted(n for n in names if n.endswith(DB_EXTENSIONS) and not n.startswith("."))


def cvd_build_time(path: str) -> float | None:
    """Build time of a .cvd/.cld from its 512-byte header ("ClamAV-VDB:…:<epoch>"), else None."""
    try:
        with open(path, "rb") as fh:
            header = fh.read(512).decode("ascii", "replace")
    except OSError:
        return None
    fields = header.split(":")
    if len(fields) < 9 or fields[0] != "ClamAV-VDB":
        return None
    try:
        return float(fields[8].strip().split()[0])
    except (ValueError, IndexError):
        return None


class DatabaseSet:
    """What the private clamd's database directory should hold, and writing it there."""

    def __init__(self, target: str, user_dir: str, system_dir: str, user_signatures: str, clamscan: str | None):
        self.target = target
        self.user_dir = user_dir
        self.system_dir = system_dir  # "" when the system databases are not ours to load
        self.user_signatures = user_signatures
        self.clamscan = clamscan
        self.severity = {}  # signature name -> severity word
        self.rejected = {}  # user database name -> why it was left out
        self.warnings = []
        self.real_databases = 0  # databases other than the bundled test signatures
        self.oldest_days = 0.0  # age of the newest system database build, in days
        self._checked = {}  # user database name -> ((size, mtime), error or "")
        self._last_sources = None

    def sources(self) -> tuple:
        """A cheap fingerprint of every input; a change means sync and reload."""
        parts = []
        for directory in (self.user_dir, self.system_dir):
            for name in database_files(directory) if directory else ():
                try:
                    st = os.stat(os.path.join(directory, name))
                except OSError:
                    continue
                parts.append((directory, name, st.st_size, st.st_mtime_ns, st.st_ino))
        for path in (self.user_signatures, BUNDLED_SIGNATURES):
            try:
                st = os.stat(path)
                parts.append((path, st.st_size, st.st_mtime_ns, st.st_ino))
            except OSError:
                parts.append((path, None))
        return tuple(parts)

    def changed(self) -> bool:
        return self.sources() != self._last_sources

    def sync(self, fresh_probe=True) -> str:
        """Brings the target directory in line with the sources; returns the probe token.

        A reload needs a fresh probe (a new signature proves the new databases live); a clamd
        that starts loads whatever is there, so it keeps the probe it finds: with nothing else
        changed, starting writes nothing (a full disk does not keep clamd from starting).
        """
        sources = self.sources()
        os.makedirs(self.target, mode=0o700, exist_ok=True)
        wanted = {}  # name in target -> source path (None: written by us)
        warnings = []
        token = None if fresh_probe else self._current_probe()
        token = token or "tessaly-database-probe-" + secrets.token_hex(8)
        own = self._write_own(token, warnings)
        for name in own:
            wanted[name] = None
        real = 0
        newest_build = 0.0
        if self.system_dir:
            for name in database_files(self.system_dir):
                wanted[name] = os.path.join(self.system_dir, name)
                real += 1
                if name.endswith((".cvd", ".cld")):
                    built = cvd_build_time(wanted[name])
                    if built is None:
                        try:
                            built = os.stat(wanted[name]).st_mtime
                        except OSError:
                            built = 0.0
                    newest_build = max(newest_build, built)
        rejected = {}
        for name in database_files(self.user_dir):
            source = os.path.join(self.user_dir, name)
            error = self._check_user_database(name, source)
            if error:
                rejected[name] = error
                continue
            link = name if name not in wanted and not name.startswith(OWN_PREFIX) else "user-" + name
            wanted[link] = source
            real += 1
        self._apply(wanted)
        self.rejected, self.warnings, self.real_databases = rejected, warnings, real
        self.oldest_days = (time.time() - newest_build) / 86400 if newest_build else 0.0
        self._last_sources = sources
        return token

    def _write_own(self, token: str, warnings: list) -> list[str]:
        severity = {"EICAR-Test-File": "high", "Tessaly.Probe": "low"}
        ndb = [f"EICAR-Test-File:0:0,1024:{_EICAR.hex()}"]
        hsb = []
        for path in (BUNDLED_SIGNATURES, self.user_signatures):
            for digest, sev, name in read_signature_list(path, warnings):
                hsb.append(f"{digest}:*:{name}:73")
                severity[name] = sev
        files = {
            OWN_PREFIX + "bundled.ndb": "\n".join(ndb) + "\n",
            OWN_PREFIX + "probe.ndb": f"Tessaly.Probe:0:0:{token.encode().hex()}\n",
        }
        if hsb:
            files[OWN_PREFIX + "signatures.hsb"] = "\n".join(hsb) + "\n"
        for name, text in files.items():
            _write_if_changed(os.path.join(self.target, name), text)
        self.severity = severity
        return list(files)

    def _current_probe(self) -> str | None:
        try:
            with open(os.path.join(self.target, OWN_PREFIX + "probe.ndb"), encoding="ascii") as fh:
                token = bytes.fromhex(fh.read().strip().rsplit(":", 1)[1]).decode("ascii")
        except (OSError, ValueError, IndexError, UnicodeDecodeError):
            return None
        return token if token.startswith("tessaly-database-probe-") else None

    def _check_user_database(self, name: str, source: str) -> str:
        """"" when clamscan loads the file on its own, else the reason (cached per size and mtime)."""
        try:
            st = os.stat(source)
        except OSError as exc:
            return exc.strerror or "unreadable"
        key = (st.st_size, st.st_mtime_ns)
        cached = self._checked.get(name)
        if cached is not None and cached[0] == key:
            return cached[1]
        error = ""
        if self.clamscan:
            empty = os.path.join(self.target, "..", "empty")
            if not os.path.exists(empty):
                open(empty, "wb").close()
            try:
                proc = subprocess.run([self.clamscan, "--no-summary", "--stdout", "-d", source, empty],
                                      capture_output=True, text=True, timeout=120)
                if proc.returncode == 2:
                    lines = [ln for ln in (proc.stderr + proc.stdout).splitlines() if "rror" in ln]
                    error = (lines[-1] if lines else "does not load").replace("LibClamAV Error: ", "")[:160]
            except (OSError, subprocess.SubprocessError) as exc:
                log.warning("could not check %s: %s", source, exc)
        self._checked[name] = (key, error)
        return error

    def _apply(self, wanted: dict):
        for name in os.listdir(self.target):
            path = os.path.join(self.target, name)
            if name.startswith("."):
                continue
            if name not in wanted:
                os.unlink(path)
            elif wanted[name] is not None and (not os.path.islink(path) or os.readlink(path) != wanted[name]):
                os.unlink(path)
        for name, source in wanted.items():
            path = os.path.join(self.target, name)
            if source is not None and not os.path.lexists(path):
                os.symlink(source, path)


def _write_if_changed(path: str, text: str):
    """Writes a file atomically, and not at all when it already holds `text`."""
    try:
        with open(path, encoding="utf-8") as fh:
            if fh.read() == text:
                return
    except (OSError, UnicodeDecodeError):
        pass
    tmp = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".tmp")
    try:
        with open(tmp, "w", encoding="utf-8") as fh:
            fh.write(text)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _rss(pid) -> int:
    try:
        with open(f"/proc/{pid}/status", encoding="ascii", errors="replace") as fh:
            for line in fh:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return 0


class PrivateClamd:
    """The agent's own clamd: configuration, database directory, process and its supervision."""

    def __init__(self, data_dir: str, databases: DatabaseSet, clamd_bin: str | None, emit=None):
        self.dir = os.path.join(data_dir, "clamd")
        self.socket = os.path.join(self.dir, "clamd.sock")
        runtime = os.environ.get("XDG_RUNTIME_DIR")
        if len(os.fsencode(self.socket)) > 100 and runtime:
            # A Unix socket address holds 107 bytes; a deep data directory gets its socket elsewhere.
            tag = hashlib.sha256(os.fsencode(data_dir)).hexdigest()[:16]
            self.socket = os.path.join(runtime, f"tessaly-clamd-{tag}.sock")
        self.conf = os.path.join(self.dir, "clamd.conf")
        self.pidfile = os.path.join(self.dir, "clamd.pid")
        self.logfile = os.path.join(self.dir, "clamd.log")
        self.scratch = os.path.join(self.dir, "tmp")
        self.databases = databases
        self.clamd_bin = clamd_bin
        self.emit = emit or (lambda action, target=None: None)
        self.client = ClamdClient(self.socket)
        self.proc = None
        self.ready = threading.Event()
        self.state = "starting"  # starting | ready | down | missing
        self.error = ""
        self.restarts = 0
        self.token = ""
        self._lock = threading.Lock()
        self._reload_needed = threading.Event()

    # -- files -------------------------------------------------------------------------
    def _write_config(self):
        cpus = os.cpu_count() or 2
        lines = [
            f"LocalSocket {self.socket}",
            "LocalSocketMode 600",
            "FixStaleSocket yes",
            f"DatabaseDirectory {self.databases.target}",
            f"TemporaryDirectory {self.scratch}",
            f"PidFile {self.pidfile}",
            f"LogFile {self.logfile}",
            "LogFileMaxSize 1M",
            "LogRotate yes",
            "LogTime yes",
            "Foreground yes",
            # Reloads build the new engine beside the old one, so scans go on meanwhile.
            "ConcurrentDatabaseReload yes",
            "SelfCheck 0",  # the agent watches the sources and sends RELOAD itself
            f"MaxThreads {max(2, min(cpus, 8))}",
            "ReadTimeout 120",
            "CommandReadTimeout 10",
            "IdleTimeout 60",
            "StreamMaxLength 100M",
            # ClamAV's own limits for archives and containers.
            "ScanArchive yes",
            "MaxFileSize 100M",
            "MaxScanSize 400M",
            "MaxRecursion 16",
            "MaxFiles 10000",
            "Bytecode yes",
        ]
        _write_if_changed(self.conf, "# Written by the agent at every start; edits are lost.\n" + "\n".join(lines) + "\n")

    def stop_leftover(self):
        """Stops a private clamd that a killed agent left running on this data directory."""
        try:
            with open(self.pidfile, encoding="ascii") as fh:
                pid = int(fh.read().strip() or "0")
        except (OSError, ValueError):
            return
        if pid <= 1 or pid == os.getpid():
            return
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as fh:
                argv = fh.read().split(b"\0")
        except OSError:
            return
        if not argv or not os.path.basename(argv[0]).startswith(b"clamd") or os.fsencode(self.conf) not in argv:
            return  # the pid was reused by something else
        log.warning("stopping clamd %d left by a previous agent", pid)
        _terminate(pid)

    # -- lifecycle -----------------------------------------------------------------------
    def _sync(self, fresh_probe=True):
        before = dict(self.databases.rejected)
        self.token = self.databases.sync(fresh_probe)
        for name, why in self.databases.rejected.items():
            if before.get(name) != why:
                self.emit(f"user signature database not loaded: {why}", os.path.join(self.databases.user_dir, name))
        for warning in self.databases.warnings[:5]:
            self.emit(f"signature list: {warning}")

    def _spawn(self):
        os.makedirs(self.scratch, mode=0o700, exist_ok=True)
        self._sync(fresh_probe=False)
        self._write_config()
        try:
            os.unlink(self.socket)
        except FileNotFoundError:
            pass
        argv = [self.clamd_bin, "-c", self.conf, "--foreground"]
        setpriv, sh = shutil.which("setpriv"), shutil.which("sh")
        if setpriv and sh:
            # The kernel ends clamd when the thread that started it (this supervisor) goes away.
            # An agent that went before the wish was made has left the child to another
            # parent: then the child ends there instead of becoming a clamd nobody stops.
            argv = [setpriv, "--pdeathsig", "KILL", "--", sh, "-c", '[ "$PPID" = "$0" ] && exec "$@"',
                    str(os.getpid())] + argv
        # Run from its own folder: a file clamd makes by a relative name (its log, reopened
        # under a name it no longer holds rightly) stays there, not in the agent's install tree.
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, close_fds=True, start_new_session=True,
                                     cwd=self.dir)

    def _wait_ready(self, stop) -> bool:
        deadline = time.monotonic() + READY_TIMEOUT
        while time.monotonic() < deadline and not stop.is_set():
            if self.proc.poll() is not None:
                return False
            if self._probe_found():
                return True
            stop.wait(0.05)
        return False

    def _probe_found(self) -> bool:
        # An open file rather than a stream where the kernel offers memory files: clamd writes a
        # stream into its temporary directory first, which a full disk refuses, while a clamd
        # that can scan the user's open files is ready for what the agent asks of it.
        try:
            fd = os.memfd_create("tessaly-probe", os.MFD_CLOEXEC)
        except (AttributeError, OSError):
            fd = None
        try:
            if fd is None:
                reply = self.client.scan_bytes(self.token.encode(), timeout=5.0)
            else:
                os.write(fd, self.token.encode())
                reply = self.client.scan_fd(fd)
        except (ClamdError, OSError):
            return False
        finally:
            if fd is not None:
                os.close(fd)
        return reply.infected and reply.name == "Tessaly.Probe"

    def run(self, stop: threading.Event):
        """Supervises clamd until `stop` is set (runs on its own thread, which clamd's life is tied to)."""
        if not self.clamd_bin:
            self.state, self.error = "missing", "clamd not installed"
            self.emit("signature engine degraded: clamd is not installed (package clamav-daemon)")
            return
        self.stop_leftover()
        attempt = 0
        try:
            while not stop.is_set():
                started = time.monotonic()
                self.state = "starting"
                try:
                    self._spawn()
                except OSError as exc:
                    self.state, self.error = "down", f"clamd cannot start: {exc.strerror or exc}"
                    self.proc = None
                else:
                    if self._wait_ready(stop):
                        self.state, self.error = "ready", ""
                        self.ready.set()
                        if attempt:
                            self.emit(f"clamd restarted (pid {self.proc.pid})")
                        self._serve(stop)
                    if stop.is_set():
                        break
                    code = self.proc.poll()
                    self._kill()
                    self.ready.clear()
                    self.state = "down"
                    self.error = "clamd not running"
                    self.emit(f"clamd stopped unexpectedly (exit status {code}); restarting", self.logfile)
                if time.monotonic() - started > 120:
                    attempt = 0  # it ran well for a while: start the back-off again
                delay = BACKOFF[min(attempt, len(BACKOFF) - 1)]
                attempt += 1
                self.restarts += 1
                stop.wait(delay)
        finally:
            self.ready.clear()
            self._kill()
            self.client.close()
            if self.state == "ready":
                self.state = "down"

    def _serve(self, stop):
        """While clamd runs: reload when the sources change, notice when it dies."""
        next_check = time.monotonic() + 2.0
        while not stop.is_set() and self.proc.poll() is None:
            if self._reload_needed.wait(0.5):
                self._reload_needed.clear()
                next_check = 0.0
            if time.monotonic() >= next_check:
                next_check = time.monotonic() + 2.0
                try:
                    if self.databases.changed():
                        self._reload(stop)
                except OSError as exc:
                    log.warning("database sync failed: %s", exc)

    def _reload(self, stop):
        with self._lock:
            self._sync()
            try:
                self.client.reload()
            except ClamdError as exc:
                log.warning("RELOAD failed: %s", exc)
                return
            deadline = time.monotonic() + READY_TIMEOUT
            while time.monotonic() < deadline and not stop.is_set() and self.proc.poll() is None:
                if self._probe_found():
                    self.error = ""
                    self.emit("signature databases reloaded", self.databases.target)
                    return
                stop.wait(0.05)
            self.error = "database reload failed"
            self.emit("signature database reload failed; the previous databases stay in use", self.logfile)

    def refresh(self, timeout: float = 60.0):
        """Makes sure the databases as they are now are live (before a scan). Blocks up to `timeout`."""
        if not self.ready.wait(timeout if self.state in ("starting", "down") else 0):
            return
        try:
            changed = self.databases.changed()
        except OSError:
            return
        if changed:
            self._reload(threading.Event())

    def _kill(self):
        proc, self.proc = self.proc, None
        if proc is None:
            return
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(5)
        try:
            os.unlink(self.socket)
        except OSError:
            pass

    def rss(self) -> int:
        proc = self.proc
        if proc is None or proc.poll() is not None:
            return 0
        # setpriv executed clamd in place, so the child's pid is clamd's.
        return _rss(proc.pid)


def _alive(pid: int) -> bool:
    """True while `pid` runs (a zombie waiting for a parent that does not reap it counts as gone)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as fh:
            state = fh.read().rsplit(b")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state not in (b"Z", b"X")


def _terminate(pid: int):
    try:
        os.kill(pid, signal.SIGTERM)
    except OSError:
        return
    for _ in range(50):
        if not _alive(pid):
            return
        time.sleep(0.1)
    try:
        os.kill(pid, signal.SIGKILL)
    except OSError:
        pass
