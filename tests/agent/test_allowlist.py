"""The allow-list and the user's actions on a threat, through the agent's socket."""

import hashlib
import os
import shutil
import subprocess
import time

from conftest import EICAR, Agent, scan, wait_for, write

class TestRequests:
    def test_entries_round_trip(self, agent):
        assert agent.data("allowlist.list") == []
        folder = agent.data("allowlist.add", kind="path", value=agent.downloads + "/keep/", note="my tools")
        assert folder["value"] == agent.downloads + "/keep" and folder["note"] == "my tools" and folder["resolved"] == 0
        digest = agent.data("allowlist.add", kind="sha256", value="AB" * 32)
        assert digest["value"] == "ab" * 32 and digest["note"] == ""
        again = agent.data("allowlist.add", kind="sha256", value="ab" * 32, note="other")
        assert again["id"] == digest["id"] and again["note"] == ""
        listed = agent.data("allowlist.list")
        assert [e["id"] for e in listed] == [digest["id"], folder["id"]]
        assert set(listed[0]) == {"id", "kind", "value", "note", "ts"}
        assert agent.data("allowlist.remove", id=folder["id"]) == {"id": folder["id"], "removed": True}
        assert agent.call("allowlist.remove", id=folder["id"])["ok"] is False
        assert [e["id"] for e in agent.data("allowlist.list")] == [digest["id"]]


class TestAllowedFiles:
    def test_a_folder_entry_resolves_its_threats_and_scans_and_realtime_skip_it(self, agent):
        agent.data("settings.set", values={"auto_quarantine": False, "realtime_enabled": False})
        first = write(os.path.join(agent.downloads, "keep", "tool.com"), EICAR)
        scan(agent)
        assert agent.data("summary")["threats_active"] == 1
        entry = agent.data("allowlist.add", kind="path", value=os.path.join(agent.downloads, "keep"))
        assert entry["resolved"] == 1
        assert [t["status"] for t in agent.data("threats")] == ["allowed"]
        assert agent.data("summary")["threats_active"] == 0
        agent.data("settings.set", values={"realtime_enabled": True})
        write(os.path.join(agent.downloads, "keep", "sub", "more.com"), EICAR)
        scan(agent)
        time.sleep(1)
        assert len(agent.data("threats")) == 1 and os.path.exists(first)
        agent.data("allowlist.remove", id=entry["id"])
        scan(agent)
        assert agent.data("summary")["threats_active"] == 2

    def test_a_content_entry_covers_it_anywhere_and_quarantined_copies_stay_in_the_vault(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False})
        write(os.path.join(agent.downloads, "a.com"), EICAR)
        scan(agent)
        [entry] = agent.data("quarantine.list")
        allowed = agent.data("allowlist.add", kind="sha256", value=hashlib.sha256(EICAR).hexdigest())
        assert allowed["resolved"] == 0  # a quarantined threat is not open
        assert [e["id"] for e in agent.data("quarantine.list")] == [entry["id"]]
        other = write(os.path.join(agent.desktop, "b.com"), EICAR)
        scan(agent)
        assert os.path.exists(other) and len(agent.data("threats")) == 1
        agent.data("quarantine.restore", id=entry["id"])
        scan(agent)
        assert os.path.exists(os.path.join(agent.downloads, "a.com")) and len(agent.data("threats")) == 1


class TestThreatActions:
    def test_quarantine_now_when_automatic_quarantine_is_off(self, agent):
        agent.data("settings.set", values={"auto_quarantine": False, "realtime_enabled": False})
        path = write(os.path.join(agent.downloads, "later.com"), EICAR)
        scan(agent)
        [threat] = agent.data("threats")
        reply = agent.data("threat.quarantine", id=threat["id"])
        [entry] = agent.data("quarantine.list")
        assert reply == {"id": threat["id"], "quarantine_id": entry["id"]} and entry["original_path"] == path
        assert not os.path.exists(path) and agent.data("threats")[0]["status"] == "quarantined"
        assert "not active" in agent.call("threat.quarantine", id=threat["id"])["error"]
        assert "not a process threat" in agent.call("threat.kill", id=threat["id"])["error"]

    def test_behaviour_threats_are_ended_by_hand_allowed_or_killed_automatically(self, home):
        allowed = os.path.join(home, "xmrig")  # named like a miner: a behaviour threat of its own
        other = os.path.join(home, "bin", "xmrig")
        os.makedirs(os.path.dirname(other))
        for program in (allowed, other):
            shutil.copy("/bin/sleep", program)
        procs = [subprocess.Popen([p, "300"]) for p in (allowed, allowed, other)] + \
            [subprocess.Popen(["/bin/sleep", "300"])]  # a bystander
        a = Agent(home)
        a.start()
        try:
            def detected():
                found = [t for t in a.data("threats") if t["kind"] == "behavior" and t["status"] == "detected"]
                return found if {t["pid"] for t in found} >= {p.pid for p in procs[:3]} else None
            threats = wait_for(detected, 30, what="three behaviour threats")
            assert all(p.poll() is None for p in procs)  # automatic ending is off by default
            victim = next(t for t in threats if t["pid"] == procs[0].pid)
            assert a.data("threat.kill", id=victim["id"]) == {"id": victim["id"], "pid": procs[0].pid, "killed": True}
            assert procs[0].wait(10) == -9
            assert {t["id"]: t["status"] for t in a.data("threats")}[victim["id"]] == "killed"
            assert "not active" in a.call("threat.kill", id=victim["id"])["error"]
            assert a.data("allowlist.add", kind="process", value=allowed)["resolved"] == 1
            assert {t["status"] for t in a.data("threats") if t["pid"] == procs[1].pid} == {"allowed"}

            a.data("settings.set", values={"auto_kill_high_risk": True})
            assert procs[2].wait(20) == -9
            # The kill is recorded right after the signal; wait for the record, not for the death.
            wait_for(lambda: {t["status"] for t in a.data("threats") if t.get("pid") == procs[2].pid} == {"killed"},
                     20, what="threats marked killed")
            assert any(e["source"] == "process" and "auto-kill" in e["action"] for e in a.data("events"))
            time.sleep(2)
            assert procs[1].poll() is None and procs[3].poll() is None and a.proc.poll() is None
        finally:
            for p in procs:
                if p.poll() is None:
                    p.kill()
                p.wait()
            a.stop()


class TestExistingDatabases:
    def test_a_database_from_before_keeps_its_threats_scans_and_restored_files(self, home):
        """agent.db files written before threats kept hashes and scans kept outcomes still open and work."""
        from agent.db import Database

        a = Agent(home)
        kept = write(os.path.join(a.downloads, "kept.com"), EICAR)
        os.makedirs(a.data_dir, exist_ok=True)
        old = Database(os.path.join(a.data_dir, "agent.db"))
        old.execute("INSERT INTO threats(ts, kind, severity, path, signature, status, dedup) VALUES"
                    " (1.0, 'yara', 'high', '/gone/x.sh', 'Reverse_Shell_OneLiner', 'detected', 'file:yara:/gone/x.sh:0')")
        old.execute("INSERT INTO scans(kind, started, finished, scanned, hits) VALUES('quick', 1.0, 2.0, 7, 0)")
        old.execute("INSERT INTO allowlist(path, sha256) VALUES(?, ?)", (kept, hashlib.sha256(EICAR).hexdigest()))
        old.close()
        a.start()
        try:
            status = a.data("scan.status")
            assert status["outcome"] == "finished" and status["scanned"] == 7
            assert [t["signature"] for t in a.data("threats")] == ["Reverse_Shell_OneLiner"]
            a.data("settings.set", values={"realtime_enabled": False})
            scan(a)
            assert os.path.exists(kept) and len(a.data("threats")) == 1  # the user restored it once
        finally:
            a.stop()

