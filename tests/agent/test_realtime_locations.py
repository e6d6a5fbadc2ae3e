"""Real-time protection of quick-scan locations that are missing at start, appear later or come back."""

import os
import shutil
import time

from conftest import EICAR, Agent, wait_for


def inotify_watches(pid) -> int:
    """Watches the process holds, read from the kernel's view of its inotify descriptors."""
    total = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") != "anon_inode:inotify":
                continue
            with open(f"/proc/{pid}/fdinfo/{fd}") as fh:
                total += sum(1 for line in fh if line.startswith("inotify wd:"))
        except OSError:
            continue
    return total


def quarantined(agent, path, timeout=30):
    wait_for(lambda: any(e["original_path"] == path for e in agent.data("quarantine.list")), timeout,
             what=f"real-time quarantine of {path}")
    assert not os.path.exists(path)
    assert [t["kind"] for t in agent.data("threats") if t.get("path") == path] == ["signature"]


def drop_eicar(path):
    with open(path, "wb") as fh:
        fh.write(EICAR)


def start_without(home, *dirs, env=None):
    a = Agent(home, env)
    for d in dirs:
        os.rmdir(d(a) if callable(d) else d)
    return a.start()


class TestMissingAtStart:
    def test_downloads_created_later_is_watched(self, home):
        a = start_without(home, lambda a: a.downloads)
        try:
            started = [e for e in a.data("events") if "real-time protection on" in e["action"]]
            assert started and a.downloads in started[0]["target"] and "waiting" in started[0]["target"]
            os.mkdir(a.downloads)
            # Dropped at once: the file may land before the new directory's watch exists.
            target = os.path.join(a.downloads, "eicar.com")
            drop_eicar(target)
            quarantined(a, target)
            # Later files are caught by the watch itself.
            later = os.path.join(a.downloads, "later", "eicar.txt")
            os.makedirs(os.path.dirname(later))
            drop_eicar(later)
            quarantined(a, later)
        finally:
            a.stop()

    def test_directory_renamed_into_place_with_files_inside(self, home):
        a = start_without(home, lambda a: a.desktop)
        try:
            staging = os.path.join(home, "staging")
            os.makedirs(os.path.join(staging, "deep"))
            drop_eicar(os.path.join(staging, "deep", "eicar.bin"))
            os.rename(staging, a.desktop)
            quarantined(a, os.path.join(a.desktop, "deep", "eicar.bin"))
        finally:
            a.stop()

    def test_location_several_levels_below_what_exists(self, home):
        # The stand-in /tmp lives two missing directories down: the parent watch has to follow.
        tmp = os.path.join(home, "deep", "er", "tmp")
        a = Agent(home, {"TSAV_AGENT_TMP_DIR": tmp})
        a.start()
        try:
            os.mkdir(os.path.join(home, "deep"))
            time.sleep(0.3)
            os.makedirs(tmp)
            target = os.path.join(tmp, "eicar.com")
            drop_eicar(target)
            quarantined(a, target)
        finally:
            a.stop()

    def test_home_is_not_watched_recursively(self, home):
        for i in range(60):
            os.makedirs(os.path.join(home, "projects", f"p{i}", "src"))
        a = start_without(home, lambda a: a.downloads)
        try:
            # Desktop and the three stand-in temporary directories, plus HOME itself (flat), which
            # also waits for the missing ~/Downloads and ~/.config/autostart.
            assert inotify_watches(a.proc.pid) == 5
            os.mkdir(a.downloads)
            wait_for(lambda: any("appeared" in e["action"] and e["target"] == a.downloads
                                 for e in a.data("events")), 30, what="watch on the new location")
            # ~/Downloads has its own watch now; nothing below HOME's other directories is watched.
            assert inotify_watches(a.proc.pid) == 6
        finally:
            a.stop()


class TestRemovedAndCreatedAgain:
    def test_deleted_then_recreated(self, agent):
        shutil.rmtree(agent.downloads)
        wait_for(lambda: any("removed" in e["action"] and e["target"] == agent.downloads
                             for e in agent.data("events")), 30, what="removal noticed")
        os.mkdir(agent.downloads)
        target = os.path.join(agent.downloads, "eicar.com")
        drop_eicar(target)
        quarantined(agent, target)

    def test_moved_away_and_replaced(self, agent):
        os.makedirs(os.path.join(agent.downloads, "old", "sub"))
        time.sleep(0.5)
        os.rename(agent.downloads, agent.downloads + ".bak")
        os.mkdir(agent.downloads)
        target = os.path.join(agent.downloads, "eicar.com")
        drop_eicar(target)
        quarantined(agent, target)
        # Nothing of the old tree stays watched: the new tree's watch count is what it would be fresh.
        wait_for(lambda: inotify_watches(agent.proc.pid) == 6, 30, what="old tree's watches dropped")

    def test_switching_off_and_on_keeps_waiting_for_a_missing_location(self, home):
        a = start_without(home, lambda a: a.downloads)
        try:
            a.data("settings.set", values={"realtime_enabled": False})
            assert inotify_watches(a.proc.pid) == 0
            a.data("settings.set", values={"realtime_enabled": True})
            os.mkdir(a.downloads)
            target = os.path.join(a.downloads, "eicar.com")
            drop_eicar(target)
            quarantined(a, target)
        finally:
            a.stop()
