"""Runs the real agent process on a temporary HOME and talks to it over its socket."""

import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

import pytest

RESOURCES = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "resources"))
if RESOURCES not in sys.path:
    sys.path.insert(0, RESOURCES)

# The test file of the anti-virus industry, assembled at run time so this source does not carry it.
EICAR = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-" + b"TEST-FILE!$H+H*")
SOCKET_SUFFIX = "Library/Application Support/TessalyAntivirus/agent.sock"


def test_base() -> str:
    """Where test homes and fixtures live: never /tmp, /var/tmp or /dev/shm, which a real agent
    on this machine may be watching (and would act on what the tests drop there)."""
    base = os.environ.get("TSAV_TEST_TMPDIR") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"), "tessaly-tests")
    os.makedirs(base, mode=0o700, exist_ok=True)
    return base


def wait_for(predicate, timeout=20.0, interval=0.1, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError(f"timed out waiting for {what}")


def finished_scan(agent, timeout=60):
    return wait_for(lambda: (lambda s: s if not s["running"] else None)(agent.data("scan.status")), timeout,
                    what="scan to finish")


def scan(agent, kind="quick", timeout=60):
    agent.data("scan.start", kind=kind)
    return finished_scan(agent, timeout)


def write(path, content=EICAR, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as fh:
        fh.write(content)
    if mode is not None:
        os.chmod(path, mode)
    return path


def move_in(agent, name, content=EICAR, mode=None):
    """Writes a file beside the watched places and renames it into ~/Downloads: one event, for a
    complete file (HOME itself is watched, its other subdirectories are not)."""
    staging = write(os.path.join(agent.home, "staging", name), content, mode)
    path = os.path.join(agent.downloads, name)
    os.rename(staging, path)
    return path


def listed(agent, path):
    """The quarantine entries of the file once at `path`."""
    return [e for e in agent.data("quarantine.list", limit=1000) if e["original_path"] == path]


def quarantined_paths(agent):
    return {e["original_path"] for e in agent.data("quarantine.list", limit=1000)}


def vault_file(vault_path, key):
    """(header, plain content) of a vault file."""
    from agent.vault import read_header, xor_bytes

    fd = os.open(vault_path, os.O_RDONLY)
    try:
        header, offset = read_header(fd)
        os.lseek(fd, offset, os.SEEK_SET)
        data = b""
        while chunk := os.read(fd, 1 << 20):
            data += chunk
    finally:
        os.close(fd)
    return header, xor_bytes(data, key)


def copies(agent, path, content=EICAR):
    """How many times `content` exists: at `path` plus in listed vault entries. Also checks that
    every vault file has its entry, that each header alone could rebuild its entry, and that no
    half-made restore is left beside `path`."""
    n = 0
    if os.path.lexists(path):
        with open(path, "rb") as fh:
            assert fh.read() == content
        n += 1
    conn = agent.db()
    try:
        rows = conn.execute("SELECT * FROM quarantine").fetchall()
    finally:
        conn.close()
    vault_dir = os.path.join(agent.data_dir, "vault")
    names = set()
    for row in rows:
        assert row["state"] == "active", dict(row)
        header, plain = vault_file(row["vault_path"], bytes(row["xor_key"]))
        assert (header["id"], header["sha256"], header["size"], bytes.fromhex(header["key"])) == \
            (row["id"], row["sha256"], row["size"], bytes(row["xor_key"]))
        assert os.fsdecode(bytes.fromhex(header["path"])) == row["original_path"]
        if plain == content and row["original_path"] == path:
            n += 1
        names.add(os.path.basename(row["vault_path"]))
    assert set(os.listdir(vault_dir)) == names, "vault file without an entry"
    assert not [f for f in os.listdir(os.path.dirname(path)) if f.startswith(".tsav-restore-")]
    return n


def deep_file(top, content, levels=24, settle=0.0) -> str:
    """Writes `content` at the bottom of `levels` directories of 201-byte names below `top`, made
    through descriptors since the whole path is beyond PATH_MAX (4,096 bytes); returns its path.
    `settle` waits before the file is written (for watches to reach the bottom)."""
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    parts = []
    try:
        for i in range(levels):
            parts.append(f"{i:02d}" + "d" * 199)
            os.mkdir(parts[-1], dir_fd=fd)
            nfd = os.open(parts[-1], os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nfd
        time.sleep(settle)
        out = os.open("deep.com", os.O_WRONLY | os.O_CREAT, 0o600, dir_fd=fd)
        os.write(out, content)
        os.close(out)
    finally:
        os.close(fd)
    path = os.path.join(top, *parts, "deep.com")
    assert len(os.fsencode(path)) > 4096
    return path


def exchange(path, payload: bytes, timeout=15.0, half_close=False) -> bytes:
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    try:
        s.connect(path)
        if payload:
            s.sendall(payload)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            reply += chunk
        return reply
    finally:
        s.close()


AGENT_HOMES = set()  # every HOME and data directory an agent of this session used


class Agent:
    """One agent process with its own HOME, data directory and stand-ins for /tmp, /var/tmp and /dev/shm."""

    def __init__(self, home, env_extra=None, prefix=()):
        AGENT_HOMES.add(home)
        self.home = home
        self.prefix = list(prefix)  # a command the agent runs under (e.g. setpriv dropping capabilities)
        self.socket = os.path.join(home, SOCKET_SUFFIX)
        self.data_dir = os.path.join(home, "data")
        self.tmp = os.path.join(home, "tmp")
        self.vartmp = os.path.join(home, "vartmp")
        self.shm = os.path.join(home, "shm")
        self.downloads = os.path.join(home, "Downloads")
        self.desktop = os.path.join(home, "Desktop")
        for d in (self.tmp, self.vartmp, self.shm, self.downloads, self.desktop):
            os.makedirs(d, exist_ok=True)
        self.env_extra = dict(env_extra or {})
        self.proc = None
        self.log_path = os.path.join(home, "agent.log")

    def env(self, extra=None):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("TSAV_") and k not in ("XDG_DATA_HOME", "XDG_CONFIG_HOME")}
        env.update({"HOME": self.home, "TSAV_AGENT_TEST_MODE": "1", "TSAV_AGENT_DATA_DIR": self.data_dir,
                    "TSAV_AGENT_TMP_DIR": self.tmp, "TSAV_AGENT_VAR_TMP_DIR": self.vartmp,
                    "TSAV_AGENT_SHM_DIR": self.shm, "PYTHONDONTWRITEBYTECODE": "1"})
        env.update(self.env_extra)
        env.update(extra or {})
        return env

    def start(self, extra_env=None, wait=True):
        AGENT_HOMES.add(self.data_dir)
        log = open(self.log_path, "ab")
        self.proc = subprocess.Popen(self.prefix + [sys.executable, "-m", "agent.main"], cwd=RESOURCES,
                                     env=self.env(extra_env),
                                     stdout=log, stderr=subprocess.STDOUT)
        log.close()
        if wait:
            wait_for(lambda: self._answers() or self.proc.poll() is not None, 60, what="agent start")
            assert self.proc.poll() is None, self.log()
            wait_for(lambda: self.call("processes")["data"], 60, what="first telemetry sample")
        return self

    def _answers(self):
        try:
            return self.call("summary").get("ok")
        except OSError:
            return False

    def log(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as fh:
                return fh.read()[-4000:]
        except OSError:
            return ""

    def raw(self, payload: bytes, **kw) -> bytes:
        return exchange(self.socket, payload, **kw)

    def call(self, op, **payload):
        payload["op"] = op
        reply = self.raw(json.dumps(payload).encode() + b"\n")
        return json.loads(reply)

    def data(self, op, **payload):
        reply = self.call(op, **payload)
        assert reply["ok"] is True, reply
        return reply["data"]

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait(10)
        self.proc = None
        return code

    def wait_exit(self, timeout=30):
        code = self.proc.wait(timeout)
        self.proc = None
        return code

    def db(self):
        conn = sqlite3.connect(f"file:{os.path.join(self.data_dir, 'agent.db')}?mode=ro", uri=True, timeout=10)
        conn.row_factory = sqlite3.Row
        return conn

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))


def clamd_processes(under: str) -> list[int]:
    """Pids of clamd processes whose configuration lies under `under`."""
    pids = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as fh:
                argv = fh.read().split(b"\0")
            with open(f"/proc/{pid}/stat", "rb") as fh:
                if fh.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                    continue
        except (OSError, IndexError):
            continue
        if argv and os.path.basename(argv[0]).startswith(b"clamd") and any(
                a.startswith(os.fsencode(under)) for a in argv[1:]):
            pids.append(int(pid))
    return pids


@pytest.fixture(scope="session", autouse=True)
def no_clamd_left_behind():
    """Every agent of this session stops its private clamd, also when a test kills the agent."""
    yield
    wait_for(lambda: not any(clamd_processes(h) for h in AGENT_HOMES), 15,
             what="the private clamd of every agent to end")


@pytest.fixture
def home():
    # Short, so the socket path stays far below the 107-byte limit of Unix socket addresses.
    path = tempfile.mkdtemp(prefix="tsav", dir=test_base())
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def tmpfs(home):
    """A 4 MiB filesystem mounted on HOME/fs (skipped where mounting is not allowed)."""
    mount = os.path.join(home, "fs")
    os.makedirs(mount)
    out = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m,mode=0700", "tmpfs", mount],
                         capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {out.stderr.strip() or out.returncode}")
    yield mount
    subprocess.run(["umount", "-l", mount], capture_output=True)


@pytest.fixture
def tmp_path():
    """pytest's own tmp_path lives under /tmp; keep it with the other fixtures."""
    import pathlib

    path = tempfile.mkdtemp(prefix="t", dir=test_base())
    yield pathlib.Path(path)
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def agent(home):
    a = Agent(home)
    a.start()
    yield a
    a.stop()


@pytest.fixture(scope="module")
def shared_agent():
    path = tempfile.mkdtemp(prefix="tsav", dir=test_base())
    a = Agent(path, {"TSAV_AGENT_FIRST_FIT": "0"})
    a.start()
    wait_for(lambda: any("behaviour model fitted" in e["action"] for e in a.data("events", limit=50)), 120,
             what="behaviour model")
    yield a
    a.stop()
    shutil.rmtree(path, ignore_errors=True)
