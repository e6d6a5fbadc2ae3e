"""Quarantine vault: restore, delete, refusals, races and crashes at every step."""

import os
import shutil
import stat
import tempfile
import threading

import pytest

from conftest import EICAR, Agent, wait_for
from agent.vault import read_header, xor_bytes


def quarantine_one(agent, name="eicar.txt", content=EICAR, mode=0o640):
    """Drops a detectable file into ~/Downloads and waits until real-time protection quarantines it."""
    path = os.path.join(agent.downloads, name)
    staging = os.path.join(agent.home, "staging.part")  # outside the watched trees
    with open(staging, "wb") as fh:
        fh.write(content)
    os.chmod(staging, mode)
    os.rename(staging, path)
    entry = wait_for(lambda: next((e for e in agent.data("quarantine.list") if e["original_path"] == path), None),
                     20, what="quarantine entry")
    return path, entry


def vault_file(vault_path, key):
    """(header, plain content) of a vault file."""
    fd = os.open(vault_path, os.O_RDONLY)
    try:
        header, offset = read_header(fd)
        os.lseek(fd, offset, os.SEEK_SET)
        data = b""
        while chunk := os.read(fd, 1 << 20):
            data += chunk
    finally:
        os.close(fd)
    return header, xor_bytes(data, key)


def copies(agent, path, content=EICAR):
    """How many times `content` exists: at `path` plus in listed vault entries. Also checks for orphans."""
    n = 0
    if os.path.lexists(path):
        with open(path, "rb") as fh:
            assert fh.read() == content
        n += 1
    conn = agent.db()
    try:
        rows = conn.execute("SELECT * FROM quarantine").fetchall()
    finally:
        conn.close()
    vault_dir = os.path.join(agent.data_dir, "vault")
    listed = set()
    for row in rows:
        assert row["state"] == "active", dict(row)
        header, plain = vault_file(row["vault_path"], bytes(row["xor_key"]))
        # The header alone is enough to rebuild the entry.
        assert (header["id"], header["sha256"], header["size"], bytes.fromhex(header["key"])) == \
            (row["id"], row["sha256"], row["size"], bytes(row["xor_key"]))
        assert os.fsdecode(bytes.fromhex(header["path"])) == row["original_path"]
        if plain == content and row["original_path"] == path:
            n += 1
        listed.add(os.path.basename(row["vault_path"]))
    assert set(os.listdir(vault_dir)) == listed, "vault file without an entry"
    assert not [f for f in os.listdir(os.path.dirname(path)) if f.startswith(".tsav-restore-")]
    return n


class TestRestoreAndDelete:
    def test_restore_puts_file_back_with_mode_and_hash(self, agent):
        path, entry = quarantine_one(agent, mode=0o640)
        assert stat.S_IMODE(os.stat(entry["vault_path"]).st_mode) == 0o600
        assert entry["sha256"] == __import__("hashlib").sha256(EICAR).hexdigest()
        agent.data("quarantine.restore", id=entry["id"])
        with open(path, "rb") as fh:
            assert fh.read() == EICAR
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
        assert agent.data("quarantine.list") == []
        assert not os.path.exists(entry["vault_path"])
        assert {t["status"] for t in agent.data("threats")} == {"restored"}
        # The user chose to keep it: real-time protection does not take it back.
        os.utime(path)
        with open(path, "ab"):
            pass
        import time
        time.sleep(2)
        assert os.path.exists(path) and agent.data("quarantine.list") == []

    def test_restore_never_overwrites(self, agent):
        path, entry = quarantine_one(agent)
        with open(path, "wb") as fh:
            fh.write(b"new user data")
        reply = agent.call("quarantine.restore", id=entry["id"])
        assert reply["ok"] is False and "already exists" in reply["error"]
        assert open(path, "rb").read() == b"new user data"
        assert [e["id"] for e in agent.data("quarantine.list")] == [entry["id"]]

    def test_restore_refuses_symlinked_directory(self, agent):
        sub = os.path.join(agent.downloads, "sub")
        os.makedirs(sub)
        import time
        time.sleep(0.5)
        path, entry = quarantine_one(agent, name="sub/e.txt")
        elsewhere = tempfile.mkdtemp(dir=agent.home)
        os.rmdir(sub)
        os.symlink(elsewhere, sub)
        reply = agent.call("quarantine.restore", id=entry["id"])
        assert reply["ok"] is False and "symbolic link" in reply["error"]
        assert os.listdir(elsewhere) == []
        assert len(agent.data("quarantine.list")) == 1

    def test_damaged_vault_file_is_not_restored(self, agent):
        path, entry = quarantine_one(agent)
        with open(entry["vault_path"], "r+b") as fh:
            fh.seek(-3, os.SEEK_END)
            fh.write(b"\x00")
        reply = agent.call("quarantine.restore", id=entry["id"])
        assert reply["ok"] is False and "hash mismatch" in reply["error"]
        assert not os.path.exists(path)
        assert len(agent.data("quarantine.list")) == 1

    def test_delete_removes_vault_file_and_entry(self, agent):
        path, entry = quarantine_one(agent)
        agent.data("quarantine.delete", id=entry["id"])
        assert not os.path.exists(entry["vault_path"]) and not os.path.exists(path)
        assert agent.data("quarantine.list") == []
        assert agent.data("summary")["quarantined"] == 0
        assert {t["status"] for t in agent.data("threats")} == {"deleted"}
        assert agent.call("quarantine.delete", id=entry["id"])["ok"] is False

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

    def test_quarantine_across_filesystems(self, home):
        if os.stat("/dev/shm").st_dev == os.stat(home).st_dev:
            pytest.skip("no second filesystem")
        data = tempfile.mkdtemp(prefix="tsav", dir="/dev/shm")
        a = Agent(home, {"TSAV_AGENT_DATA_DIR": data})
        a.data_dir = data
        a.start()
        try:
            path, entry = quarantine_one(a)
            assert entry["vault_path"].startswith(data) and not os.path.exists(path)
            a.data("quarantine.restore", id=entry["id"])
            assert open(path, "rb").read() == EICAR
        finally:
            a.stop()
            shutil.rmtree(data, ignore_errors=True)


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

    @pytest.mark.parametrize("step", [1, 2, 3, 4, 5])
    def test_kill_during_restore_loses_nothing(self, home, step):
        a = Agent(home)
        a.start()
        path, entry = quarantine_one(a)
        a.stop()
        a.start({"TSAV_AGENT_FAULT": f"kill:restore:{step}"})
        try:
            a.call("quarantine.restore", id=entry["id"])
        except (OSError, ValueError):
            pass
        assert a.wait_exit(30) == -9
        a.start()
        try:
            assert copies(a, path) == 1
            if step >= 3:
                assert os.path.exists(path)  # linked into place: recovery finishes the restore
        finally:
            a.stop()

    @pytest.mark.parametrize("step", [1, 2])
    def test_kill_during_delete_finishes_it(self, home, step):
        a = Agent(home)
        a.start()
        path, entry = quarantine_one(a)
        a.stop()
        a.start({"TSAV_AGENT_FAULT": f"kill:delete:{step}"})
        try:
            a.call("quarantine.delete", id=entry["id"])
        except (OSError, ValueError):
            pass
        assert a.wait_exit(30) == -9
        a.start()
        try:
            assert copies(a, path) == 0 and a.data("quarantine.list") == []
        finally:
            a.stop()

    @pytest.mark.parametrize("write", [1, 2])
    def test_full_disk_during_move_keeps_original(self, home, write):
        a = Agent(home)
        a.start({"TSAV_AGENT_FAULT": f"enospc:{write}"})
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
