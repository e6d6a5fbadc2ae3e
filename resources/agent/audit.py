"""Read-only security audit of this Linux host.

Each check reads configuration or kernel state and reports what it measured;
nothing is changed. The score is the share of severity weight that passes.
"""

import glob
import os
import re
import shutil
import subprocess

from . import records

WEIGHTS = {"critical": 10, "high": 6, "medium": 3, "low": 1, "info": 0}
SECURE_BOOT_VAR = "/sys/firmware/efi/efivars/SecureBoot-8be4df61-93ca-11d2-aa0d-e0b98cacf4b8"


def _read(path, limit=1 << 20):
    try:
        with open(path, "rb") as fh:
            return fh.read(limit).decode("utf-8", "replace")
    except OSError:
        return None


def _sysctl(name):
    text = _read("/proc/sys/" + name.replace(".", "/"))
    return None if text is None else text.strip()


def check_firewall():
    nft = shutil.which("nft")
    if nft:
        try:
            out = subprocess.run([nft, "list", "ruleset"], capture_output=True, text=True, timeout=5)
            if out.returncode == 0:
                rules = [l for l in out.stdout.splitlines()
                         if l.strip() and not l.strip().startswith(("table", "chain", "type", "policy", "}"))]
                chains = len(re.findall(r"^\s*chain ", out.stdout, re.M))
                drop_policy = bool(re.search(r"policy drop", out.stdout))
                ok = len(rules) > 0 or drop_policy
                return ok, f"nftables: {chains} chains, {len(rules)} rules, drop policy: {'yes' if drop_policy else 'no'}"
            detail = f"nft list ruleset failed: {out.stderr.strip()[:120] or out.returncode}"
        except (OSError, subprocess.SubprocessError) as exc:
            detail = f"nft not usable: {exc}"
    else:
        detail = "nft not installed"
    names = _read("/proc/net/ip_tables_names")
    if names and names.strip():
        return True, f"{detail}; iptables tables loaded: {', '.join(names.split())}"
    return False, f"{detail}; no iptables tables loaded"


def check_disk_encryption():
    root_dev = None
    for line in (_read("/proc/mounts") or "").splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[1] == "/":
            root_dev = parts[0]
    if root_dev is None:
        return False, "root filesystem not found in /proc/mounts"
    try:
        real = os.path.realpath(root_dev)
        name = os.path.basename(real)
    except OSError:
        name = os.path.basename(root_dev)
    pending = [name]
    seen = set()
    while pending:
        dev = pending.pop()
        if dev in seen:
            continue
        seen.add(dev)
        uuid = (_read(f"/sys/class/block/{dev}/dm/uuid") or "").strip()
        if uuid.startswith("CRYPT-"):
            return True, f"root {root_dev} is on dm-crypt ({dev}, {uuid.split('-')[1]})"
        pending.extend(os.path.basename(p) for p in glob.glob(f"/sys/class/block/{dev}/slaves/*"))
    return False, f"root {root_dev} is not on a dm-crypt device"


def check_secure_boot():
    if not os.path.isdir("/sys/firmware/efi"):
        return False, "legacy BIOS boot (no EFI firmware interface)"
    try:
        with open(SECURE_BOOT_VAR, "rb") as fh:
            data = fh.read()
    except OSError:
        return False, "EFI boot, SecureBoot variable not readable"
    enabled = len(data) >= 5 and data[4] == 1
    return enabled, f"SecureBoot variable = {data[4] if len(data) >= 5 else '?'}"


def check_auto_updates():
    text = ""
    for path in sorted(glob.glob("/etc/apt/apt.conf.d/*")):
        text += (_read(path) or "") + "\n"
    if not os.path.isdir("/etc/apt"):
        for unit in ("/etc/systemd/system/timers.target.wants/dnf-automatic.timer",
                     "/etc/systemd/system/timers.target.wants/dnf-automatic-install.timer"):
            if os.path.exists(unit):
                return True, f"{os.path.basename(unit)} enabled"
        return False, "no known automatic-update mechanism found"
    m = re.search(r'APT::Periodic::Unattended-Upgrade\s+"(\d+)"', text)
    installed = os.path.exists("/usr/bin/unattended-upgrade")
    value = m.group(1) if m else "unset"
    ok = installed and m is not None and m.group(1) != "0"
    return ok, f"unattended-upgrades installed: {'yes' if installed else 'no'}; APT::Periodic::Unattended-Upgrade = {value}"


def _sshd_options():
    """First value of each keyword (sshd uses the first), includes expanded."""
    options = {}
    files = ["/etc/ssh/sshd_config"]
    seen = set()
    while files:
        path = files.pop(0)
        if path in seen:
            continue
        seen.add(path)
        for line in (_read(path) or "").splitlines():
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split(None, 1)
            key = parts[0].lower()
            value = parts[1].strip() if len(parts) > 1 else ""
            if key == "match":
                break  # options below apply only conditionally
            if key == "include":
                for pattern in value.split():
                    if not pattern.startswith("/"):
                        pattern = "/etc/ssh/" + pattern
                    files[0:0] = sorted(glob.glob(pattern))
                continue
            options.setdefault(key, value)
    return options


def check_ssh_root():
    if not os.path.exists("/etc/ssh/sshd_config"):
        return True, "OpenSSH server not installed"
    value = _sshd_options().get("permitrootlogin", "prohibit-password (default)")
    ok = value.split()[0].lower() in ("no", "prohibit-password", "without-password", "forced-commands-only")
    return ok, f"PermitRootLogin {value}"


def check_ssh_password():
    if not os.path.exists("/etc/ssh/sshd_config"):
        return True, "OpenSSH server not installed"
    value = _sshd_options().get("passwordauthentication", "yes (default)")
    return value.split()[0].lower() == "no", f"PasswordAuthentication {value}"


def check_aslr():
    value = _sysctl("kernel.randomize_va_space")
    return value == "2", f"kernel.randomize_va_space = {value if value is not None else 'unreadable'}"


def check_kptr():
    value = _sysctl("kernel.kptr_restrict")
    ok = value is not None and value.isdigit() and int(value) >= 1
    return ok, f"kernel.kptr_restrict = {value if value is not None else 'unreadable'}"


def check_ptrace():
    value = _sysctl("kernel.yama.ptrace_scope")
    if value is None:
        return False, "Yama LSM not active (kernel.yama.ptrace_scope missing)"
    return value.isdigit() and int(value) >= 1, f"kernel.yama.ptrace_scope = {value}"


def check_dmesg():
    value = _sysctl("kernel.dmesg_restrict")
    return value == "1", f"kernel.dmesg_restrict = {value if value is not None else 'unreadable'}"


CHECKS = [
    ("firewall", "Firewall activ cu reguli încărcate", "high", check_firewall),
    ("disk_encryption", "Sistemul de fișiere rădăcină criptat (dm-crypt)", "high", check_disk_encryption),
    ("secure_boot", "Secure Boot activ", "medium", check_secure_boot),
    ("auto_updates", "Actualizări automate de securitate", "high", check_auto_updates),
    ("ssh_root_login", "SSH: autentificare root fără parolă interzisă", "high", check_ssh_root),
    ("ssh_password_auth", "SSH: autentificare cu parolă dezactivată", "medium", check_ssh_password),
    ("aslr", "ASLR complet (kernel.randomize_va_space = 2)", "high", check_aslr),
    ("kptr_restrict", "Pointeri kernel ascunși (kernel.kptr_restrict)", "low", check_kptr),
    ("ptrace_scope", "Restricții ptrace (Yama)", "medium", check_ptrace),
    ("dmesg_restrict", "Jurnal kernel restricționat (dmesg_restrict)", "low", check_dmesg),
]


def run_audit() -> dict:
    checks = []
    passing = 0
    weight_total = weight_pass = 0
    for check_id, title, severity, func in CHECKS:
        try:
            ok, detail = func()
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
