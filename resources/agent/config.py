"""Where the agent keeps things and the knobs that tests may turn.

Environment (all optional):
  TSAV_AGENT_DATA_DIR       data directory (default: $XDG_DATA_HOME/tessaly-agent)
  TSAV_AGENT_SOCKET         socket path (default: the console's path under $HOME)
  TSAV_AGENT_TEST_MODE=1    bounded test mode: faster timers, test hooks honoured,
                            host isolation never applied
  TSAV_AGENT_FAULT          fault injection, test mode only:
                            "kill:<move|restore|delete|detect>:<step>" SIGKILLs the
                            agent at that step, "enospc:<n>" makes the n-th vault
                            write fail with ENOSPC
  TSAV_AGENT_ALLOW_ISOLATION=1  opt-in needed before the kill switch touches nftables
  TSAV_AGENT_HOT_NAMES      test mode only: process names scored 0.99 by the
                            behaviour engine (to exercise auto-kill on a child)
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


def xdg_user_dir(name: str, fallback: str) -> str:
    """An XDG user directory (DOWNLOAD, DESKTOP, …) as `xdg-user-dir` names it, in this user's language.

    `xdg-user-dir` answers HOME for a directory that is not configured; that (or no answer) means
    the English default under HOME.
    """
    home = home_dir()
    program = shutil.which("xdg-user-dir")
    if program:
        try:
            out = subprocess.run([program, name], capture_output=True, timeout=5, env=dict(os.environ, HOME=home))
            path = os.fsdecode(out.stdout.rstrip(b"\n"))
            if out.returncode == 0 and path.startswith("/") and os.path.normpath(path) != os.path.normpath(home):
                return os.path.normpath(path)
        except (OSError, subprocess.SubprocessError):
            pass
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
        os.path.join(home, ".config", "autostart"),
        os.path.join(home, ".local", "bin"),
        os.path.join(home, ".config", "systemd", "user"),
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
    hot_names: frozenset = frozenset()
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
    behavior_first_fit: float = 10.0
    behavior_refit_interval: float = 600.0
    scheduler_tick: float = 30.0
    missed_scan_delay: float = 60.0
    outbox_interval: float = 300.0
    # Scanning.
    max_full_hash_bytes: int = 64 << 20
    yara_window_bytes: int = 8 << 20
    quick_locations: list = field(default_factory=quick_scan_locations)
    full_locations: list = field(default_factory=full_scan_locations)
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
            names = env.get("TSAV_AGENT_HOT_NAMES", "")
            cfg.hot_names = frozenset(n for n in names.split(",") if n)
            cfg.telemetry_interval = float(env.get("TSAV_AGENT_TELEMETRY_INTERVAL", "1.0"))
            cfg.scheduler_tick = 1.0
            cfg.behavior_first_fit = float(env.get("TSAV_AGENT_FIRST_FIT", "10.0"))
            cfg.missed_scan_delay = float(env.get("TSAV_AGENT_MISSED_SCAN_DELAY", "2.0"))
            cfg.outbox_interval = 2.0
            cfg.first_byte_timeout = float(env.get("TSAV_AGENT_FIRST_BYTE_TIMEOUT", "2.0"))
            cfg.request_timeout = float(env.get("TSAV_AGENT_REQUEST_TIMEOUT", "4.0"))
            # Keep scans and watches of a test away from the real shared directories and the system.
            stand_ins = {"/tmp": env.get("TSAV_AGENT_TMP_DIR"), "/var/tmp": env.get("TSAV_AGENT_VAR_TMP_DIR"),
                         "/dev/shm": env.get("TSAV_AGENT_SHM_DIR")}
            cfg.quick_locations = test_mode_locations(cfg.quick_locations, stand_ins)
            cfg.full_locations = test_mode_locations(cfg.full_locations, stand_ins)
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
