"""ClamAV behind the "signature" engine: archives, the user's databases, engine health and clamd's life."""

import bz2
import gzip
import io
import lzma
import os
import signal
import socket
import subprocess
import tarfile
import zipfile

from conftest import EICAR, Agent, clamd_processes, scan, wait_for, write

MARKER = b"tessaly user marker 7f3a9c"


def zipped(name, data):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(name, data)
    return out.getvalue()


def tarred(name, data, mode="w"):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode=mode) as archive:
        info = tarfile.TarInfo(name)
        info.size = len(data)
        archive.addfile(info, io.BytesIO(data))
    return out.getvalue()


def engine(agent, name="signature"):
    return agent.data("metrics.live")["engines"][name]


def settled(agent):
    """The signature engine's health once clamd answers."""
    return wait_for(lambda: (lambda e: e if e.get("reason") not in ("clamd starting", "clamd not running") else None)(
        engine(agent)), 60, what="clamd to answer")


class TestArchivesAndOneThreat:
    def test_eicar_in_every_form_is_one_quarantined_threat_naming_the_archive(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False})
        forms = {
            "eicar.com": EICAR,
            "eicar-tail.txt": EICAR + b"\n" + b"trailing data " * 21,  # 300 bytes after it
            "eicar.zip": zipped("docs/readme.com", EICAR),
            "eicar.tar": tarred("pkg/eicar.com", EICAR),
            "eicar.tar.gz": tarred("pkg/eicar.com", EICAR, "w:gz"),
            "eicar.tar.bz2": tarred("pkg/eicar.com", EICAR, "w:bz2"),
            "eicar.tar.xz": tarred("pkg/eicar.com", EICAR, "w:xz"),
            "eicar.gz": gzip.compress(EICAR),
            "eicar.bz2": bz2.compress(EICAR),
            "eicar.xz": lzma.compress(EICAR),
        }
        for name, data in forms.items():
            write(os.path.join(agent.downloads, name), data)
        write(os.path.join(agent.downloads, "clean.zip"), zipped("a.txt", b"nothing to see"))
        done = scan(agent)
        assert done["scanned"] == len(forms) + 1
        threats = {os.path.basename(t["path"]): t for t in agent.data("threats")}
        assert len(agent.data("threats")) == len(forms) and set(threats) == set(forms)
        assert all(t["kind"] == "signature" and t["status"] == "quarantined" for t in threats.values())
        assert "inside the zip archive at docs/readme.com" in threats["eicar.zip"]["description"]
        assert "inside the gzip archive at pkg/eicar.com" in threats["eicar.tar.gz"]["description"]
        assert "inside the tar archive at pkg/eicar.com" in threats["eicar.tar"]["description"]
        assert sorted(os.listdir(agent.downloads)) == ["clean.zip"]
        assert {e["original_path"] for e in agent.data("quarantine.list")} == {
            os.path.join(agent.downloads, n) for n in forms}


class TestUserDatabases:
    def test_a_dropped_ndb_is_used_by_the_next_scan_and_a_broken_one_is_reported(self, agent):
        agent.data("settings.set", values={"realtime_enabled": False, "auto_quarantine": False})
        assert settled(agent) == {"hits": 0, "last": 0.0, "state": "degraded", "reason": "no signature database"}
        clamav_dir = os.path.join(agent.data_dir, "clamav")
        assert os.stat(clamav_dir).st_mode & 0o777 == 0o700
        plain = write(os.path.join(agent.downloads, "marker.txt"), b"header\n" + MARKER + b"\n")
        archive = write(os.path.join(agent.downloads, "notes.zip"), zipped("inner/marker.txt", MARKER))
        assert scan(agent)["scanned"] == 2 and agent.data("threats") == []
        write(os.path.join(clamav_dir, "mine.ndb"), f"Local.User.Marker:0:*:{MARKER.hex()}\n".encode())
        write(os.path.join(clamav_dir, "broken.ndb"), b"this is not a signature\n")
        scan(agent)
        found = {t["path"]: t for t in agent.data("threats")}
        assert set(found) == {plain, archive}
        assert {t["signature"] for t in found.values()} == {"Local.User.Marker"}
        assert "inside the zip archive at inner/marker.txt" in found[archive]["description"]
        assert engine(agent)["reason"] == "1 user database failed to load"
        assert any("not loaded" in e["action"] and e.get("target", "").endswith("broken.ndb")
                   for e in agent.data("events"))
        os.unlink(os.path.join(clamav_dir, "broken.ndb"))
        wait_for(lambda: engine(agent)["state"] == "ok", 30, what="engine ok without the broken database")


class TestEngineHealth:
    def test_without_clamd_signature_is_degraded_and_yara_still_finds_eicar(self, home):
        a = Agent(home, {"TSAV_AGENT_CLAMD": ""})
        write(os.path.join(a.data_dir, "rules", "bad.yar"), b"rule broken { condition: nonsense }\n")
        a.start()
        try:
            a.data("settings.set", values={"realtime_enabled": False})
            assert engine(a) == {"hits": 0, "last": 0.0, "state": "degraded", "reason": "clamd not installed"}
            assert engine(a, "yara")["reason"] == "1 user rule failed to compile"
            write(os.path.join(a.downloads, "eicar.com"), EICAR)
            scan(a)
            [threat] = a.data("threats")
            assert threat["kind"] == "yara" and threat["status"] == "quarantined"
            end = next(e for e in a.data("events") if e["source"] == "scan" and "finished" in e["action"])
            assert "1 not checked by ClamAV" in end["action"]
        finally:
            a.stop()


class TestClamdLife:
    def test_clamd_is_restarted_when_it_dies_dies_with_the_agent_and_a_leftover_is_stopped(self, agent):
        settled(agent)
        [first] = clamd_processes(agent.data_dir)
        assert os.readlink(f"/proc/{first}/cwd") == os.path.join(agent.data_dir, "clamd")
        metrics = agent.data("metrics.live")["agent"]
        assert metrics["clamd_rss"] > 1 << 20 and metrics["rss"] > metrics["clamd_rss"]
        os.kill(first, signal.SIGKILL)
        wait_for(lambda: any("clamd stopped unexpectedly" in e["action"] for e in agent.data("events")), 20,
                 what="the agent to notice")
        second = wait_for(lambda: [p for p in clamd_processes(agent.data_dir) if p != first], 30,
                          what="a new clamd")
        settled(agent)
        write(os.path.join(agent.downloads, "after-restart.com"), EICAR)
        wait_for(lambda: any(t["kind"] == "signature" for t in agent.data("threats")), 20,
                 what="a signature detection through the new clamd")
        agent.proc.kill()
        agent.wait_exit()
        wait_for(lambda: not clamd_processes(agent.data_dir), 10, what="clamd to die with its agent")
        assert second
        # A clamd left behind some other way is stopped by the next agent.
        conf = os.path.join(agent.data_dir, "clamd", "clamd.conf")
        leftover = subprocess.Popen(["clamd", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    start_new_session=True)
        sock = os.path.join(agent.data_dir, "clamd", "clamd.sock")
        wait_for(lambda: os.path.exists(sock), 30, what="the leftover clamd's socket")
        agent.start()
        assert leftover.wait(30) is not None
        settled(agent)
        assert leftover.pid not in clamd_processes(agent.data_dir)

    def test_the_system_clamd_is_used_when_it_answers(self, home, tmp_path):
        """A clamd that is not the agent's own (here standing in for the system one) serves the scans."""
        db = tmp_path / "db"
        db.mkdir()
        (db / "system.ndb").write_text(f"System.Marker:0:*:{MARKER.hex()}\n")
        sock = str(tmp_path / "c.sock")
        (tmp_path / "clamd.conf").write_text(
            f"LocalSocket {sock}\nDatabaseDirectory {db}\nForeground yes\nTemporaryDirectory {tmp_path}\n")
        system = subprocess.Popen(["clamd", "-c", str(tmp_path / "clamd.conf")], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        a = Agent(home, {"TSAV_AGENT_CLAMD_SOCKET": sock})
        try:
            wait_for(lambda: _answers(sock), 30, what="the stand-in system clamd")
            a.start()
            a.data("settings.set", values={"realtime_enabled": False, "auto_quarantine": False})
            assert engine(a)["state"] == "ok" and clamd_processes(a.data_dir) == []
            write(os.path.join(a.downloads, "m.txt"), MARKER)
            scan(a)
            assert [t["signature"] for t in a.data("threats")] == ["System.Marker"]
            system.terminate()
            system.wait(10)
            # Without it the agent runs its own clamd (which has no real database here).
            wait_for(lambda: engine(a).get("reason") == "no signature database", 60, what="the private clamd")
        finally:
            a.stop()
            if system.poll() is None:
                system.kill()


def _answers(path):
    s = socket.socket(socket.AF_UNIX)
    try:
        s.connect(path)
        s.sendall(b"zPING\0")
        return s.recv(16) == b"PONG\0"
    except OSError:
        return False
    finally:
        s.close()
