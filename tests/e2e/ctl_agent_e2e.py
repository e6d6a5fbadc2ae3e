#!/usr/bin/env python3
"""End to end: the bundled agent process on a temporary home, with HOME and the XDG
directories inside a fresh temporary directory, driven by the real tessaly-ctl.

The console is started (offscreen) and must launch the bundled agent from its build tree
and pass the agent's output to its standard error. tessaly-ctl then reads status and
threats, starts a quick scan, and sees an EICAR test file dropped into the temporary
~/Downloads become a threat and (auto-quarantine is on by default) a quarantine entry
within a generous deadline. The console must start the agent again after kill -9, hand
over to itself when started a second time, and leave the agent running when it closes;
the agent, stopped with SIGTERM, removes its socket, and no error or traceback shows on
the console's standard error.

Exit status: 0 passed, 1 failed, 77 skipped (the agent's virtual environment is missing).
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
SOCKET_SUFFIX = os.path.join("Library", "Application Support", "TessalyAntivirus", "agent.sock")
# The anti-virus industry's test file, assembled here so that no file of the project holds it.
EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-" + b"TEST-FILE!$H+H*"
DEADLINE = 60.0


class Failure(Exception):
    pass


def wait_for(what, predicate, timeout=DEADLINE, interval=0.5):
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = predicate()
        if last:
            return last
        time.sleep(interval)
    raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")


class Run:
    def __init__(self, args):
        self.args = args
        # Short, since a Unix socket path must fit in 108 bytes, and outside /tmp, /var/tmp and
        # /dev/shm: any other agent running on this machine watches them and would quarantine
        # the test file itself.
        base = os.environ.get("TSAV_TEST_TMPDIR") or os.path.join(
            os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"), "tessaly-tests")
        os.makedirs(base, mode=0o700, exist_ok=True)
        self.home = tempfile.mkdtemp(prefix="tsav-e2e-", dir=base)
        self.downloads = os.path.join(self.home, "Downloads")
        self.scratch_tmp = os.path.join(self.home, "tmp")
        for d in (self.downloads, os.path.join(self.home, "Desktop"), self.scratch_tmp,
                  os.path.join(self.home, ".config"), os.path.join(self.home, ".local", "share"),
                  os.path.join(self.home, ".cache")):
            os.makedirs(d, exist_ok=True)
        os.makedirs(os.path.join(self.home, "run"), mode=0o700, exist_ok=True)
        self.socket = os.path.join(self.home, SOCKET_SUFFIX)
        self.console_log = os.path.join(self.home, "console-output.txt")
        self.console = None
        self.console_agent_pid = None

    def env(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("TSAV_") and not k.startswith("XDG_")}
        env.update({
            "HOME": self.home,
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_RUNTIME_DIR": os.path.join(self.home, "run"),
            "PYTHONDONTWRITEBYTECODE": "1",
            # Keeps the quick scan inside this home instead of the machine's shared /tmp,
            # where other tests' files live and auto-quarantine would move them away.
            "TSAV_AGENT_TEST_MODE": "1",
            "TSAV_AGENT_TMP_DIR": self.scratch_tmp,
            "QT_QPA_PLATFORM": "offscreen",
        })
        return env

    def ctl(self, *words, json_out=False, check=True):
        cmd = [self.args.ctl] + (["--json"] if json_out else []) + list(words)
        p = subprocess.run(cmd, env=self.env(), capture_output=True, timeout=60)
        out = p.stdout.decode("utf-8", "replace")
        if check and p.returncode != 0:
            raise Failure(f"{' '.join(cmd[1:])} exited {p.returncode}: {p.stderr.decode('utf-8', 'replace')}")
        if json_out and p.returncode == 0:
            return json.loads(out)
        return out if p.returncode == 0 else None

    def cleanup(self):
        if self.console and self.console.poll() is None:
            self.console.kill()
            self.console.wait()
        if self.console_agent_pid and pid_alive(self.console_agent_pid):
            os.kill(self.console_agent_pid, signal.SIGKILL)
        shutil.rmtree(self.home, ignore_errors=True)

    # -- the console, which starts the bundled agent itself ---------------------------
    def start_console(self):
        env = self.env()
        env["QT_QPA_PLATFORM"] = "offscreen"
        # No session bus here: notifications, badge and tray are simply unavailable.
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(self.home, "no-bus")
        log = open(self.console_log, "wb")
        self.console = subprocess.Popen([self.args.console], cwd=self.home, env=env, stdout=log,
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        log.close()

    def console_output(self):
        with open(self.console_log, "rb") as f:
            return f.read().decode("utf-8", "replace")


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] != "Z"


def agent_children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            kids = [int(k) for k in f.read().split()]
    except OSError:
        return []
    found = []
    for k in kids:
        try:
            with open(f"/proc/{k}/cmdline", "rb") as f:
                if b"agent.main" in f.read():
                    found.append(k)
        except OSError:
            pass
    return found


def check(condition, message):
    if not condition:
        raise Failure(message)


def console_scenario(run):
    """The console on its own: its supervisor starts the bundled agent from the build tree, which
    tessaly-ctl then reads and drives."""
    run.start_console()

    def answering():
        check(run.console.poll() is None,
              f"the console exited early with {run.console.returncode}:\n{run.console_output()}")
        return run.ctl("status", check=False)
    wait_for("the agent started by the console to answer", answering)
    kids = agent_children(run.console.pid)
    check(len(kids) == 1, f"expected one agent child of the console, found {kids}")
    run.console_agent_pid = kids[0]

    # The agent's output reaches the console's standard error, between the supervisor's lines.
    wait_for("the agent's start-up lines on the console's standard error",
             lambda: "agent listening on" in run.console_output(), timeout=20)
    output = run.console_output()
    check("[supervisor] launched agent at " in output, f"no launch line:\n{output}")

    # tessaly-ctl reads that agent: a summary, and no threats in a clean home.
    check(run.ctl("status").strip(), "status printed nothing")
    check(isinstance(run.ctl("status", json_out=True), dict), "status --json is not an object")
    check(run.ctl("threats", json_out=True) == [], "a fresh agent already lists threats")

    # Drop the test file, then ask for a quick scan; real-time protection may get there first.
    eicar_path = os.path.join(run.downloads, "eicar-console.com")
    with open(eicar_path, "wb") as f:
        f.write(EICAR)
    run.ctl("scan", "quick")

    def eicar_threat():
        return next((t for t in run.ctl("threats", json_out=True) if t.get("path") == eicar_path), None)
    threat = wait_for("the EICAR file to become a threat", eicar_threat)
    check(threat["kind"] in ("signature", "yara"), f"unexpected threat kind: {threat}")
    check(threat["severity"] in ("critical", "high", "medium", "low"), f"unexpected severity: {threat}")
    table = run.ctl("threats")
    check(eicar_path in table or "eicar-console.com" in table, f"threats table does not show the file:\n{table}")

    # Auto-quarantine (on by default) moves the file into the vault, recorded with its size.
    entry = wait_for("the EICAR file to be quarantined", lambda: next(
        (q for q in run.ctl("quarantine", json_out=True) if q.get("original_path") == eicar_path), None))
    check(entry["size"] == len(EICAR), f"quarantine entry has the wrong size: {entry}")
    check(not os.path.exists(eicar_path), "the quarantined file is still at its original path")
    wait_for("the quick scan to finish",
             lambda: not run.ctl("scan", "status", json_out=True).get("running", True), timeout=90)
    summary = run.ctl("status", json_out=True)
    counts = summary.get("summary", summary)
    check(counts.get("threats_total", 0) >= 1 and counts.get("quarantined", 0) >= 1,
          f"summary does not count the threat and its quarantine entry: {summary}")

    # kill -9 of the agent: the console starts a new one after its first back-off (1 s).
    killed = run.console_agent_pid
    os.kill(killed, signal.SIGKILL)

    def relaunched():
        kids = [k for k in agent_children(run.console.pid) if k != killed]
        return kids[0] if kids else None
    run.console_agent_pid = wait_for("the console to relaunch its agent", relaunched, timeout=30)
    wait_for("the relaunched agent to answer", lambda: run.ctl("status", check=False))
    check("relaunching in 1 s" in run.console_output(), f"no relaunch line:\n{run.console_output()}")

    # A second console hands over to the first (its window comes forward) and ends with 0.
    env = run.env()
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(run.home, "no-bus")
    second = subprocess.run([run.args.console], cwd=run.home, env=env, capture_output=True, timeout=30)
    check(second.returncode == 0, f"the second console exited with {second.returncode}: {second.stderr!r}")
    check(run.console.poll() is None, "the first console ended when a second one started")
    check(agent_children(run.console.pid) == [run.console_agent_pid], "the second console started an agent")

    # Closing the console leaves the agent running; it is stopped here by hand.
    run.console.send_signal(signal.SIGTERM)
    run.console.wait(timeout=30)
    time.sleep(1)
    check(pid_alive(run.console_agent_pid), "the agent ended with the console")
    check(run.ctl("status", check=False), "the agent stopped answering after the console closed")
    os.kill(run.console_agent_pid, signal.SIGTERM)
    wait_for("the agent to stop", lambda: not pid_alive(run.console_agent_pid), timeout=30)
    check(not os.path.exists(run.socket), "the agent left its socket behind")
    bad = [line for line in run.console_output().splitlines()
           if "Traceback" in line or " ERROR " in line or "CRITICAL" in line]
    check(not bad, "errors on the console's standard error:\n" + "\n".join(bad))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--resources", required=True)
    parser.add_argument("--python", required=True)
    parser.add_argument("--console", required=True)
    args = parser.parse_args()
    args.ctl, args.resources, args.python, args.console = (
        os.path.abspath(a) for a in (args.ctl, args.resources, args.python, args.console))
    if not os.access(args.python, os.X_OK):
        print(f"skipped: no agent interpreter at {args.python} (scripts/setup makes it)")
        return SKIP

    run = Run(args)
    try:
        console_scenario(run)
    except (Failure, subprocess.TimeoutExpired) as e:
        print(f"FAILED: {e}", file=sys.stderr)
        if run.console is not None:
            print("--- console output ---\n" + run.console_output(), file=sys.stderr)
        return 1
    finally:
        run.cleanup()
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
