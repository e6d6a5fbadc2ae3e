"""Settings, scheduled scans and the active responses."""

import os
import subprocess
import time

from conftest import Agent, wait_for


def switches(agent):
    """settings.get without its "unavailable" member."""
    values = agent.data("settings.get")
    values.pop("unavailable", None)
    return values


class TestSettings:
    def test_changes_survive_restart(self, agent):
        defaults = switches(agent)
        agent.data("settings.set", values={"auto_quarantine": False})
        agent.data("settings.set", values={"scheduled_scan_hours": 12})
        agent.data("settings.set", values={"network_monitor": False, "realtime_enabled": False,
                                           "ai_engine_enabled": False})
        expected = dict(defaults, auto_quarantine=False, scheduled_scan_hours=12, network_monitor=False,
                        realtime_enabled=False, ai_engine_enabled=False)
        assert switches(agent) == expected != defaults
        agent.stop()
        agent.start()
        assert switches(agent) == expected
        engines = agent.data("metrics.live")["engines"]
        assert engines["behavior"]["state"] == engines["network"]["state"] == "off"
        api = [e for e in agent.data("events") if e["source"] == "api"]
        assert any("auto_quarantine=false" in (e.get("target") or "") for e in api)
        assert agent.data("scan.status")["id"] == 0  # no schedule by default, none of 12 hours due yet

    def test_kill_switch_is_kept_but_reported_unavailable(self, agent):
        agent.data("settings.set", values={"kill_switch_isolate": True})
        assert agent.data("settings.get")["kill_switch_isolate"] is True
        event = wait_for(lambda: next((e for e in agent.data("events") if "isolation is unavailable" in e["action"]),
                                      None), 10, what="unavailable event")
        assert event["source"] == "network"
        assert event["action"].split("unavailable: ", 1)[1]  # names the reason
        # The console is told too, in its own language: never applied in test mode.
        reason = agent.data("settings.get")["unavailable"]["kill_switch_isolate"]
        assert reason in ("necesită root", "nft lipsește", "dezactivat în modul de test")
        if os.path.exists("/usr/sbin/nft"):
            out = subprocess.run(["/usr/sbin/nft", "list", "tables"], capture_output=True, text=True)
            assert "tsav_isolation" not in out.stdout
        agent.stop()
        agent.start()
        assert agent.data("settings.get")["kill_switch_isolate"] is True


class TestScheduler:
    def test_missed_scheduled_scan_runs_soon_after_start(self, agent):
        agent.data("settings.set", values={"scheduled_scan_hours": 1})
        agent.stop()
        # Pretend the last scheduled scan ran two hours ago, while the agent was down.
        import sqlite3
        conn = sqlite3.connect(os.path.join(agent.data_dir, "agent.db"))
        conn.execute("UPDATE kv SET value=? WHERE key='schedule_last_run'", (repr(time.time() - 7200),))
        conn.commit()
        conn.close()
        agent.start()
        status = wait_for(lambda: (lambda s: s if s["id"] > 0 else None)(agent.data("scan.status")), 30,
                          what="scheduled scan")
        assert status["kind"] == "quick"
        assert any(e["source"] == "schedule" and "started" in e["action"] for e in agent.data("events"))


class TestNetworkEngine:
    def test_listed_address_marks_connection_and_raises_threat(self, home):
        import socket as sk
        a = Agent(home)
        os.makedirs(a.data_dir, exist_ok=True)
        with open(os.path.join(a.data_dir, "threat_intel.txt"), "w") as fh:
            fh.write("127.0.0.1/32 loopback listed for this check\n")
        a.start()
        try:
            server = sk.socket()
            server.bind(("127.0.0.1", 0))
            server.listen(1)
            client = sk.create_connection(server.getsockname())
            peer, _ = server.accept()
            try:
                port = server.getsockname()[1]
                # A sample taken in the middle of the handshake shows the connection as
                # SYN_SENT: the next one shows it established.
                row = wait_for(lambda: next((r for r in a.data("network")
                                             if r["remote"] == f"127.0.0.1:{port}" and r.get("pid") == os.getpid()
                                             and r["status"] == "ESTABLISHED"), None), 20, what="connection row")
                assert row["suspicious"] is True and row["reason"] == "loopback listed for this check"
                threat = wait_for(lambda: next((t for t in a.data("threats") if t["kind"] == "network"), None), 20,
                                  what="network threat")
                assert threat["status"] == "detected" and threat["pid"] == os.getpid()
                assert a.data("metrics.live")["engines"]["network"]["hits"] >= 1
                # Switching the monitor off stops flagging.
                a.data("settings.set", values={"network_monitor": False})
                wait_for(lambda: not any(r["suspicious"] for r in a.data("network")), 20, what="monitor off")
                a.data("settings.set", values={"network_monitor": True})
            finally:
                for s in (client, peer, server):
                    s.close()
            wait_for(lambda: all(t["status"] == "resolved" for t in a.data("threats") if t["kind"] == "network"), 20,
                     what="threat resolved after the connection closed")
        finally:
            a.stop()
