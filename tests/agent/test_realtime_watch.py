"""Real-time protection: every place it must watch, and nothing lost or skipped silently."""

import os
import shutil

import pytest

from agent import inotify
from conftest import EICAR, Agent, deep_file, quarantined_paths, wait_for, write


def events(agent, needle):
    return [e for e in agent.data("events", limit=1000) if needle in e["action"]]


def realtime(agent):
    return agent.data("metrics.live")["realtime"]


class TestPlaces:
    def test_landing_and_persistence_places_of_a_romanian_desktop(self, home):
        config = os.path.join(home, ".config")
        os.makedirs(config)
        with open(os.path.join(config, "user-dirs.dirs"), "w", encoding="utf-8") as fh:
            fh.write('XDG_DOWNLOAD_DIR="$HOME/Descărcări"\nXDG_DESKTOP_DIR="$HOME/Birou"\n')
        cron = os.path.join(home, "crontabs")
        places = [os.path.join(home, "Descărcări"), os.path.join(home, "Birou"), os.path.join(config, "autostart"),
                  os.path.join(home, ".local", "bin"), os.path.join(config, "systemd", "user"), cron]
        for d in places:
            os.makedirs(d)
        with open(os.path.join(home, ".bashrc"), "w") as fh:
            fh.write("alias ll='ls -l'\n")
        a = Agent(home, {"TSAV_AGENT_CRONTAB": os.path.join(cron, "root")})
        a.start()
        try:
            on = events(a, "real-time protection on")[0]["target"]
            assert all(p in on for p in places) and os.path.join(home, "Downloads") not in on
            targets = [write(os.path.join(d, name)) for d, name in zip(
                places + [home, a.tmp, a.vartmp, a.shm],
                ["setup.exe", "x.com", "evil.desktop", "evil", "evil.service", "root", "eicar.com", "a", "b", "c"])]
            targets.append(write(os.path.join(home, ".bashrc")))  # rewritten, as a dropper might
            wait_for(lambda: set(targets) <= quarantined_paths(a), 60, what="every place's file quarantined")
            changed = {e["target"] for e in events(a, "persistence location changed")}
            assert {os.path.join(home, ".bashrc"), targets[2], targets[4], targets[5]} <= changed
            # HOME itself is watched, not what is below it.
            write(os.path.join(home, "projects", "eicar.com"))
            write(os.path.join(home, "Downloads", "eicar.com"))
            wait_for(lambda: a.data("metrics.live")["files_scanned_since_boot"] >= len(targets), 10,
                     what="inspections counted")
            assert os.path.exists(os.path.join(home, "projects", "eicar.com"))
        finally:
            a.stop()


class TestNothingLost:
    def test_odd_names_links_and_paths_beyond_path_max_are_inspected(self, agent):
        downloads = os.fsencode(agent.downloads)
        bad = os.path.join(downloads, b"\xffevil.com")
        write(bad)
        good = write(os.path.join(agent.downloads, "eicar.com"))
        wait_for(lambda: good in quarantined_paths(agent), 20, what="the normally named file quarantined")
        # The name that is not UTF-8 does not drop its batch: quarantined too (shown with U+FFFD, kept as bytes).
        shown = bad.decode("utf-8", "replace")
        wait_for(lambda: shown in quarantined_paths(agent), 20, what="the other file quarantined")
        assert not os.path.exists(bad)
        staging = write(os.path.join(agent.home, "staging", "payload"))
        linked = os.path.join(agent.downloads, "linked.com")
        os.link(staging, linked)  # IN_CREATE only: nothing is closed after writing there
        wait_for(lambda: linked in quarantined_paths(agent), 20, what="linked file quarantined")
        deep = deep_file(agent.downloads, EICAR, levels=22, settle=1.0)  # watches reach the bottom first
        wait_for(lambda: deep in quarantined_paths(agent), 20, what="file at the bottom quarantined")
        assert realtime(agent)["unwatched"] == 0 and realtime(agent)["too_long"] == 0
        shutil.rmtree(os.path.join(agent.downloads, "00" + "d" * 199))

    def test_a_file_reported_just_before_a_stop_is_still_inspected(self, agent):
        open(os.path.join(agent.data_dir, "inotify.pause"), "w").close()  # the kernel holds the event
        target = write(os.path.join(agent.downloads, "eicar.com"))
        assert agent.stop() == 0
        assert not os.path.exists(target)
        os.unlink(os.path.join(agent.data_dir, "inotify.pause"))
        agent.start()
        assert target in quarantined_paths(agent)

    def test_overflow_walks_every_location_again_whatever_its_size(self, home):
        a = Agent(home)
        a.start()
        try:
            pause = os.path.join(a.data_dir, "inotify.pause")
            open(pause, "w").close()
            # More events than the kernel queues (fs.inotify.max_queued_events is 16,384 by default),
            # and more files than any cap a walk might stop at.
            count = 21_000
            hidden = []
            for i in range(count):
                if i in (0, count // 2, count - 1):
                    hidden.append(write(os.path.join(a.downloads, f"eicar{i}.com")))
                with open(os.path.join(a.downloads, f"f{i:05d}"), "wb") as fh:
                    fh.write(b"%d" % i)
            # Made after the queue overflowed: its creation is among the lost events.
            hidden.append(write(os.path.join(a.tmp, "late", "eicar.com")))
            os.unlink(pause)
            walked = wait_for(lambda: events(a, "walked every watched location again"), 600,
                              interval=1.0, what="the re-walk")[0]
            assert int(walked["action"].split(": ")[1].split()[0]) >= count
            wait_for(lambda: set(hidden) <= quarantined_paths(a), 30, what="every hidden file quarantined")
            counts = realtime(a)
            assert counts["overflows"] >= 1 and counts["rewalks"] >= 1 and counts["rewalked_files"] >= count
            # The watches of directories made while events were lost are in place afterwards.
            later = write(os.path.join(a.tmp, "late", "again.com"))
            wait_for(lambda: later in quarantined_paths(a), 20, what="watch on a directory made during the overflow")
        finally:
            a.stop()


class TestNothingSkippedSilently:
    def test_directories_beyond_the_watch_cap_are_reported(self, home):
        a = Agent(home, {"TSAV_AGENT_MAX_WATCHES": "8"})
        for i in range(12):
            os.makedirs(os.path.join(a.downloads, f"sub{i}"))
        a.start()
        try:
            reported = wait_for(lambda: events(a, "cannot watch"), 20, what="unwatched directories reported")
            assert any("limit of 8 watched directories" in e["action"] for e in reported)
            assert realtime(a)["unwatched"] >= 1 and realtime(a)["watched"] == 8
        finally:
            a.stop()

    @pytest.mark.skipif(os.geteuid() == 0 and not shutil.which("setpriv"), reason="root reads every file")
    def test_unreadable_files_are_reported(self, home):
        # Root reads every file; without these capabilities it obeys the modes.
        a = Agent(home, prefix=["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"]
                  if os.geteuid() == 0 else ())
        a.start()
        try:
            secret = write(os.path.join(a.home, "secret.txt"), b"x")
            os.chmod(secret, 0)
            with open(secret, "ab"):  # a close after writing as root: the agent cannot open it
                pass
            wait_for(lambda: [e for e in events(a, "cannot read a file") if e.get("target") == secret], 20,
                     what="unreadable file reported")
            assert realtime(a)["unreadable"] >= 1
        finally:
            a.stop()


def test_inotify_records_survive_truncation_and_odd_names():
    import struct
    raw = struct.pack("iIII", 1, inotify.IN_CLOSE_WRITE, 0, 16) + b"\xff\xfeevil\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    raw += struct.pack("iIII", -1, inotify.IN_Q_OVERFLOW, 0, 0)
    raw += struct.pack("iIII", 2, inotify.IN_CREATE, 0, 64) + b"short"
    events_ = inotify.parse(raw)
    assert [(e.wd, e.name) for e in events_] == [(1, b"\xff\xfeevil"), (-1, b"")]
    assert inotify.parse(b"\x01\x02") == []
