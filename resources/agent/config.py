"""Where the agent keeps things, what it watches, and the knobs that tests may turn.

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
Test mode only:
  TSAV_AGENT_TMP_DIR, TSAV_AGENT_VAR_TMP_DIR, TSAV_AGENT_SHM_DIR
                            stand in for /tmp, /var/tmp and /dev/shm wherever the agent
                            watches, scans or judges a temporary directory; a shared
                            temporary directory without a stand-in is left out, and so
                            are /usr/local, /opt and /srv from the full scan
  TSAV_AGENT_CRON_DIR       stands in for the crontab spool (none without it)
  TSAV_AGENT_BUSY_SECONDS   how long a process must hold a core to count as busy (30)
  TSAV_AGENT_MAX_WATCHES    cap on directories real-time protection watches (8192)
  TSAV_AGENT_TELEMETRY_INTERVAL, TSAV_AGENT_FIRST_FIT, TSAV_AGENT_MISSED_SCAN_DELAY,
  TSAV_AGENT_FIRST_BYTE_TIMEOUT, TSAV_AGENT_REQUEST_TIMEOUT   shorter timers
  TSAV_AGENT_TIMERS=production  keep every timer as outside test mode (benchmarks)
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


TEMP_DIRS = ("/tmp", "/var/tmp", "/dev/shm")
SHELL_STARTUP_FILES = (".bashrc", ".profile", ".zshrc")
CRONTAB_SPOOLS = ("/var/spool/cron/crontabs", "/var/spool/cron")  # Debian, then Fedora and Arch


def config_home() -> str:
    value = os.environ.get("XDG_CONFIG_HOME", "")
    return value if value.startswith("/") else os.path.join(home_dir(), ".config")


def _user_dirs_file(key: str):
    """XDG_<key>_DIR from user-dirs.dirs, read as xdg-user-dir reads it (without running it)."""
    try:
        with open(os.path.join(config_home(), "user-dirs.dirs"), "rb") as fh:
            data = fh.read(65536)
    except OSError:
        return None
    prefix = f"XDG_{key}_DIR=".encode()
    for line in data.splitlines():
        line = line.strip()
        if not line.startswith(prefix):
            continue
        value = line[len(prefix):].strip().strip(b'"')
        if value.startswith(b"$HOME"):
            value = os.fsencode(home_dir()) + value[5:]
        return os.fsdecode(value) if value.startswith(b"/") else None
    return None


def xdg_user_dir(key: str, fallback: str) -> str:
    """A folder of the XDG user-dirs spec (DOWNLOAD, DESKTOP…), e.g. ~/Descărcări on a Romanian desktop.

    Asks xdg-user-dir when installed, else reads user-dirs.dirs; a folder that is unset
    or HOME itself means ~/`fallback`.
    """
    home = home_dir()
    path = None
    tool = shutil.which("xdg-user-dir")
    if tool:
        try:
            out = subprocess.run([tool, key], capture_output=True, timeout=5, env=dict(os.environ, HOME=home))
            text = os.fsdecode(out.stdout.rstrip(b"\n"))
            if out.returncode == 0 and text.startswith("/"):
                path = text
        except (OSError, subprocess.SubprocessError):
            path = None
    if path is None:
        path = _user_dirs_file(key)
    if not path or os.path.normpath(path) == os.path.normpath(home):
        return os.path.join(home, fallback)
    return os.path.normpath(path)


def crontab_spool() -> str | None:
    """The crontab spool directory when this user may list it (root usually; others may not)."""
    for path in CRONTAB_SPOOLS:
        if os.path.isdir(path) and os.access(path, os.R_OK | os.X_OK):
            return path
    return None


def persistence_locations() -> list[str]:
    """Where a program is made to start again: autostart entries, user units, ~/.local/bin."""
    conf = config_home()
    return [os.path.join(conf, "autostart"), os.path.join(home_dir(), ".local", "bin"),
            os.path.join(conf, "systemd", "user")]


def quick_scan_locations(temp_dirs=TEMP_DIRS, cron=None) -> list[str]:
    """What a quick scan covers and real-time protection watches: where files land and where they stay."""
    home = home_dir()
    spool = crontab_spool() if cron is None else cron
    return ([xdg_user_dir("DOWNLOAD", "Downloads"), xdg_user_dir("DESKTOP", "Desktop")]
            + persistence_locations() + ([spool] if spool else [])
            + [os.path.join(home, name) for name in SHELL_STARTUP_FILES] + list(temp_dirs))


SYSTEM_DIRS = ("/usr/local", "/opt", "/srv")


def full_scan_locations(temp_dirs=TEMP_DIRS, system_dirs=SYSTEM_DIRS) -> list[str]:
    return [home_dir()] + list(system_dirs) + list(temp_dirs)


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
    outbox_interval: float = 300.0
    # Scanning.
    max_full_hash_bytes: int = 64 << 20
    yara_window_bytes: int = 8 << 20
    quick_locations: list = field(default_factory=list)  # empty: the standard places
    full_locations: list = field(default_factory=list)
    # Watching.
    temp_dirs: tuple = TEMP_DIRS
    cron_dir: str | None = None  # None: the system's spool when readable; "": none
    system_dirs: tuple = SYSTEM_DIRS
    busy_seconds: float = 30.0
    max_watches: int = 8192

    def __post_init__(self):
        if not self.quick_locations:
            self.quick_locations = quick_scan_locations(self.temp_dirs, self.cron_dir)
        if not self.full_locations:
            self.full_locations = full_scan_locations(self.temp_dirs, self.system_dirs)

    @classmethod
    def from_env(cls, **overrides) -> "Config":
        env = os.environ
        test_mode = env.get("TSAV_AGENT_TEST_MODE") == "1"
        if test_mode:
            # Keep scans, watches and judgements of a test away from the machine's shared directories.
            stand_ins = {"/tmp": env.get("TSAV_AGENT_TMP_DIR"), "/var/tmp": env.get("TSAV_AGENT_VAR_TMP_DIR"),
                         "/dev/shm": env.get("TSAV_AGENT_SHM_DIR")}
            cfg = cls(temp_dirs=tuple(v for v in stand_ins.values() if v), cron_dir=env.get("TSAV_AGENT_CRON_DIR", ""),
                      system_dirs=())
        else:
            cfg = cls()
        if env.get("TSAV_AGENT_SOCKET"):
            cfg.socket_path = env["TSAV_AGENT_SOCKET"]
        if env.get("TSAV_AGENT_DATA_DIR"):
            cfg.data_dir = env["TSAV_AGENT_DATA_DIR"]
        cfg.test_mode = test_mode
        cfg.allow_isolation = env.get("TSAV_AGENT_ALLOW_ISOLATION") == "1"
        if cfg.test_mode:
            cfg.fault = env.get("TSAV_AGENT_FAULT", "")
            cfg.max_watches = int(env.get("TSAV_AGENT_MAX_WATCHES", "8192"))
        if cfg.test_mode and env.get("TSAV_AGENT_TIMERS") != "production":
            cfg.telemetry_interval = float(env.get("TSAV_AGENT_TELEMETRY_INTERVAL", "1.0"))
            cfg.train_interval = 5.0
            cfg.scheduler_tick = 1.0
            cfg.behavior_first_fit = float(env.get("TSAV_AGENT_FIRST_FIT", "10.0"))
            cfg.missed_scan_delay = float(env.get("TSAV_AGENT_MISSED_SCAN_DELAY", "2.0"))
            cfg.outbox_interval = 2.0
            cfg.first_byte_timeout = float(env.get("TSAV_AGENT_FIRST_BYTE_TIMEOUT", "2.0"))
            cfg.request_timeout = float(env.get("TSAV_AGENT_REQUEST_TIMEOUT", "4.0"))
            cfg.busy_seconds = float(env.get("TSAV_AGENT_BUSY_SECONDS", "30"))
        for key, value in overrides.items():
            if value is not None:
                setattr(cfg, key, value)
        return cfg
