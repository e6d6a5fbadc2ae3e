"""Where the agent keeps things and the knobs that tests may turn.

Environment (all optional):
  TSAV_AGENT_DATA_DIR       data directory (default: $XDG_DATA_HOME/tessaly-agent)
  TSAV_AGENT_SOCKET         socket path (default: the console's path under $HOME)
  TSAV_AGENT_TEST_MODE=1    bounded test mode: faster timers, test hooks honoured,
                            host isolation never applied; behaviour and network threats
                            are raised, and auto-kill acts, only for processes started by
                            the agent's parent (the test)
  TSAV_AGENT_FAULT          fault injection, test mode only:
                            "kill:<move|restore|delete|detect>:<step>" SIGKILLs the
                            agent at that step, "enospc:<n>" makes the n-th vault
                            write fail with ENOSPC
  TSAV_AGENT_ALLOW_ISOLATION=1  opt-in needed before the kill switch touches nftables
  TSAV_AGENT_TMP_DIR        test mode only: stands in for /tmp among the scan and watch
  TSAV_AGENT_VAR_TMP_DIR    locations (likewise /var/tmp and /dev/shm); in test mode a
  TSAV_AGENT_SHM_DIR        shared location without a stand-in, and the system directories
                            of the full scan, are left out
  TSAV_AGENT_CLAMD_SOCKET   a clamd to use instead of the system one (default: the
                            LocalSocket of /etc/clamav/clamd.conf; none in test mode)
  TSAV_AGENT_CLAMD          clamd program for the private clamd (default: clamd on PATH
                            or in /usr/sbin; "" = none, as on a system without ClamAV)
  TSAV_AGENT_CLAMAV_SYSTEM_DB  system database directory (default /var/lib/clamav; none in
                            test mode)
Test mode only, besides the stand-ins above:
  TSAV_AGENT_CRONTAB        stands in for the user's crontab in the cron spool
  TSAV_AGENT_BUSY_SECONDS   how long a process must hold a core to count as busy (30)
  TSAV_AGENT_MAX_WATCHES    cap on directories real-time protection watches (8192)
  TSAV_AGENT_TELEMETRY_INTERVAL, TSAV_AGENT_FIRST_FIT, TSAV_AGENT_MISSED_SCAN_DELAY,
  TSAV_AGENT_FIRST_BYTE_TIMEOUT, TSAV_AGENT_REQUEST_TIMEOUT   shorter timers
  TSAV_AGENT_TIMERS=production  keep every timer as outside test mode (benchmarks)
  TSAV_AGENT_SYSLOG_SOCKET  stands in for /dev/log as the local syslog socket that
                            records are forwarded to
  and the file "inotify.pause" in the data directory holds real-time protection's
  reading of inotify events while it exists (to overflow the kernel's queue on purpose).
"""

import os
import shutil
import subprocess
from dataclasses import dataclass, field

SOCKET_SUFFIX = "Library/Application Support/TessalyAntivirus/agent.sock"


def home_dir() -> str:
    return os.environ.get("HOME") or os.path.expanduser("~")


def default_socket_path() -> str:
    return os.path.join(home_dir(), SOCKET_SUFFIX)


def default_data_dir() -> str:
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(home_dir(), ".local", "share")
    return os.path.join(base, "tessaly-agent")


SHARED_TEMP_DIRS = ("/tmp", "/var/tmp", "/dev/shm")
SYSTEM_LOCATIONS = ("/usr/local", "/opt", "/srv")
SHELL_STARTUP_FILES = (".bashrc", ".bash_profile", ".bash_login", ".profile", ".zshrc", ".zprofile", ".zshenv")


def config_home() -> str:
    value = os.environ.get("XDG_CONFIG_HOME", "")
    return value if value.startswith("/") else os.path.join(home_dir(), ".config")


def _user_dirs_file(name: str):
    """XDG_<name>_DIR from user-dirs.dirs, read as xdg-user-dir reads it (without running it)."""
    try:
        with open(os.path.join(config_home(), "user-dirs.dirs"), "rb") as fh:
            data = fh.read(65536)
    except OSError:
        return None
    prefix = f"XDG_{name}_DIR=".encode()
    for line in data.splitlines():
        line = line.strip()
        if line.startswith(prefix):
            value = line[len(prefix):].strip().strip(b'"')
            if value.startswith(b"$HOME"):
                value = os.fsencode(home_dir()) + value[5:]
            return os.fsdecode(value) if value.startswith(b"/") else None
    return None


def xdg_user_dir(name: str, fallback: str) -> str:
    """An XDG user directory (DOWNLOAD, DESKTOP, …) as `xdg-user-dir` names it, in this user's language
    (~/Descărcări on a Romanian desktop); user-dirs.dirs itself where xdg-user-dir is not installed.

    `xdg-user-dir` answers HOME for a directory that is not configured; that (or no answer) means
    the English default under HOME.
    """
    home = home_dir()
    path = None
    program = shutil.which("xdg-user-dir")
    if program:
        try:
            out = subprocess.run([program, name], capture_output=True, timeout=5, env=dict(os.environ, HOME=home))
            if out.returncode == 0:
                path = os.fsdecode(out.stdout.rstrip(b"\n"))
        except (OSError, subprocess.SubprocessError):
            pass
    else:
        path = _user_dirs_file(name)
    if path and path.startswith("/") and os.path.normpath(path) != os.path.normpath(home):
        return os.path.normpath(path)
    return os.path.join(home, fallback)


def crontab_spool() -> str | None:
    """This user's crontab in the cron spool, when the agent may read it."""
    try:
        import pwd
        user = pwd.getpwuid(os.geteuid()).pw_name
    except (KeyError, ImportError):
        return None
    path = os.path.join("/var/spool/cron/crontabs", user)
    return path if os.access(path, os.R_OK) else None


def quick_scan_locations() -> list[str]:
    """What an attacker uses to land and to stay; real-time protection watches the same places.

    Directories and single files (shell start-up files, the crontab) are mixed; a location that
    does not exist (yet) is kept, so that it is picked up when it appears.
    """
    home = home_dir()
    locations = [
        xdg_user_dir("DOWNLOAD", "Downloads"),
        xdg_user_dir("DESKTOP", "Desktop"),
        os.path.join(config_home(), "autostart"),
        os.path.join(home, ".local", "bin"),
        os.path.join(config_home(), "systemd", "user"),
    ]
    locations += [os.path.join(home, name) for name in SHELL_STARTUP_FILES]
    spool = crontab_spool()
    if spool:
        locations.append(spool)
    locations += SHARED_TEMP_DIRS
    return list(dict.fromkeys(locations))


def full_scan_locations() -> list[str]:
    return [home_dir(), *SYSTEM_LOCATIONS, *SHARED_TEMP_DIRS]


def test_mode_locations(locations: list[str], stand_ins: dict) -> list[str]:
    """Test mode keeps scans and watches inside the test's own directories.

    A shared temporary directory is replaced by its stand-in (or left out without one); every other
    location outside HOME (system directories, the cron spool) is left out.
    """
    home = home_dir().rstrip("/") + "/"
    result = []
    for path in locations:
        if path in SHARED_TEMP_DIRS:
            if stand_ins.get(path):
                result.append(stand_ins[path])
        elif path.startswith(home) or path == home.rstrip("/"):
            result.append(path)
    return result


@dataclass
class Config:
    socket_path: str = field(default_factory=default_socket_path)
    data_dir: str = field(default_factory=default_data_dir)
    test_mode: bool = False
    fault: str = ""
    allow_isolation: bool = False
    exit_after: float = 0.0
    # Request limits.
    max_request_bytes: int = 1 << 20
    first_byte_timeout: float = 5.0
    request_timeout: float = 10.0
    # Past `busy_connections` open connections the agent is busy: a new connection must send
    # its first byte within `busy_first_byte_timeout`. At `max_connections` the connection
    # that has waited longest without a complete request makes room for the newcomer.
    busy_connections: int = 64
    busy_first_byte_timeout: float = 0.5
    max_connections: int = 512
    max_buffered_bytes: int = 64 << 20
    handler_threads: int = 4
    first_sample_timeout: float = 15.0
    # Timers (seconds).
    telemetry_interval: float = 2.0
    train_interval: float = 30.0  # behaviour-model samples from a full pass at most this often
    behavior_first_fit: float = 10.0
    behavior_refit_interval: float = 600.0
    scheduler_tick: float = 30.0
    missed_scan_delay: float = 60.0
    # Forwarding to syslog: how often forward.conf is looked at, how long an empty
    # queue waits before it looks again, the longest pause between reconnects, and how
    # long a connection must stay up after the receiver's host acknowledged a batch
    # before the batch leaves the queue (a receiver that dies meanwhile gets it again).
    forward_reload_interval: float = 1.0
    forward_idle_interval: float = 0.5
    forward_retry_max: float = 30.0
    forward_commit_grace: float = 0.25
    syslog_socket: str = "/dev/log"
    # Scanning.
    max_full_hash_bytes: int = 64 << 20
    yara_window_bytes: int = 8 << 20
    quick_locations: list = field(default_factory=quick_scan_locations)
    full_locations: list = field(default_factory=full_scan_locations)
    # Watching.
    temp_dirs: tuple = SHARED_TEMP_DIRS  # where a binary adds to an unusual score (stand-ins in test mode)
    crontab: str | None = field(default_factory=crontab_spool)
    busy_seconds: float = 30.0
    max_watches: int = 8192
    # ClamAV.
    clamd_socket: str = ""  # a clamd that is not ours (the system one)
    clamd_bin: str | None = None  # None: look it up
    clamav_system_db: str = "/var/lib/clamav"

    @classmethod
    def from_env(cls, **overrides) -> "Config":
        env = os.environ
        cfg = cls()
        if env.get("TSAV_AGENT_SOCKET"):
            cfg.socket_path = env["TSAV_AGENT_SOCKET"]
        if env.get("TSAV_AGENT_DATA_DIR"):
            cfg.data_dir = env["TSAV_AGENT_DATA_DIR"]
        cfg.test_mode = env.get("TSAV_AGENT_TEST_MODE") == "1"
        cfg.allow_isolation = env.get("TSAV_AGENT_ALLOW_ISOLATION") == "1"
        if cfg.test_mode:
            cfg.fault = env.get("TSAV_AGENT_FAULT", "")
            cfg.max_watches = int(env.get("TSAV_AGENT_MAX_WATCHES", "8192"))
            cfg.busy_seconds = float(env.get("TSAV_AGENT_BUSY_SECONDS", "30"))
            cfg.syslog_socket = env.get("TSAV_AGENT_SYSLOG_SOCKET", "")
            if env.get("TSAV_AGENT_TIMERS") != "production":
                cfg.telemetry_interval = float(env.get("TSAV_AGENT_TELEMETRY_INTERVAL", "1.0"))
                cfg.train_interval = 5.0
                cfg.scheduler_tick = 1.0
                cfg.behavior_first_fit = float(env.get("TSAV_AGENT_FIRST_FIT", "10.0"))
                cfg.missed_scan_delay = float(env.get("TSAV_AGENT_MISSED_SCAN_DELAY", "2.0"))
                cfg.forward_idle_interval = 0.1
                cfg.forward_retry_max = 0.5
                cfg.first_byte_timeout = float(env.get("TSAV_AGENT_FIRST_BYTE_TIMEOUT", "2.0"))
                cfg.request_timeout = float(env.get("TSAV_AGENT_REQUEST_TIMEOUT", "4.0"))
            # Keep scans and watches of a test away from the real shared directories and the system.
            stand_ins = {"/tmp": env.get("TSAV_AGENT_TMP_DIR"), "/var/tmp": env.get("TSAV_AGENT_VAR_TMP_DIR"),
                         "/dev/shm": env.get("TSAV_AGENT_SHM_DIR")}
            cfg.quick_locations = test_mode_locations(cfg.quick_locations, stand_ins)
            cfg.full_locations = test_mode_locations(cfg.full_locations, stand_ins)
            cfg.temp_dirs = tuple(v for v in stand_ins.values() if v)
            cfg.crontab = env.get("TSAV_AGENT_CRONTAB") or None
            if cfg.crontab:
                cfg.quick_locations.append(cfg.crontab)
            cfg.clamav_system_db = env.get("TSAV_AGENT_CLAMAV_SYSTEM_DB", "")
        else:
            from .clamd import system_socket
            cfg.clamd_socket = system_socket()
            cfg.clamav_system_db = env.get("TSAV_AGENT_CLAMAV_SYSTEM_DB", cfg.clamav_system_db)
        if env.get("TSAV_AGENT_CLAMD_SOCKET"):
            cfg.clamd_socket = env["TSAV_AGENT_CLAMD_SOCKET"]
        if "TSAV_AGENT_CLAMD" in env:
            cfg.clamd_bin = env["TSAV_AGENT_CLAMD"]
        for key, value in overrides.items():
            if value is not None:
                setattr(cfg, key, value)
        return cfg
