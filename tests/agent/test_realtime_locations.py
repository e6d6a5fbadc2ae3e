"""Real-time protection of quick-scan locations that are missing at start, appear later or come back."""

import os
import shutil
import time

from conftest import Agent, wait_for, write


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


class TestMissingAtStart:
    def test_downloads_created_later_is_watched_and_home_only_flat(self, home):
        for i in range(60):
            os.makedirs(os.path.join(home, "projects", f"p{i}", "src"))
        a = Agent(home)
        os.rmdir(a.downloads)
        a.start()
        try:
            started = [e for e in a.data("events") if "real-time protection on" in e["action"]]
            assert started and a.downloads in started[0]["target"] and "waiting" in started[0]["target"]
            # Desktop and the three stand-in temporary directories, plus HOME itself (flat), which
            # also waits for the missing ~/Downloads and ~/.config/autostart.
            assert inotify_watches(a.proc.pid) == 5
            # Switched off and on, it still waits for the missing location.
            a.data("settings.set", values={"realtime_enabled": False})
            assert inotify_watches(a.proc.pid) == 0
            a.data("settings.set", values={"realtime_enabled": True})
            os.mkdir(a.downloads)
            # Dropped at once: the file may land before the new directory's watch exists.
            target = write(os.path.join(a.downloads, "eicar.com"))
            quarantined(a, target)
            wait_for(lambda: any("appeared" in e["action"] and e["target"] == a.downloads
                                 for e in a.data("events")), 30, what="watch on the new location")
            # ~/Downloads has its own watch now; nothing below HOME's other directories is watched.
            assert inotify_watches(a.proc.pid) == 6
            later = os.path.join(a.downloads, "later", "eicar.txt")
            os.makedirs(os.path.dirname(later))
            quarantined(a, write(later))  # caught by the watch itself
        finally:
            a.stop()

    def test_renamed_into_place_and_several_levels_below_what_exists(self, home):
        # The stand-in /tmp lives two missing directories down: the parent watch has to follow.
        tmp = os.path.join(home, "deep", "er", "tmp")
        a = Agent(home, {"TSAV_AGENT_TMP_DIR": tmp})
        os.rmdir(a.desktop)
        a.start()
        try:
            staging = os.path.join(home, "staging")
            write(os.path.join(staging, "deep", "eicar.bin"))
            os.rename(staging, a.desktop)
            quarantined(a, os.path.join(a.desktop, "deep", "eicar.bin"))
            os.mkdir(os.path.join(home, "deep"))
            time.sleep(0.3)
            os.makedirs(tmp)
            quarantined(a, write(os.path.join(tmp, "eicar.com")))
        finally:
            a.stop()


def test_deleted_or_moved_away_and_created_again(agent):
    shutil.rmtree(agent.downloads)
    wait_for(lambda: any("removed" in e["action"] and e["target"] == agent.downloads
                         for e in agent.data("events")), 30, what="removal noticed")
    os.mkdir(agent.downloads)
    quarantined(agent, write(os.path.join(agent.downloads, "eicar.com")))
    os.makedirs(os.path.join(agent.downloads, "old", "sub"))
    time.sleep(0.5)
    os.rename(agent.downloads, agent.downloads + ".bak")
    os.mkdir(agent.downloads)
    quarantined(agent, write(os.path.join(agent.downloads, "again.com")))
    # Nothing of the old tree stays watched: the new tree's watch count is what it would be fresh.
    wait_for(lambda: inotify_watches(agent.proc.pid) == 6, 30, what="old tree's watches dropped")
