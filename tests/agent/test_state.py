"""The agent's state stays true under faults: full disks, damaged databases, a second agent,
kill -9 in the middle of a detection, and the very first answers."""

import errno
import hashlib
import os
import random
import secrets
import signal
import socket
import sqlite3
import subprocess
import sys
import time

import pytest

from agent.config import Config
from agent.db import StorageError
from agent.main import Agent as InProcessAgent
from agent.vault import MAGIC, encode_header, xor_bytes
from conftest import EICAR, Agent, copies, listed, move_in, wait_for


def threats_of(agent, path):
    return sorted((t["kind"], t["status"]) for t in agent.data("threats", limit=1000) if t.get("path") == path)


def settled(agent, path):
    """Quarantined exactly once, under exactly one threat."""
    return (not os.path.exists(path) and len(listed(agent, path)) == 1
            and threats_of(agent, path) == [("signature", "quarantined")])


def fill(directory) -> str:
    """Fills the filesystem of `directory` to the last byte; returns the filler's path."""
    filler = os.path.join(directory, "filler")
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        block = b"\0" * (1 << 16)
        while block:
            try:
                os.write(fd, block)
            except OSError as exc:
                assert exc.errno == errno.ENOSPC
                block = block[:len(block) // 2]
    finally:
        os.close(fd)
    return filler


class TestFullAndReadOnlyDisks:
    def test_real_full_filesystem_changes_nothing_and_loses_nothing(self, tmpfs):
        a = Agent(tmpfs)
        a.start()
        try:
            first = move_in(a, "first.com")
            wait_for(lambda: settled(a, first), 20, what="first file quarantined")
            entry = listed(a, first)[0]
            before = a.data("settings.get")
            staged = os.path.join(tmpfs, "staging", "late.part")  # made by move_in(): HOME itself is watched
            with open(staged, "wb") as fh:
                fh.write(EICAR)
            filler = fill(tmpfs)
            late = os.path.join(a.downloads, "late.com")
            os.rename(staged, late)  # a rename needs no space; recording its detection does

            reply = a.call("settings.set", values={"realtime_enabled": False})
            assert reply == {"ok": False, "data": None, "error": "settings not saved: disk full"}
            assert a.data("settings.get") == before
            reply = a.call("scan.start", kind="quick")
            assert reply["ok"] is False and reply["error"] == "scan not started: disk full"
            assert a.data("scan.status")["running"] is False
            reply = a.call("quarantine.restore", id=entry["id"])
            assert reply["ok"] is False and reply["error"].endswith("disk full")
            assert listed(a, first) and not os.path.exists(first)
            assert a.data("summary")["quarantined"] == 1
            a.stop()
            a.start()  # starts, and tells the truth, on a full disk too
            assert a.data("settings.get") == before and a.data("summary")["quarantined"] == 1

            os.unlink(filler)
            # The detection that could not be written is retried, and real-time protection is on.
            wait_for(lambda: settled(a, late), 30, what="late file quarantined once space is back")
            third = move_in(a, "third.com")
            wait_for(lambda: settled(a, third), 20, what="new file quarantined")
            assert a.data("summary")["quarantined"] == 3
            a.stop()
            a.start()
            assert a.data("settings.get") == before
            assert copies(a, first) == 1 and copies(a, late) == 1
        finally:
            a.stop()

    def test_read_only_data_directory_is_named(self, home, tmpfs):
        data = os.path.join(tmpfs, "data")
        os.makedirs(data)
        subprocess.run(["mount", "-o", "remount,ro", tmpfs], check=True)
        a = Agent(home, {"TSAV_AGENT_DATA_DIR": data})
        a.start(wait=False)
        assert a.wait_exit(60) == 1
        assert "read-only file system" in a.log()

    def test_sqlite_fault_injection_fails_every_write_path_cleanly(self, home):
        """SQLite's own page limit fills the database from inside: every kind of write fails with
        "disk full", nothing changes in memory, and what waited is written once there is room."""
        os.makedirs(os.path.join(home, "Downloads"))
        agent = InProcessAgent(Config(data_dir=os.path.join(home, "data"), socket_path=os.path.join(home, "s.sock"),
                                      quick_locations=[os.path.join(home, "Downloads")]))
        try:
            db = agent.db
            pages = db.query_one("PRAGMA page_count")[0]
            db.execute(f"PRAGMA max_page_count={pages}")
            # Fill the free room of the pages each write below would use, down to the last bytes.
            for sql in ("INSERT INTO events(ts, source, action) VALUES(0, 'agent', ?)",
                        "INSERT INTO kv(key, value) VALUES(hex(randomblob(8)), ?)",
                        "INSERT INTO scans(kind, started) VALUES(?, 0)",
                        "INSERT INTO threats(ts, kind, severity, status, description) VALUES(0, 'x', 'low', 'resolved', ?)"):
                for size in (400, 100, 20, 1):
                    with pytest.raises(StorageError, match="disk full"):
                        for _ in range(100_000):
                            db.execute(sql, ("x" * size,))
            agent.events.emit("agent", "written later")  # waits in memory, the caller is not failed
            assert agent.service({"op": "settings.set", "values": {"auto_quarantine": False}}) == \
                (False, None, "settings not saved: disk full")
            assert agent.settings.get("auto_quarantine") is True
            assert agent.service({"op": "scan.start", "kind": "quick"})[2] == "scan not started: disk full"
            assert not agent.scanner.running()
            path = os.path.join(home, "Downloads", "e.com")
            with open(path, "wb") as fh:
                fh.write(EICAR)
            with pytest.raises(Exception, match="disk full"):
                agent.scanner.inspect(path)
            assert path in agent.journal.retry and os.path.exists(path)

            db.execute("PRAGMA max_page_count=1073741823")
            agent.journal.retry[path] = (0.0, 1.0)  # due now
            agent._retry_detections()
            assert not os.path.exists(path) and len(agent.vault.list(10)) == 1
            assert agent.journal.pending() == 0
            assert agent.events.flush()
            assert "written later" in [e["action"] for e in agent.events.latest(20)]
        finally:
            agent.db.close()


class TestOneAgentPerDataDirectory:
    def test_second_agent_exits_and_the_first_brings_its_socket_back(self, agent, home):
        # Another data directory, the same socket: the socket is taken.
        other = Agent(agent.home, {"TSAV_AGENT_DATA_DIR": os.path.join(home, "other")})
        other.log_path = os.path.join(agent.home, "other.log")
        other.start(wait=False)
        assert other.wait_exit(60) == 2
        assert "already answering" in open(other.log_path).read()
        assert agent.call("summary")["ok"] is True
        # The same data directory, the socket gone (what made a console start a second agent).
        os.unlink(agent.socket)
        second = Agent(agent.home)
        second.log_path = os.path.join(agent.home, "second.log")
        second.start(wait=False)
        assert second.wait_exit(60) == 3
        line = f"another agent (pid {agent.proc.pid}) owns {agent.data_dir}"
        assert line in open(second.log_path).read().splitlines()
        # The first agent binds again within 2 s, also over a dead socket left in its place.
        wait_for(lambda: os.path.exists(agent.socket), 2.5, 0.05, what="socket recreated")
        assert agent.call("summary")["ok"] is True
        os.unlink(agent.socket)
        dead = socket.socket(socket.AF_UNIX)
        dead.bind(agent.socket)
        dead.close()
        wait_for(lambda: agent._answers(), 2.5, 0.05, what="socket bound again over a dead one")
        assert len(agent.data("events", limit=1000)) > 0 and agent.proc.poll() is None


def corrupt_middle(db_path, table="events"):
    """Overwrites the middle third of `table`'s pages (wherever the schema put them), then lets
    the agent see it (another program's write makes SQLite drop its cached pages)."""
    conn = sqlite3.connect(db_path)
    conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    page = conn.execute("PRAGMA page_size").fetchone()[0]
    pages = sorted(p for (p,) in conn.execute("SELECT pageno FROM dbstat WHERE name=?", (table,)))
    conn.close()
    with open(db_path, "r+b") as fh:
        for number in pages[len(pages) // 3: 2 * len(pages) // 3] or pages[-1:]:
            fh.seek((number - 1) * page)
            fh.write(os.urandom(page))
    conn = sqlite3.connect(db_path)
    conn.execute("CREATE TABLE IF NOT EXISTS poke(x)")
    conn.close()


class TestDamagedDatabase:
    def test_damaged_header_at_start_readopts_the_vault(self, home):
        a = Agent(home)
        a.start()
        kept = move_in(a, "kept.com")
        wait_for(lambda: settled(a, kept), 20, what="file quarantined")
        a.data("settings.set", values={"auto_kill_high_risk": True})
        a.stop()
        # A file of the vault written before files carried a header: its key lived only in the database.
        old_name = secrets.token_hex(16) + ".tsq"
        with open(os.path.join(a.data_dir, "vault", old_name), "wb") as fh:
            fh.write(MAGIC + xor_bytes(EICAR, secrets.token_bytes(32)))
        with open(os.path.join(a.data_dir, "agent.db"), "r+b") as fh:
            fh.write(b"\0" * 100)

        a.start()
        try:
            assert [e["original_path"] for e in a.data("quarantine.list")] == [kept]
            assert threats_of(a, kept) == [("signature", "quarantined")]
            assert os.listdir(os.path.join(a.data_dir, "vault", "unadopted")) == [old_name]
            actions = [e["action"] for e in a.data("events")]
            assert any("1 quarantined files re-adopted" in x for x in actions)
            assert any("1 vault files could not be re-adopted" in x for x in actions)
            fresh = move_in(a, "fresh.com")
            wait_for(lambda: settled(a, fresh), 20, what="new file quarantined")
        finally:
            a.stop()


    def test_readopt_takes_what_it_can_and_sets_the_rest_aside(self, home):
        agent = InProcessAgent(Config(data_dir=os.path.join(home, "data"), socket_path=os.path.join(home, "s.sock")))
        try:
            vault = agent.vault.dir
            key = secrets.token_bytes(32)
            sha = hashlib.sha256(EICAR).hexdigest()
            files = {
                "old-known.tsq": MAGIC + xor_bytes(EICAR, key),  # its key survives in the damaged database
                "old-lost.tsq": MAGIC + xor_bytes(EICAR, secrets.token_bytes(32)),
                "garbage.tsq": os.urandom(300),
                "torn.tsq": encode_header({"id": 1})[:20],
                "strange.tsq": encode_header({"id": 1 << 70, "ts": "x", "path": "zz", "sha256": sha, "size": 68,
                                              "key": 5, "threats": "no"}) + EICAR,
                "in-progress.tsq": encode_header({"id": 9, "sha256": ""}),  # left to its running move
                "notes.txt": b"not a vault file",
            }
            for name, data in files.items():
                with open(os.path.join(vault, name), "wb") as fh:
                    fh.write(data)
            old_rows = [{"id": 41, "ts": 1.0, "original_path": os.path.join(home, "x.com"),
                         "vault_path": "/elsewhere/old-known.tsq", "sha256": sha, "size": 68, "reason": "r",
                         "state": "active", "xor_key": key, "orig_dev": 1, "orig_ino": 2, "mode": 0o644, "uid": 0,
                         "gid": 0, "threat_ids": "[]"},
                        dict(id=42, vault_path="old-lost.tsq", sha256=sha, xor_key=key)]  # a wrong key
            report = agent.vault.readopt(old_rows)
            assert report["adopted"] == 1
            assert sorted(r.split(" ")[0] for r in report["unadopted"]) == \
                ["garbage.tsq", "old-lost.tsq", "strange.tsq", "torn.tsq"]
            assert sorted(os.listdir(os.path.join(vault, "unadopted"))) == \
                ["garbage.tsq", "old-lost.tsq", "strange.tsq", "torn.tsq"]
            (entry,) = agent.vault.list(10)
            assert entry["id"] == 41 and entry["vault_path"] == os.path.join(vault, "old-known.tsq")
            assert agent.vault.restore(41) == os.path.join(home, "x.com")
            assert open(os.path.join(home, "x.com"), "rb").read() == EICAR
        finally:
            agent.db.close()


class TestCrashRecovery:
    @pytest.mark.parametrize("step", [1, 2, 3])
    def test_kill_during_detection_leaves_nothing_unrecorded(self, home, step):
        a = Agent(home)
        for round_ in range(2):
            a.start({"TSAV_AGENT_FAULT": f"kill:detect:{step}"})
            path = move_in(a, f"e{round_}.com")
            assert a.wait_exit(30) == -9
            a.start()
            try:
                wait_for(lambda: settled(a, path), 20, what="detection finished after restart")
                assert copies(a, path) == 1
            finally:
                a.stop()

    def test_kill_at_random_moments_repeated(self, home):
        """Files arrive and a restore runs while the agent is killed at an arbitrary moment; after
        each restart (and a scan for what it never saw) every file is in exactly one place."""
        rng = random.Random(13)
        a = Agent(home)
        a.start()
        files, restored = [], set()
        try:
            for round_ in range(3):
                restore = None
                if round_:
                    target = files[-1]
                    entry = listed(a, target)[0]
                    restore = subprocess.Popen(
                        [sys.executable, "-c", "import json,socket,sys;s=socket.socket(socket.AF_UNIX);"
                         "s.connect(sys.argv[1]);s.sendall(json.dumps({'op':'quarantine.restore',"
                         "'id':int(sys.argv[2])}).encode()+b'\\n');s.recv(4096)", a.socket, str(entry["id"])],
                        stderr=subprocess.DEVNULL)
                files += [move_in(a, f"r{round_}-{i}.com") for i in range(4)]
                time.sleep(rng.uniform(0.0, 0.4))
                a.proc.send_signal(signal.SIGKILL)
                a.wait_exit(30)
                if restore is not None:
                    restore.wait(30)
                    if os.path.exists(target):  # linked into place: the restart finishes the restore
                        restored.add(target)
                a.start()
                a.data("scan.start", kind="quick")  # for files the agent never got to see
                wait_for(lambda: not a.data("scan.status")["running"], 30, what="scan")
                for path in files:
                    if path in restored:
                        assert copies(a, path) == 1 and os.path.exists(path) and not listed(a, path)
                    else:
                        wait_for(lambda: settled(a, path), 20, what=f"{path} quarantined once")
                        assert copies(a, path) == 1
        finally:
            a.stop()


def test_socket_opens_with_the_first_telemetry_sample(home):
    # Looked for as fast as a process can, the socket file answers the moment it is
    # there: a client (or a second agent) that finds it refusing takes it for a stale one.
    for attempt in range(3):
        a = Agent(home)
        a.start(wait=False)
        try:
            wait_for(lambda: os.path.exists(a.socket) or a.proc.poll() is not None, 60, 0, what="socket")
            assert a.data("processes"), "empty process list right after the socket appeared"
        finally:
            a.stop()
