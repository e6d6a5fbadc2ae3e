"""Detection engines: "signature" (ClamAV, see clamav.py), "yara", "behavior" and "network".

Each engine answers a question about one object (file bytes, a process's
features, a remote address) and returns detections; recording threats and
acting on them belongs to the caller.
"""

import ipaddress
import logging
import math
import os
import threading
import time
from dataclasses import dataclass

log = logging.getLogger("agent.engines")

PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
BUNDLED_INTEL = os.path.join(PACKAGE_DIR, "data", "threat_intel.txt")
BUNDLED_RULES = os.path.join(PACKAGE_DIR, "rules", "bundled.yar")
SEVERITY_WORDS = ("critical", "high", "medium", "low")
SEVERITY_RANK = {word: rank for rank, word in enumerate(SEVERITY_WORDS)}  # 0 is the most severe
MAX_LIST_LINES = 200_000


@dataclass
class Detection:
    engine: str
    severity: str
    signature: str
    description: str


def _list_lines(path):
    """Non-comment lines of a list file (missing file: none)."""
    try:
        with open(path, encoding="utf-8", errors="replace") as fh:
            for number, line in enumerate(fh):
                if number >= MAX_LIST_LINES:
                    log.warning("%s: only the first %d lines are read", path, MAX_LIST_LINES)
                    break
                line = line.strip()
                if line and not line.startswith("#"):
                    yield line
    except FileNotFoundError:
        return
    except OSError as exc:
        log.warning("cannot read %s: %s", path, exc)


class YaraEngine:
    """Bundled rules plus every *.yar / *.yara file of the user's rules directory."""

    name = "yara"

    def __init__(self, user_dir: str):
        import yara  # python3-yara
        self._yara = yara
        self.user_dir = user_dir
        self.rules = []
        self.errors = []
        self.reload()

    def reload(self):
        rules, errors = [], []
        rules.append(self._yara.compile(filepath=BUNDLED_RULES))
        try:
            names = sorted(os.listdir(self.user_dir))
        except OSError:
            names = []
        for name in names:
            if not name.endswith((".yar", ".yara")):
                continue
            path = os.path.join(self.user_dir, name)
            try:
                rules.append(self._yara.compile(filepath=path))
            except (self._yara.Error, OSError) as exc:
                errors.append(f"{name}: {exc}")
                log.warning("user rule file %s skipped: %s", path, exc)
        self.rules, self.errors = rules, errors

    def check(self, data: bytes) -> list:
        found = []
        for compiled in self.rules:
            try:
                matches = compiled.match(data=data, timeout=10)
            except self._yara.Error as exc:
                log.debug("yara match failed: %s", exc)
                continue
            for m in matches:
                meta = m.meta or {}
                severity = str(meta.get("severity", "medium")).lower()
                if severity not in SEVERITY_WORDS:
                    severity = "medium"
                found.append(Detection("yara", severity, m.rule, str(meta.get("description", m.rule))))
        return found

    def health(self) -> tuple[str, str]:
        n = len(self.errors)
        if n:
            return "degraded", f"{n} user rule{'s' if n != 1 else ''} failed to compile"
        return "ok", ""


def read_window(fd: int, size: int, window: int) -> bytes:
    """The first `window` bytes of an open file, read without moving its offset."""
    chunks, offset, want = [], 0, min(size, window) if size else window
    while offset < want:
        chunk = os.pread(fd, min(1 << 20, want - offset), offset)
        if not chunk:
            break
        chunks.append(chunk)
        offset += len(chunk)
    return b"".join(chunks)


class NetworkIntel:
    """Remote addresses against the bundled list plus the user's list."""

    name = "network"

    def __init__(self, user_list: str):
        self.user_list = user_list
        self.networks = []
        self.reload()

    def reload(self):
        networks = []
        for path in (BUNDLED_INTEL, self.user_list):
            for line in _list_lines(path):
                parts = line.split(None, 1)
                try:
                    net = ipaddress.ip_network(parts[0], strict=False)
                except ValueError:
                    log.warning("%s: ignoring malformed address %r", path, parts[0][:64])
                    continue
                reason = parts[1] if len(parts) > 1 else "listed in threat intelligence"
                networks.append((net, reason))
        # Most specific first so the reason of a narrow entry wins.
        networks.sort(key=lambda item: item[0].prefixlen, reverse=True)
        self.networks = networks

    def check(self, address: str):
        try:
            ip = ipaddress.ip_address(address.split("%", 1)[0])
        except ValueError:
            return None
        if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped is not None:
            ip = ip.ipv4_mapped
        for net, reason in self.networks:
            if ip.version == net.version and ip in net:
                return reason
        return None


# --- behaviour -------------------------------------------------------------

TEMP_DIRS = ("/tmp/", "/var/tmp/", "/dev/shm/")
SHELLS = {"sh", "bash", "dash", "zsh", "ksh", "fish", "nc", "ncat", "netcat", "socat", "python", "python3", "perl"}


def process_features(p: dict) -> list:
    """Numeric features of one process sample (see BehaviorEngine)."""
    return [
        math.log1p(max(0.0, p.get("cpu", 0.0))),
        math.log1p(max(0, p.get("rss", 0)) / 1048576.0),
        math.log1p(max(0, p.get("threads", 0))),
        math.log1p(max(0, p.get("open_files", 0))),
        math.log1p(max(0, p.get("connections", 0))),
        math.log1p(max(0.0, p.get("age", 0.0)) / 60.0),
    ]


def heuristic_bonus(p: dict) -> tuple[float, list]:
    """Traits that an Isolation Forest trained on this host cannot learn from absence."""
    bonus, reasons = 0.0, []
    exe = p.get("exe") or ""
    if exe.endswith(" (deleted)") or p.get("exe_deleted"):
        bonus += 0.3
        reasons.append("runs from a deleted executable")
    if exe.startswith(TEMP_DIRS):
        bonus += 0.25
        reasons.append("executable in a world-writable temporary directory")
    if p.get("name") in SHELLS and p.get("connections", 0) > 0 and p.get("stdin_socket"):
        bonus += 0.35
        reasons.append("shell with its input on a network socket")
    if p.get("intel_hit"):
        bonus += 0.3
        reasons.append("talks to an address on the threat-intelligence list")
    return bonus, reasons


class BehaviorEngine:
    """Isolation Forest fitted on this host's own process samples.

    Raw anomaly scores (0..1, 0.5 ~ ordinary) are calibrated against the
    training set: the median maps to 0, the most unusual training sample to
    0.8, and only samples clearly beyond anything seen on the host approach 1.
    Ordinary processes therefore stay well below the 0.93 auto-kill line.
    """

    name = "behavior"
    MAX_SAMPLES = 2000
    ESTIMATORS = 50

    def __init__(self):
        self.lock = threading.Lock()
        self.samples = []
        self.model = None
        self.median = 0.5
        self.top = 0.6
        self.fitted_at = 0.0
        self.fit_seconds = 0.0
        self.on_first_fit = None  # callable(engine), told once the first model is ready

    def add_samples(self, rows: list):
        with self.lock:
            self.samples.extend(process_features(r) for r in rows)
            if len(self.samples) > self.MAX_SAMPLES:
                del self.samples[: len(self.samples) - self.MAX_SAMPLES]

    def fit(self):
        """Fits a new model from the collected samples (runs off the request path)."""
        import numpy as np
        from sklearn.ensemble import IsolationForest

        with self.lock:
            data = list(self.samples)
        if len(data) < 16:
            return False
        started = time.monotonic()
        x = np.asarray(data, dtype=float)
        model = IsolationForest(n_estimators=self.ESTIMATORS, max_samples=min(256, len(x)), random_state=7,
                                n_jobs=1)
        model.fit(x)
        raw = -model.score_samples(x)
        median = float(np.median(raw))
        top = float(np.max(raw))
        with self.lock:
            self.model, self.median, self.top = model, median, max(top, median + 0.05)
            self.fitted_at = time.time()
            self.fit_seconds = time.monotonic() - started
        return True

    def run(self, stop: threading.Event, first_fit: float, refit_interval: float):
        """Fits in its own thread so neither requests nor telemetry wait for scikit-learn."""
        if stop.wait(first_fit):
            return
        first = True
        while not stop.is_set():
            try:
                fitted = self.fit()
                if fitted and first and self.on_first_fit is not None:
                    first = False
                    self.on_first_fit(self)
            except Exception:
                log.exception("behaviour model fit failed")
                fitted = False
            stop.wait(refit_interval if fitted else 2.0)

    def calibrate(self, raw: float) -> float:
        r = (raw - self.median) / (self.top - self.median)
        if r <= 0:
            return 0.0
        if r <= 1:
            return 0.8 * r
        return 0.8 + 0.2 * (1.0 - math.exp(-3.0 * (r - 1.0)))

    def score(self, rows: list) -> list:
        """Scores in 0..1 for each process dict; heuristics add to the model's score."""
        import numpy as np

        with self.lock:
            model = self.model
        base = [0.0] * len(rows)
        if model is not None and rows:
            raw = -model.score_samples(np.asarray([process_features(r) for r in rows], dtype=float))
            base = [self.calibrate(float(v)) for v in raw]
        result = []
        for r, b in zip(rows, base):
            bonus, _ = heuristic_bonus(r)
            result.append(min(1.0, max(0.0, b + bonus)))
        return result
