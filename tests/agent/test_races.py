"""Races between the agent's own threads, driven in-process so the interleaving is exact."""

import hashlib
import os
import threading

import pytest

from agent.config import Config
from agent.main import Agent
from conftest import EICAR


@pytest.fixture
def inproc(home):
    os.makedirs(os.path.join(home, "Downloads"))
    agent = Agent(Config(data_dir=os.path.join(home, "data"), socket_path=os.path.join(home, "s.sock")))
    yield agent
    agent.db.close()


def _late_view(agent, path):
    """What a second reader (a scan racing real-time protection) holds after reading the file.

    In process no clamd runs, so YARA alone detects; the races are about what happens after.
    """
    st = os.stat(path)
    with open(path, "rb") as fh:
        data = fh.read()
    return st, hashlib.sha256(data).hexdigest(), agent.yara.check(data)


class TestDetectionRace:
    def test_late_reader_of_a_quarantined_file_records_nothing(self, inproc, home):
        path = os.path.join(home, "Downloads", "eicar.com")
        with open(path, "wb") as fh:
            fh.write(EICAR)
        late = _late_view(inproc, path)
        assert len(late[2]) == 1

        assert inproc.scanner.inspect(path, source="realtime") == 1
        assert not os.path.exists(path)
        assert inproc.scanner._handle(path, late[0], late[1], late[2], "scan") == 0

        rows = [t for t in inproc.threats.latest(50) if t.get("path") == path]
        assert [t["status"] for t in rows] == ["quarantined"]
        assert len(inproc.vault.list(10)) == 1

    def test_late_reader_of_a_replaced_file_leaves_the_new_file_to_its_own_event(self, inproc, home):
        path = os.path.join(home, "Downloads", "eicar.com")
        with open(path, "wb") as fh:
            fh.write(EICAR)
        late = _late_view(inproc, path)
        inproc.scanner.inspect(path)
        with open(path, "wb") as fh:  # a new file (new inode) at the same path
            fh.write(b"harmless")
        inproc.scanner._handle(path, late[0], late[1], late[2], "scan")
        assert os.path.exists(path)
        assert len([t for t in inproc.threats.latest(50) if t.get("path") == path]) == 1

    def test_concurrent_inspections_record_each_file_once(self, inproc, home):
        paths = []
        for i in range(12):
            p = os.path.join(home, "Downloads", f"e{i}.com")
            with open(p, "wb") as fh:
                fh.write(EICAR)
            paths.append(p)
        barrier = threading.Barrier(2)

        def worker():
            barrier.wait()
            for p in paths:
                inproc.scanner.inspect(p)

        threads = [threading.Thread(target=worker) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        rows = inproc.threats.latest(500)
        for p in paths:
            mine = [t for t in rows if t.get("path") == p]
            assert [t["status"] for t in mine] == ["quarantined"], mine
        assert len(inproc.vault.list(100)) == len(paths)
