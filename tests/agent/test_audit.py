"""Each audit check on the files and command outputs of machines other than this one."""

import os
import shutil
import subprocess

import pytest

from agent import audit
from agent.audit import Host

DENIED = (1, "", "Error: Operation not permitted\nnetlink: Error: cannot get ruleset\n")


def tree(root, files):
    for path, content in files.items():
        full = root + path
        os.makedirs(os.path.dirname(full), exist_ok=True)
        mode = "wb" if isinstance(content, bytes) else "w"
        with open(full, mode) as fh:
            fh.write(content)
    return str(root)


def commands(**outputs):
    """A command runner answering from a table keyed by program name; absent programs are not installed."""
    def run(argv):
        return outputs.get(argv[0].replace("-", "_"))
    return run


class TestFirewall:
    def test_an_ordinary_user_reads_what_ufw_says(self, tmp_path):
        root = tree(str(tmp_path), {"/etc/ufw/ufw.conf": "# comment\nENABLED=yes\nLOGLEVEL=low\n"})
        ok, detail = audit.check_firewall(Host(root, commands(nft=DENIED, iptables_save=(1, "", "Permission denied"))))
        assert ok and "ENABLED=yes" in detail and "not readable without root" in detail

    def test_unreadable_rules_are_not_called_absent(self, tmp_path):
        ok, detail = audit.check_firewall(Host(str(tmp_path), commands(nft=DENIED, iptables_save=DENIED)))
        assert not ok and "cannot be read without root" in detail and "no iptables" not in detail
        root = tree(str(tmp_path), {"/etc/ufw/ufw.conf": "ENABLED=no\n", "/etc/firewalld/firewalld.conf":
                                    "DefaultZone=public\n"})
        ok, detail = audit.check_firewall(Host(root, commands(nft=DENIED)))
        assert not ok and "ENABLED=no" in detail and "firewalld: service not enabled, default zone public" in detail
        os.makedirs(root + "/etc/systemd/system/multi-user.target.wants")
        os.symlink("/usr/lib/systemd/system/firewalld.service",
                   root + "/etc/systemd/system/multi-user.target.wants/firewalld.service")
        assert audit.check_firewall(Host(root, commands(nft=DENIED)))[0]

    def test_root_reads_the_loaded_ruleset(self, tmp_path):
        ruleset = ("table inet filter {\n\tchain input {\n\t\ttype filter hook input priority filter; policy drop;\n"
                   "\t\tct state established,related accept\n\t\tiif \"lo\" accept\n\t}\n}\n")
        ok, detail = audit.check_firewall(Host(str(tmp_path), commands(nft=(0, ruleset, ""))))
        assert ok and detail == "nftables: 1 chains, 2 rules, drop policy: yes"
        ok, detail = audit.check_firewall(Host(str(tmp_path), commands(nft=(0, "", ""), iptables_save=(0, "", ""))))
        assert not ok and "nftables: no tables loaded" in detail and "iptables: no rules" in detail
        ok, detail = audit.check_firewall(Host(str(tmp_path), commands()))
        assert not ok and detail.startswith("no firewall found")


@pytest.mark.skipif(not shutil.which("apt-config"), reason="needs APT")
def test_automatic_updates_take_apt_effective_configuration(tmp_path):
    etc = str(tmp_path / "etc" / "apt")
    files = {"/apt.conf.d/10periodic": 'APT {\n  Periodic {\n    Unattended-Upgrade "1";\n  };\n};\n',
             "/apt.conf.d/50unattended-upgrades": 'Unattended-Upgrade::Origins-Pattern { "o=Debian"; };\n'}
    tree(etc, files)
    boot = tmp_path / "boot.conf"
    boot.write_text(f'Dir::Etc "{etc}";\n')

    def real_apt(argv):
        out = subprocess.run(argv, capture_output=True, text=True, env=dict(os.environ, APT_CONFIG=str(boot)))
        return out.returncode, out.stdout, out.stderr

    root = tree(str(tmp_path / "root"), {"/usr/bin/unattended-upgrade": "#!/bin/sh\n"})
    ok, detail = audit.check_auto_updates(Host(root, real_apt))
    assert ok and 'APT::Periodic::Unattended-Upgrade = 1' in detail
    # A later file turns it off again: the effective value wins, not the first one written.
    tree(etc, {"/apt.conf.d/99local": 'APT::Periodic::Unattended-Upgrade "0";\n'})
    ok, detail = audit.check_auto_updates(Host(root, real_apt))
    assert not ok and "= 0" in detail
    os.unlink(etc + "/apt.conf.d/99local")
    tree(etc, {"/apt.conf.d/99local": 'APT::Periodic::Enable "0";\n'})
    assert audit.check_auto_updates(Host(root, real_apt)) == (
        False, "unattended-upgrades installed: yes; APT::Periodic::Unattended-Upgrade = 1 (apt-config dump); "
               "APT::Periodic::Enable = 0 turns every periodic job off")
    assert not audit.check_auto_updates(Host(str(tmp_path / "empty"), real_apt))[0]  # not installed


class TestSsh:
    def test_root_login_title_and_detail_say_what_is_checked(self, tmp_path):
        title = next(t for i, t, _, _ in audit.CHECKS if i == "ssh_root_login")
        assert "cu parolă" in title  # it checks that root cannot log in with a password
        root = tree(str(tmp_path), {"/etc/ssh/sshd_config": "Include /etc/ssh/sshd_config.d/*.conf\n"
                                                             "PermitRootLogin no\nMatch User x\nPasswordAuthentication no\n",
                                    "/etc/ssh/sshd_config.d/10-local.conf": "permitrootlogin yes # first wins\n"})
        assert audit.check_ssh_root(Host(root)) == (False, "PermitRootLogin yes: root may log in with a password")
        assert audit.check_ssh_password(Host(root)) == (False, "PasswordAuthentication yes (default)")
        os.unlink(root + "/etc/ssh/sshd_config.d/10-local.conf")
        assert audit.check_ssh_root(Host(root)) == (True, "PermitRootLogin no: root may not log in")
        os.unlink(root + "/etc/ssh/sshd_config")
        assert audit.check_ssh_root(Host(root))[0] and "not installed" in audit.check_ssh_root(Host(root))[1]


class TestBootAndDisk:
    def test_secure_boot_says_what_firmware_is_visible(self, tmp_path):
        ok, detail = audit.check_secure_boot(Host(str(tmp_path)))
        assert not ok and detail.startswith("no EFI firmware visible") and "legacy" not in detail
        var = f"/sys/firmware/efi/efivars/SecureBoot-{audit.EFI_GLOBAL}"
        root = tree(str(tmp_path), {var: b"\x06\x00\x00\x00\x01"})
        assert audit.check_secure_boot(Host(root)) == (True, "SecureBoot = 1 (enforcing)")
        tree(root, {var: b"\x06\x00\x00\x00\x00"})
        assert audit.check_secure_boot(Host(root)) == (False, "SecureBoot = 0 (off)")

    def test_root_on_dm_crypt_through_lvm(self, tmp_path):
        root = tree(str(tmp_path), {"/proc/mounts": "/dev/mapper/vg-root / ext4 rw 0 0\nproc /proc proc rw 0 0\n",
                                    "/sys/class/block/dm-1/dm/uuid": "LVM-abc\n",
                                    "/sys/class/block/dm-0/dm/uuid": "CRYPT-LUKS2-1234-luks\n"})
        os.makedirs(root + "/dev/mapper")
        os.makedirs(root + "/sys/class/block/dm-1/slaves/dm-0")
        os.symlink("../dm-1", root + "/dev/mapper/vg-root")
        open(root + "/dev/dm-1", "w").close()
        assert audit.check_disk_encryption(Host(root)) == (True, "root /dev/mapper/vg-root is on dm-crypt (dm-0, LUKS2)")
        os.unlink(root + "/sys/class/block/dm-0/dm/uuid")
        ok, detail = audit.check_disk_encryption(Host(root))
        assert not ok and "checked dm-0, dm-1" in detail


def test_the_real_host_audit_runs_every_check():
    result = audit.run_audit()
    assert result["total"] == len(audit.CHECKS) and all(c["detail"] for c in result["checks"])
    assert not [c for c in result["checks"] if c["detail"].startswith("check failed")]
