"""Detection engines: "signature" (ClamAV, see clamav.py), "yara" and "network" (behaviour: behavior.py).

Each engine answers a question about one object (file bytes, a process's
features, a remote address) and returns detections; recording threats and
acting on them belongs to the caller.
"""

import ipaddress
import logging
import os
import re
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


# How a file without a "#!" line opens when it is not a script: structured data (a JSON
# object or list, a YAML key or document start, a CSV header), a listing
# (numbered lines as `cat -n` prints them, search results as `grep -n` prints them, a
# patch) or prose (a capitalised word, then more words; or a title underlined). A shell
# script opens with a command; a README, a CI workflow, a package.json or a saved
# terminal listing that quotes `curl … | sh` further down opens like this. Only the first
# line that is not blank or a comment is looked at: further down, a script's
# here-document may hold any of these (a config's keys). A unit file or an autostart
# entry opens with its [section] and is not data here: what its Exec= line runs, runs.
_JSON_START = re.compile(
    rb'[ \t\r\n]*(\{[ \t\r\n]*"[^"\n]{0,200}"[ \t\r\n]*:'
    rb'|\[[ \t\r\n]*(\{[ \t\r\n]*"|"[^"\n]{0,200}"[ \t\r\n]*[,\]]))')
_NOT_A_COMMAND = re.compile(
    rb"(---|%YAML)[ \t]*$"                         # YAML document
    rb"|[A-Za-z_][A-Za-z0-9_.-]*:([ \t]|$)"        # key: value, Makefile target, mail header
    rb"|[ \t]{0,7}[0-9]{1,7}\t"                    # cat -n, nl
    rb"|[^\s:]{1,255}(:[0-9]{1,7}:|-[0-9]{1,7}-)"  # grep -n (match, context)
    rb"|[A-Z][a-z]+[:,]?[ \t]+[^ \t]"              # Install it with:, Quick start
    rb"|diff --git "                               # a patch
    rb'|("[\w .()/-]{1,60}"|[A-Za-z_][\w.()/-]{0,60})(,"?[\w .()/-]{0,60}"?){2,}[ \t]*$'  # a CSV header
)
_UNDERLINE = re.compile(rb"(=+|-+)[ \t]*$")
# Shells and other interpreters keep the commands a user typed in these files (and in
# "<name>-<n>.tmp" while they write them): a record of what ran, never run itself.
HISTORY_NAMES = (".bash_history", ".zsh_history", ".zhistory", ".histfile", ".history", ".sh_history",
                 ".ksh_history", ".mksh_history", "fish_history", ".python_history", ".node_repl_history",
                 ".mysql_history", ".psql_history", ".sqlite_history")


def is_history(path) -> bool:
    """Whether a file's name is that of a shell's or an interpreter's command history."""
    name = os.path.basename(os.fsdecode(path))
    return any(name == h or name.startswith((h + "-", h + ".", h + "~")) for h in HISTORY_NAMES)


def reads_as_text(data: bytes) -> bool:
    """Whether a file without a "#!" line opens as data, a listing or prose rather than as
    a script: its commands are then quotations, and the shell rules leave them alone."""
    head = data[:8192]
    if head.startswith(b"\xef\xbb\xbf"):
        head = head[3:]
    if head.startswith(b"#!"):
        return False
    if _JSON_START.match(head):
        return True
    lines = iter(head.split(b"\n"))
    for line in lines:
        line = line.rstrip(b"\r")
        if not line.strip() or line.lstrip().startswith(b"#"):
            continue
        following = next(lines, b"").rstrip(b"\r")
        if _NOT_A_COMMAND.match(line) or _UNDERLINE.match(following):
            return True
        return line.startswith(b"--- ") and following.startswith(b"+++ ")  # a unified diff
    return False


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
        rules.append(self._yara.compile(filepath=BUNDLED_RULES, externals={"ts_reads_as_text": False}))
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

    def check(self, data: bytes, path=None) -> list:
        """Detections in a file's first bytes; `path`, when known, tells a command history."""
        found = []
        text = reads_as_text(data) or (path is not None and is_history(path))
        for i, compiled in enumerate(self.rules):
            # The bundled rules come first; they know how the file opens.
            externals = {"ts_reads_as_text": text} if i == 0 else None
            try:
                matches = compiled.match(data=data, timeout=10, externals=externals)
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
