"""Read-only security audit of this Linux host.

Each check reads configuration or kernel state and says exactly what it read
and found; nothing is changed. What an ordinary user cannot read is said to
be unreadable, never taken as absent. The score is the share of severity
weight that passes.

Checks read through a Host, which maps absolute paths under a root directory
and runs commands through one function, so that tests can feed them the
files and command outputs of other machines.
"""

import glob
import os
import re
import shutil
import subprocess

from . import records

WEIGHTS = {"critical": 10, "high": 6, "medium": 3, "low": 1, "info": 0}
EFI_GLOBAL = "8be4df61-93ca-11d2-aa0d-e0b98cacf4b8"  # EFI_GLOBAL_VARIABLE, UEFI spec 2.x section 3.3


class Host:
    """The machine being audited: files under `root`, commands through `run`."""

    def __init__(self, root: str = "/", run=None):
        self.root = root.rstrip("/") or "/"
        self._run = run

    def path(self, absolute: str) -> str:
        return absolute if self.root == "/" else self.root + absolute

    def read(self, absolute: str, limit: int = 1 << 20):
        """Text of a file; None when it is missing. A file that is there but unreadable raises OSError."""
        try:
            with open(self.path(absolute), "rb") as fh:
                return fh.read(limit).decode("utf-8", "replace")
        except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
            return None

    def exists(self, absolute: str) -> bool:
        return os.path.lexists(self.path(absolute))

    def glob(self, pattern: str) -> list:
        found = sorted(glob.glob(self.path(pattern)))
        return [p[len(self.root):] if self.root != "/" else p for p in found]

    def run(self, argv: list):
        """(exit status, standard output, standard error); None when the program is not installed."""
        if self._run is not None:
            return self._run(argv)
        program = shutil.which(argv[0], path="/usr/sbin:/usr/bin:/sbin:/bin")
        if program is None:
            return None
        try:
            out = subprocess.run([program] + argv[1:], capture_output=True, text=True, timeout=10,
                                 stdin=subprocess.DEVNULL)
        except (OSError, subprocess.SubprocessError) as exc:
            return 126, "", str(exc)
        return out.returncode, out.stdout, out.stderr


def _denied(stderr: str) -> bool:
    text = stderr.lower()
    return "permission denied" in text or "operation not permitted" in text or "must be root" in text


def _sysctl(host, name):
    try:
        text = host.read("/proc/sys/" + name.replace(".", "/"))
    except OSError:
        return None
    return None if text is None else text.strip()


# -- firewall ------------------------------------------------------------------------

def _nft(host):
    """(rules loaded?, detail) from `nft list ruleset`; None when nft is absent; "denied" without root."""
    result = host.run(["nft", "list", "ruleset"])
    if result is None:
        return None
    code, out, err = result
    if code != 0:
        return "denied" if _denied(err) else (None, f"nft list ruleset failed: {err.strip()[:120] or code}")
    chains = len(re.findall(r"^\s*chain ", out, re.M))
    rules = [l for l in out.splitlines()
             if l.strip() and not l.strip().startswith(("table", "chain", "type", "policy", "}", "#"))]
    drop = bool(re.search(r"policy drop", out))
    if not chains:
        return False, "nftables: no tables loaded"
    return bool(rules) or drop, f"nftables: {chains} chains, {len(rules)} rules, drop policy: {'yes' if drop else 'no'}"


def _iptables(host):
    result = host.run(["iptables-save"])
    if result is None:
        return None
    code, out, err = result
    if code != 0:
        return "denied" if _denied(err) else None
    rules = [l for l in out.splitlines() if l.startswith("-A ")]
    drop = bool(re.search(r"^:(INPUT|FORWARD) DROP", out, re.M))
    if not rules and not drop:
        return False, "iptables: no rules"
    return True, f"iptables: {len(rules)} rules, drop policy: {'yes' if drop else 'no'}"


def _ufw(host):
    """(enabled?, detail) from ufw's own configuration, readable by every user."""
    try:
        text = host.read("/etc/ufw/ufw.conf")
    except OSError as exc:
        return None, f"/etc/ufw/ufw.conf unreadable ({exc.strerror})"
    if text is None:
        return None
    m = re.search(r"^\s*ENABLED\s*=\s*(\S+)", text, re.M)
    value = m.group(1).strip("'\"").lower() if m else "unset"
    return value == "yes", f"ufw: ENABLED={value} in /etc/ufw/ufw.conf"


def _firewalld(host):
    """(enabled?, detail): firewalld installed and its service enabled to start."""
    if not (host.exists("/etc/firewalld/firewalld.conf") or host.exists("/usr/lib/firewalld")):
        return None
    wants = host.glob("/etc/systemd/system/*.wants/firewalld.service")
    zone = None
    try:
        m = re.search(r"^\s*DefaultZone\s*=\s*(\S+)", host.read("/etc/firewalld/firewalld.conf") or "", re.M)
        zone = m.group(1) if m else None
    except OSError:
        pass
    detail = f"firewalld: service {'enabled' if wants else 'not enabled'}" + (f", default zone {zone}" if zone else "")
    return bool(wants), detail


def check_firewall(host):
    details = []
    denied = []
    for name, reader in (("nft", _nft), ("iptables", _iptables)):
        found = reader(host)
        if found == "denied":
            denied.append(name)
        elif found is not None:
            ok, detail = found
            details.append(detail)
            if ok:
                return True, "; ".join(details)
    for reader in (_ufw, _firewalld):
        found = reader(host)
        if found is not None:
            ok, detail = found
            details.append(detail)
            if ok:
                return True, "; ".join(details) + ("" if not denied else
                                                   f" (loaded rules not readable without root: {', '.join(denied)})")
    if denied:
        details.insert(0, f"the loaded rules cannot be read without root ({', '.join(denied)}: permission denied)")
    if not details:
        details.append("no firewall found (nft, iptables, ufw and firewalld absent)")
    return False, "; ".join(details)


# -- disk, boot, updates --------------------------------------------------------------------

def check_disk_encryption(host):
    root_dev = None
    for line in (host.read("/proc/mounts") or "").splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[1] == "/":
            root_dev = parts[0]
    if root_dev is None:
        return False, "root filesystem not found in /proc/mounts"
    link = host.path(root_dev) if root_dev.startswith("/dev/") else root_dev
    try:
        name = os.path.basename(os.path.realpath(link))
    except OSError:
        name = os.path.basename(root_dev)
    pending, seen = [name], set()
    while pending:
        dev = pending.pop()
        if dev in seen:
            continue
        seen.add(dev)
        uuid = (host.read(f"/sys/class/block/{dev}/dm/uuid") or "").strip()
        if uuid.startswith("CRYPT-"):
            return True, f"root {root_dev} is on dm-crypt ({dev}, {uuid.split('-')[1]})"
        pending.extend(os.path.basename(p) for p in host.glob(f"/sys/class/block/{dev}/slaves/*"))
    return False, f"root {root_dev} is not on a dm-crypt device (checked {', '.join(sorted(seen))})"


def check_secure_boot(host):
    if not host.exists("/sys/firmware/efi"):
        return False, "no EFI firmware visible (/sys/firmware/efi absent): Secure Boot state unknown"
    try:
        with open(host.path(f"/sys/firmware/efi/efivars/SecureBoot-{EFI_GLOBAL}"), "rb") as fh:
            data = fh.read(64)
    except FileNotFoundError:
        return False, "EFI firmware without a SecureBoot variable (firmware without Secure Boot)"
    except OSError as exc:
        return False, f"SecureBoot variable not readable ({exc.strerror})"
    # efivarfs: 4 bytes of attributes, then the value.
    if len(data) < 5:
        return False, "SecureBoot variable is empty"
    return data[4] == 1, f"SecureBoot = {data[4]} ({'enforcing' if data[4] == 1 else 'off'})"


def _apt_value(dump: str, key: str):
    """Effective value of `key` in `apt-config dump` output (one `Key "value";` line per setting)."""
    value = None
    for line in dump.splitlines():
        m = re.match(r'^\s*(\S+)\s+"(.*)";\s*$', line)
        if m and m.group(1).lower() == key.lower():
            value = m.group(2)
    return value


def check_auto_updates(host):
    result = host.run(["apt-config", "dump"])
    if result is None or result[0] != 0:
        for unit in ("dnf-automatic.timer", "dnf-automatic-install.timer"):
            if host.glob(f"/etc/systemd/system/*.wants/{unit}"):
                return True, f"{unit} enabled"
        return False, "no automatic-update mechanism found (apt-config and dnf-automatic absent)"
    dump = result[1]
    installed = host.exists("/usr/bin/unattended-upgrade")
    periodic = _apt_value(dump, "APT::Periodic::Enable")
    value = _apt_value(dump, "APT::Periodic::Unattended-Upgrade")
    ok = installed and value not in (None, "", "0") and periodic != "0"
    detail = (f"unattended-upgrades installed: {'yes' if installed else 'no'}; "
              f"APT::Periodic::Unattended-Upgrade = {value if value is not None else 'unset'} (apt-config dump)")
    if periodic == "0":
        detail += "; APT::Periodic::Enable = 0 turns every periodic job off"
    return ok, detail


# -- SSH --------------------------------------------------------------------------------------

def _sshd_options(host):
    """First value of each keyword (sshd uses the first), includes read where they stand; None without a config."""
    if not host.exists("/etc/ssh/sshd_config"):
        return None
    options = {}
    seen = set()

    def read(path, depth):
        """False once a Match block starts: what follows applies only to some connections."""
        if path in seen or depth > 16:
            return True
        seen.add(path)
        try:
            text = host.read(path) or ""
        except OSError:
            return True
        for line in text.splitlines():
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split(None, 1)
            key = parts[0].lower()
            value = parts[1].strip() if len(parts) > 1 else ""
            if key == "match":
                return False
            if key == "include":
                for pattern in value.split():
                    for included in host.glob(pattern if pattern.startswith("/") else "/etc/ssh/" + pattern):
                        if not read(included, depth + 1):
                            return False
                continue
            options.setdefault(key, value)
        return True

    read("/etc/ssh/sshd_config", 0)
    return options


def check_ssh_root(host):
    options = _sshd_options(host)
    if options is None:
        return True, "OpenSSH server not installed (no /etc/ssh/sshd_config)"
    value = options.get("permitrootlogin", "prohibit-password (default)")
    word = value.split()[0].lower()
    meaning = {"yes": "root may log in with a password", "no": "root may not log in",
               "prohibit-password": "root may log in with a key only", "without-password": "root may log in with a key only",
               "forced-commands-only": "root may run forced commands with a key only"}.get(word, "unknown value")
    return word != "yes" and word in ("no", "prohibit-password", "without-password", "forced-commands-only"), \
        f"PermitRootLogin {value}: {meaning}"


def check_ssh_password(host):
    options = _sshd_options(host)
    if options is None:
        return True, "OpenSSH server not installed (no /etc/ssh/sshd_config)"
    value = options.get("passwordauthentication", "yes (default)")
    return value.split()[0].lower() == "no", f"PasswordAuthentication {value}"


# -- kernel -------------------------------------------------------------------------------------

def check_aslr(host):
    value = _sysctl(host, "kernel.randomize_va_space")
    return value == "2", f"kernel.randomize_va_space = {value if value is not None else 'unreadable'}"


def check_kptr(host):
    value = _sysctl(host, "kernel.kptr_restrict")
    ok = value is not None and value.isdigit() and int(value) >= 1
    return ok, f"kernel.kptr_restrict = {value if value is not None else 'unreadable'}"


def check_ptrace(host):
    value = _sysctl(host, "kernel.yama.ptrace_scope")
    if value is None:
        return False, "Yama LSM not active (kernel.yama.ptrace_scope missing)"
    return value.isdigit() and int(value) >= 1, f"kernel.yama.ptrace_scope = {value}"


def check_dmesg(host):
    value = _sysctl(host, "kernel.dmesg_restrict")
    return value == "1", f"kernel.dmesg_restrict = {value if value is not None else 'unreadable'}"


CHECKS = [
    ("firewall", "Firewall activ cu reguli încărcate", "high", check_firewall),
    ("disk_encryption", "Sistemul de fișiere rădăcină criptat (dm-crypt)", "high", check_disk_encryption),
    ("secure_boot", "Secure Boot activ", "medium", check_secure_boot),
    ("auto_updates", "Actualizări automate de securitate", "high", check_auto_updates),
    ("ssh_root_login", "SSH: autentificare root cu parolă interzisă", "high", check_ssh_root),
    ("ssh_password_auth", "SSH: autentificare cu parolă dezactivată", "medium", check_ssh_password),
    ("aslr", "ASLR complet (kernel.randomize_va_space = 2)", "high", check_aslr),
    ("kptr_restrict", "Pointeri kernel ascunși (kernel.kptr_restrict)", "low", check_kptr),
    ("ptrace_scope", "Restricții ptrace (Yama)", "medium", check_ptrace),
    ("dmesg_restrict", "Jurnal kernel restricționat (dmesg_restrict)", "low", check_dmesg),
]


def run_audit(host: Host | None = None) -> dict:
    host = host or Host()
    checks = []
    passing = 0
    weight_total = weight_pass = 0
    for check_id, title, severity, func in CHECKS:
        try:
            ok, detail = func(host)
        except Exception as exc:  # a check that cannot run fails with its reason
            ok, detail = False, f"check failed: {type(exc).__name__}: {exc}"
        checks.append(records.audit_check(check_id, title, ok, severity, detail))
        weight = WEIGHTS.get(severity, 1)
        weight_total += weight
        if ok:
            passing += 1
            weight_pass += weight
    score = round(100 * weight_pass / weight_total) if weight_total else 100
    return records.audit_result(checks, passing, len(checks), score)
