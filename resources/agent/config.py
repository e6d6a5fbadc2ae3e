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
  TSAV_AGENT_TMP_DIR        test mode only: stands in for /tmp among the quick-scan
                            locations
"""

import os
from dataclasses import dataclass, field

SOCKET_SUFFIX = "Library/Application Support/TessalyAntivirus/agent.sock"


def home_dir() -> str:
    return os.environ.get("HOME") or os.path.expanduser("~")


def default_socket_path() -> str:
    return os.path.join(home_dir(), SOCKET_SUFFIX)


def default_data_dir() -> str:
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(home_dir(), ".local", "share")
    return os.path.join(base, "tessaly-agent")


def quick_scan_locations() -> list[str]:
    home = home_dir()
    return [os.path.join(home, "Downloads"), os.path.join(home, "Desktop"), "/tmp"]


def full_scan_locations() -> list[str]:
    return [home_dir(), "/Applications"]


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
            # Keep scans and watches of a test away from the real /tmp.
            tmp = env.get("TSAV_AGENT_TMP_DIR")
            if tmp:
                cfg.quick_locations = [tmp if p == "/tmp" else p for p in cfg.quick_locations]
        for key, value in overrides.items():
            if value is not None:
                setattr(cfg, key, value)
        return cfg
