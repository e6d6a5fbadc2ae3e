"""The behaviour engine: signals of hostile processes plus a model of this host.

A process's score is the sum of

- signals, each with its own weight and a reason a person can check: a shell
  or interpreter whose standard input or output is a network connection, an
  executable that lives only in memory or was deleted, a process named or
  invoked like a cryptocurrency miner, a connection to a mining-pool port or
  to an address on the threat-intelligence list, and a binary in a temporary
  directory that has held a CPU core busy for a long time;
- the host-trained part: an Isolation Forest fitted on this host's own
  processes, which says how unusual the process looks here (at most
  MODEL_WEIGHT, so it can never make a threat by itself);
- amplifiers, which count only when the two above already make the process
  unusual (UNUSUAL): running from a temporary directory, holding a core busy.

Processes of the console and its tools, of the agent itself, their descendants
and executables on the allow-list never become threats.
"""

import logging
import math
import os
import random
import re
import threading
import time
from dataclasses import dataclass, field

log = logging.getLogger("agent.behavior")

THREAT_LINE = 0.90
MODEL_WEIGHT = 0.5
UNUSUAL = 0.4
TRUSTED_PROGRAMS = frozenset(("tessaly-antivirus", "tessaly-ctl", "tessaly-snapshot"))
SHELLS = frozenset(("sh", "bash", "dash", "zsh", "ksh", "mksh", "ash", "fish", "tcsh", "csh", "busybox"))
INTERPRETER = re.compile(r"^(python[0-9.]*|perl[0-9.]*|ruby[0-9.]*|php[0-9.]*|node|nodejs|lua[0-9.]*|tclsh[0-9.]*"
                         r"|awk|gawk|mawk|irb|pwsh)$")
RELAYS = frozenset(("nc", "ncat", "netcat", "nc.traditional", "nc.openbsd", "socat"))
MINER_NAMES = frozenset((
    "xmrig", "xmrig-notls", "xmrig-cuda", "xmr-stak", "xmr-stak-rx", "xmr-stak-cpu", "minerd", "cpuminer",
    "cpuminer-multi", "cpuminer-opt", "cgminer", "bfgminer", "ccminer", "ethminer", "nheqminer", "t-rex",
    "nbminer", "lolminer", "phoenixminer", "nanominer", "teamredminer", "srbminer", "srbminer-multi",
    "gminer", "kawpowminer", "wildrig", "xmrminer", "kdevtmpfsi", "kinsing",
))
# Options only miners take: a pool URL, their donation switch, proof-of-work algorithm names.
MINER_ARGS = re.compile(r"stratum[0-9]?\+(tcp|ssl|tls)://|^--donate-level|^--(randomx|cpu-max-threads-hint)"
                        r"|^(-a|--algo)=?(rx/|cn/|cryptonight|randomx|ethash|kawpow)", re.I)
# Ports that mining pools listen on and ordinary services do not.
STRATUM_PORTS = frozenset((3333, 3334, 3357, 5555, 7777, 14433, 14444, 45560, 45700))


def _basename(path: str) -> str:
    return path.rstrip("/").rsplit("/", 1)[-1]


def executable_path(exe: str | None) -> str:
    """The executable's path without the kernel's " (deleted)" suffix."""
    if not exe:
        return ""
    return exe[:-len(" (deleted)")] if exe.endswith(" (deleted)") else exe


@dataclass
class Process:
    """What the sampler knows about one live process; `signals` is filled by the engine."""
    pid: int
    ppid: int
    name: str
    uid: int | None
    exe: str | None  # as /proc/<pid>/exe reads, None when hidden
    start: float  # epoch seconds
    cmdline: list = field(default_factory=list)
    cpu: float = 0.0  # percent of one core over the last interval
    rss: int = 0
    threads: int = 0
    open_files: int = 0
    connections: int = 0
    busy_seconds: float = 0.0  # how long it has wanted a whole core
    stdio_peer: str | None = None  # remote end of a network connection on descriptor 0 or 1
    remotes: list = field(default_factory=list)  # (endpoint text, port, intel reason or None)
    exe_gone: bool = False  # deleted and nothing at its path any more
    kernel: bool = False
    score: float = 0.0
    reasons: list = field(default_factory=list)
    static: tuple | None = None  # static_signals(), kept until the process executes something else

    @property
    def program(self) -> str:
        """The file that runs: the script for an interpreter started on one, else the executable."""
        path = executable_path(self.exe)
        base = _basename(path)
        if len(self.cmdline) >= 2 and (base in SHELLS or INTERPRETER.match(base)):
            script = self.cmdline[1]
            # The kernel names a process after the script it runs (comm is cut at 15 bytes).
            if script.startswith("/") and _basename(script)[:15] == self.name:
                return script
        return path

    @property
    def age(self) -> float:
        return max(0.0, time.time() - self.start)


# -- signals --------------------------------------------------------------------------

def _is_shell(word: str) -> bool:
    base = _basename(word.split()[0]) if word.split() else ""
    return base in SHELLS or bool(INTERPRETER.match(base))


def _relay_runs_program(argv: list) -> bool:
    """nc/ncat -e or -c with a shell, ncat --exec/--sh-exec, socat EXEC:/SYSTEM: with a shell."""
    for i, arg in enumerate(argv[1:], 1):
        low = arg.lower()
        if low.startswith(("exec:", "system:")) and _is_shell(arg.split(":", 1)[1].strip("'\"")):
            return True
        if low.startswith(("--exec=", "--sh-exec=")) and _is_shell(arg.split("=", 1)[1]):
            return True
        option = low in ("--exec", "--sh-exec") or (low.startswith("-") and not low.startswith("--")
                                                    and low[-1] in "ec")
        if option and i + 1 < len(argv) and _is_shell(argv[i + 1]):
            return True
    return False


def static_signals(p: Process, temp_dirs) -> tuple[list, str | None]:
    """What a process's executable and arguments say; changes only when it executes something else."""
    found = []
    exe = p.exe or ""
    path = executable_path(exe)
    base = _basename(path)
    names = {p.name, base, _basename(p.cmdline[0]) if p.cmdline else ""}
    if names & RELAYS and _relay_runs_program(p.cmdline):
        found.append((0.95, "network relay that hands its connection to a program (" +
                      " ".join(p.cmdline[:4])[:120] + ")"))
    if path.startswith("/memfd:"):
        # Fileless, as droppers like it, but container runtimes and supervisors run sealed copies
        # of themselves this way too: suspicious, not proof.
        found.append((0.5, f"runs from a file that exists only in memory ({path})"))
    elif exe.endswith(" (deleted)") and p.exe_gone:
        found.append((0.5, f"runs from a deleted executable ({path})"))
    program = p.program
    miner = (names | {_basename(program)}) & MINER_NAMES
    if miner:
        found.append((0.95, f"named like a cryptocurrency miner ({sorted(miner)[0]})"))
    else:
        arg = next((a for a in p.cmdline[1:] if MINER_ARGS.search(a)), None)
        if arg is not None:
            found.append((0.95, f"invoked like a cryptocurrency miner ({arg[:80]})"))
    temp = next((d for d in temp_dirs if program.startswith(d.rstrip("/") + "/")), None)
    return found, temp


def signals(p: Process, temp_dirs, busy_limit: float, static=None) -> tuple[list, list]:
    """(signals, amplifiers): lists of (weight, reason) for one process."""
    found, temp = static if static is not None else static_signals(p, temp_dirs)
    found = list(found)
    if p.stdio_peer:
        found.insert(0, (0.97, f"shell or interpreter with its standard input/output on a network connection "
                               f"to {p.stdio_peer}"))
    pools = sorted({r[0] for r in p.remotes if r[1] in STRATUM_PORTS})
    if pools:
        found.append((0.6, f"connected to a mining-pool (stratum) port: {', '.join(pools[:3])}"))
    listed = [(r[0], r[2]) for r in p.remotes if r[2]]
    if listed:
        found.append((0.5, f"connected to {listed[0][0]}, on the threat-intelligence list ({listed[0][1]})"))
    amplify = []
    if temp is not None and p.busy_seconds >= busy_limit:
        found.append((0.92, f"binary in {temp} has kept a CPU core busy for {p.busy_seconds:.0f} s"))
    else:
        if temp is not None:
            amplify.append((0.25, f"runs from a temporary directory ({temp})"))
        if p.busy_seconds >= busy_limit:
            amplify.append((0.3, f"has kept a CPU core busy for {p.busy_seconds:.0f} s"))
    return found, amplify


def combine(model: float, found: list, amplify: list) -> tuple[float, list]:
    """Score in 0..1 and the reasons that made it."""
    score = model + sum(w for w, _ in found)
    reasons = [r for _, r in found]
    if score >= UNUSUAL and amplify:
        score += sum(w for w, _ in amplify)
        reasons += [r for _, r in amplify]
    if model >= 0.2 and reasons:
        reasons.append(f"unusual for this host (model {model / MODEL_WEIGHT:.2f})")
    return min(1.0, max(0.0, score)), reasons


def severity(score: float) -> str:
    return "critical" if score >= 0.97 else "high" if score >= 0.93 else "medium"


# -- the host-trained model --------------------------------------------------------------

def features(p: Process) -> tuple:
    """The numbers the model sees, on log scales, rounded so that an idle process keeps one vector."""
    def q(v, step):
        return round(v / step) * step
    return (q(math.log1p(max(0.0, p.cpu)), 0.5),
            q(math.log1p(max(0, p.rss) / 1048576.0), 0.25),
            q(math.log1p(max(0, p.threads)), 0.25),
            q(math.log1p(max(0, p.open_files)), 0.25),
            q(math.log1p(max(0, p.connections)), 0.25),
            q(math.log1p(p.age / 60.0), 0.5))


def _average_path(n: int) -> float:
    """c(n): average path length of an unsuccessful search in a binary search tree of n points."""
    if n <= 1:
        return 0.0
    if n == 2:
        return 1.0
    return 2.0 * (math.log(n - 1) + 0.5772156649015329) - 2.0 * (n - 1) / n


class IsolationForest:
    """Liu, Ting and Zhou's Isolation Forest (ICDM 2008) in plain Python.

    Each tree isolates a sub-sample by random axis-parallel splits; points that
    are isolated in few splits are unusual. score() is 2 ** (-E[h(x)] / c(psi)):
    about 0.5 for ordinary points, towards 1 for outliers. Trees are flat lists
    (feature, threshold, left, right, leaf value), so scoring is a short loop
    and the agent does not carry scikit-learn (~90 MB resident) for it.
    """

    def __init__(self, trees: int = 50, sample_size: int = 256, seed: int = 7):
        self.trees = trees
        self.sample_size = sample_size
        self.rng = random.Random(seed)
        self.forest = []
        self.norm = 1.0

    def fit(self, data: list) -> "IsolationForest":
        psi = min(self.sample_size, len(data))
        limit = math.ceil(math.log2(max(2, psi)))
        self.forest = [self._tree(self.rng.sample(data, psi), limit) for _ in range(self.trees)]
        self.norm = _average_path(psi)
        return self

    def _tree(self, rows, limit):
        feat, thr, left, right, value = [], [], [], [], []
        width = len(rows[0])

        def build(part, depth):
            node = len(feat)
            feat.append(-1)
            thr.append(0.0)
            left.append(0)
            right.append(0)
            value.append(depth + _average_path(len(part)))
            if depth >= limit or len(part) <= 1:
                return node
            spread = []
            for f in range(width):
                lo = min(r[f] for r in part)
                hi = max(r[f] for r in part)
                if hi > lo:
                    spread.append((f, lo, hi))
            if not spread:
                return node
            f, lo, hi = self.rng.choice(spread)
            split = self.rng.uniform(lo, hi)
            feat[node], thr[node] = f, split
            left[node] = build([r for r in part if r[f] < split], depth + 1)
            right[node] = build([r for r in part if r[f] >= split], depth + 1)
            return node

        build(rows, 0)
        return feat, thr, left, right, value

    def score(self, x) -> float:
        total = 0.0
        for feat, thr, left, right, value in self.forest:
            node = 0
            f = feat[0]
            while f >= 0:
                node = left[node] if x[f] < thr[node] else right[node]
                f = feat[node]
            total += value[node]
        return 2.0 ** (-(total / len(self.forest)) / self.norm)


class Model:
    """The forest fitted on this host's recent process samples, calibrated on them.

    Raw scores are mapped so that the median training sample gives 0, the most
    unusual one 0.8, and only processes clearly beyond anything seen here
    approach 1; the engine then weighs that by MODEL_WEIGHT.
    """

    MAX_SAMPLES = 2000
    TREES = 50

    def __init__(self):
        self.lock = threading.Lock()
        self.samples = []
        self.forest = None
        self.median = 0.5
        self.top = 0.6
        self.fitted_at = 0.0
        self.fit_seconds = 0.0
        self.generation = 0
        self._cache = {}
        self.on_first_fit = None  # callable(model), told once the first fit is ready

    def add_samples(self, vectors):
        with self.lock:
            self.samples.extend(vectors)
            if len(self.samples) > self.MAX_SAMPLES:
                del self.samples[: len(self.samples) - self.MAX_SAMPLES]

    def fit(self) -> bool:
        with self.lock:
            data = list(self.samples)
        if len(data) < 16:
            return False
        started = time.monotonic()
        forest = IsolationForest(self.TREES, 256, seed=7).fit(data)
        raw = sorted(forest.score(x) for x in data)
        median = raw[len(raw) // 2]
        top = raw[-1]
        with self.lock:
            self.forest, self.median, self.top = forest, median, max(top, median + 0.05)
            self.fitted_at = time.time()
            self.fit_seconds = time.monotonic() - started
            self.generation += 1
            self._cache = {}
        return True

    def run(self, stop: threading.Event, first_fit: float, refit_interval: float):
        """Fits in its own thread, first after `first_fit` seconds, then every `refit_interval`."""
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

    def unusual(self, vector) -> float:
        """0..1: how unusual this feature vector is on this host (0 before the first fit)."""
        with self.lock:
            forest = self.forest
            cached = self._cache.get(vector)
        if forest is None:
            return 0.0
        if cached is None:
            cached = self.calibrate(forest.score(vector))
            with self.lock:
                if len(self._cache) > 20000:
                    self._cache.clear()
                self._cache[vector] = cached
        return cached


# -- the engine ----------------------------------------------------------------------------

class BehaviorEngine:
    name = "behavior"

    def __init__(self, temp_dirs=("/tmp", "/var/tmp", "/dev/shm"), busy_limit: float = 30.0,
                 allowed=None, agent_pid: int | None = None):
        self.temp_dirs = tuple(temp_dirs)
        self.busy_limit = busy_limit
        # allowed(executable path as /proc/<pid>/exe reads) -> True when the user's allow-list covers it.
        self.allowed = allowed or (lambda path: False)
        self.agent_pid = agent_pid if agent_pid is not None else os.getpid()
        self.model = Model()

    def allows(self, p: Process) -> bool:
        """The allow-list covers the executable (as the kernel names it: a deleted one is not the
        program that was allowed) or the script an interpreter runs."""
        program = p.program
        return bool(p.exe and self.allowed(p.exe)) or (program != executable_path(p.exe) and self.allowed(program))

    @staticmethod
    def descendants(procs: dict, roots: set) -> set:
        """The pids of `roots` and of every process below them."""
        inside, outside = set(roots), set()
        for pid in procs:
            chain = []
            cur = pid
            for _ in range(64):  # ppid chains are short; a cycle cannot happen, a race can
                if cur in inside or cur in outside:
                    (inside if cur in inside else outside).update(chain)
                    break
                chain.append(cur)
                p = procs.get(cur)
                if p is None or p.ppid in (0, cur):
                    outside.update(chain)
                    break
                cur = p.ppid
        return inside

    def trusted_pids(self, procs: dict) -> set:
        """The console, its tools and the agent, and everything they started."""
        roots = {self.agent_pid}
        for p in procs.values():
            if _basename(executable_path(p.exe)) in TRUSTED_PROGRAMS:
                roots.add(p.pid)
        return self.descendants(procs, roots)

    def evaluate(self, p: Process, with_model: bool = True):
        """Sets p.score and p.reasons. Without `with_model` the model is asked only where it could
        change the outcome (the score is then for a threat decision, not for display)."""
        if p.static is None:
            p.static = static_signals(p, self.temp_dirs)
        if not with_model and not p.static[0] and p.static[1] is None and not p.stdio_peer and not p.remotes \
                and p.busy_seconds < self.busy_limit:
            p.score, p.reasons = 0.0, []  # nothing to judge: the common case, kept cheap
            return
        found, amplify = signals(p, self.temp_dirs, self.busy_limit, p.static)
        plausible = sum(w for w, _ in found) + MODEL_WEIGHT >= UNUSUAL and bool(found or amplify)
        model = 0.0
        if (with_model or plausible) and not p.kernel:
            model = MODEL_WEIGHT * self.model.unusual(features(p))
        p.score, p.reasons = combine(model, found, amplify)

    def threats(self, procs: dict, uid: int, scope: int | None = None) -> list:
        """Processes of user `uid` at or above the threat line that nothing vouches for (only
        `scope` and its descendants when given)."""
        candidates = [p for p in procs.values() if p.score >= THREAT_LINE and not p.kernel and p.uid == uid]
        if candidates and scope is not None:
            inside = self.descendants(procs, {scope})
            candidates = [p for p in candidates if p.pid in inside]
        if not candidates:
            return []
        trusted = self.trusted_pids(procs)
        result = []
        for p in candidates:
            if p.pid in trusted:
                continue
            if self.allows(p):
                continue
            result.append(p)
        return result
