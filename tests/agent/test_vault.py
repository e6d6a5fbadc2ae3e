"""Quarantine vault: restore, delete, refusals, races and crashes at every step."""

import hashlib
import json
import os
import stat
import threading
import time

import pytest

from conftest import EICAR, Agent, copies, listed, move_in, wait_for, write
from test_history import export_all


def quarantine_one(agent, name="eicar.txt", content=EICAR, mode=0o640):
    """Moves a detectable file into ~/Downloads and waits until real-time protection quarantines it."""
    path = move_in(agent, name, content, mode)
    return path, wait_for(lambda: next(iter(listed(agent, path)), None), 20, what="quarantine entry")


def status_of(agent, path):
    return {t["status"] for t in agent.data("threats") if t.get("path") == path}


class TestRestoreAndDelete:
    def test_restore_delete_and_what_they_refuse(self, agent):
        path, first = quarantine_one(agent, mode=0o640)
        assert stat.S_IMODE(os.stat(first["vault_path"]).st_mode) == 0o600
        assert first["sha256"] == hashlib.sha256(EICAR).hexdigest()
        write(path, b"new user data")  # never restored over what the user put in its place
        reply = agent.call("quarantine.restore", id=first["id"])
        assert reply["ok"] is False and "already exists" in reply["error"]
        assert open(path, "rb").read() == b"new user data" and listed(agent, path)
        os.unlink(path)
        agent.data("quarantine.restore", id=first["id"])
        assert open(path, "rb").read() == EICAR and stat.S_IMODE(os.stat(path).st_mode) == 0o640
        assert not listed(agent, path) and not os.path.exists(first["vault_path"])
        assert status_of(agent, path) == {"restored"}

        # A vault file damaged since is not restored.
        damaged, entry = quarantine_one(agent, name="damaged.txt")
        with open(entry["vault_path"], "r+b") as fh:
            fh.seek(-3, os.SEEK_END)
            fh.write(b"\x00")
        reply = agent.call("quarantine.restore", id=entry["id"])
        assert reply["ok"] is False and "hash mismatch" in reply["error"]
        assert not os.path.exists(damaged) and len(listed(agent, damaged)) == 1
        # Nor into a directory that became a symbolic link meanwhile.
        sub = os.path.join(agent.downloads, "sub")
        os.makedirs(sub)
        time.sleep(0.5)
        linked, moved = quarantine_one(agent, name="sub/e.txt")
        elsewhere = os.path.join(agent.home, "elsewhere")
        os.makedirs(elsewhere)
        os.rmdir(sub)
        os.symlink(elsewhere, sub)
        reply = agent.call("quarantine.restore", id=moved["id"])
        assert reply["ok"] is False and "symbolic link" in reply["error"]
        assert os.listdir(elsewhere) == [] and len(listed(agent, linked)) == 1

        agent.data("quarantine.delete", id=entry["id"])
        assert not os.path.exists(entry["vault_path"]) and not listed(agent, damaged)
        assert agent.data("summary")["quarantined"] == 1 and status_of(agent, damaged) == {"deleted"}
        assert agent.call("quarantine.delete", id=entry["id"])["ok"] is False
        # The user chose to keep the restored file: real-time protection does not take it back.
        with open(path, "ab"):
            pass
        time.sleep(2)
        assert os.path.exists(path) and status_of(agent, path) == {"restored"}
        # Every action on the vault is kept for export.
        history = json.loads(export_all(agent, kind="quarantine", format="json")[0])
        assert [(r["action"], r["entry_id"]) for r in history] == [
            ("quarantined", first["id"]), ("restored", first["id"]), ("quarantined", entry["id"]),
            ("quarantined", moved["id"]), ("deleted", entry["id"])]
        assert history[0]["sha256"] == first["sha256"]

class TestRaces:
    def test_concurrent_restore_and_delete_exactly_one_wins(self, agent):
        for round_ in range(4):
            path, entry = quarantine_one(agent, name=f"race{round_}.txt")
            results = {}
            barrier = threading.Barrier(2)

            def go(op):
                barrier.wait()
                results[op] = agent.call(op, id=entry["id"])["ok"]

            threads = [threading.Thread(target=go, args=(op,)) for op in ("quarantine.restore", "quarantine.delete")]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
            assert sorted(results.values()) == [False, True], results
            restored = results["quarantine.restore"]
            assert os.path.exists(path) == restored
            assert not os.path.exists(entry["vault_path"])
            if restored:
                os.unlink(path)

    def test_quarantine_across_filesystems(self, home, tmpfs):
        a = Agent(home, {"TSAV_AGENT_DATA_DIR": tmpfs})
        a.data_dir = tmpfs
        a.start()
        try:
            path, entry = quarantine_one(a)
            assert entry["vault_path"].startswith(tmpfs) and not os.path.exists(path)
            a.data("quarantine.restore", id=entry["id"])
            assert open(path, "rb").read() == EICAR
        finally:
            a.stop()


class TestCrashSafety:
    @pytest.mark.parametrize("step", [1, 2, 3, 4, 5, 6])
    def test_kill_during_move_loses_nothing(self, home, step):
        a = Agent(home)
        a.start({"TSAV_AGENT_FAULT": f"kill:move:{step}"})
        path = os.path.join(a.downloads, "eicar.txt")
        with open(path, "wb") as fh:
            fh.write(EICAR)
        assert a.wait_exit(30) == -9
        a.start()
        try:
            assert copies(a, path) == 1
            # After recovery the file is either back in place or a listed entry, never both.
            listed = [e for e in a.data("quarantine.list") if e["original_path"] == path]
            assert len(listed) + os.path.exists(path) == 1
            if step >= 4:
                assert listed and not os.path.exists(path)  # a durable copy means the move is finished
        finally:
            a.stop()

    @pytest.mark.parametrize("op,step", [("restore", s) for s in range(1, 6)] + [("delete", 1), ("delete", 2)])
    def test_kill_during_restore_or_delete_loses_nothing(self, home, op, step):
        a = Agent(home)
        a.start()
        path, entry = quarantine_one(a)
        a.stop()
        a.start({"TSAV_AGENT_FAULT": f"kill:{op}:{step}"})
        try:
            a.call(f"quarantine.{op}", id=entry["id"])
        except (OSError, ValueError):
            pass
        assert a.wait_exit(30) == -9
        a.start()
        try:
            if op == "delete":  # recovery finishes it
                assert copies(a, path) == 0 and a.data("quarantine.list") == []
            else:
                assert copies(a, path) == 1
                if step >= 3:
                    assert os.path.exists(path)  # linked into place: recovery finishes the restore
        finally:
            a.stop()

    @pytest.mark.parametrize("nth", [1, 2])
    def test_full_disk_during_move_keeps_original(self, home, nth):
        a = Agent(home)
        a.start({"TSAV_AGENT_FAULT": f"enospc:{nth}"})
        try:
            path = os.path.join(a.downloads, "eicar.txt")
            with open(path, "wb") as fh:
                fh.write(EICAR)
            wait_for(lambda: any("automatic quarantine failed" in e["action"] for e in a.data("events")), 20,
                     what="failed quarantine event")
            assert copies(a, path) == 1 and a.data("quarantine.list") == []
            assert {t["status"] for t in a.data("threats")} == {"detected"}
        finally:
            a.stop()

    def test_full_disk_during_restore_keeps_vault_entry(self, home):
        a = Agent(home)
        a.start()
        path, entry = quarantine_one(a)
        a.stop()
        a.start({"TSAV_AGENT_FAULT": "enospc:1"})
        try:
            reply = a.call("quarantine.restore", id=entry["id"])
            assert reply["ok"] is False and reply["error"] == "writing the restored file failed: disk full"
            assert copies(a, path) == 1 and not os.path.exists(path)
            assert [e["id"] for e in a.data("quarantine.list")] == [entry["id"]]
        finally:
            a.stop()
