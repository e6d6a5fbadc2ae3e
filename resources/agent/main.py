"""Entry point: ``python3 -m agent.main`` (run from the resources directory).

Options (all optional; the console starts it without any):
  --socket PATH       socket to serve (default: the console's path under $HOME)
  --data-dir PATH     data directory (default: $XDG_DATA_HOME/tessaly-agent)
  --exit-after SECS   stop by itself after SECS seconds (bounded runs)
SIGTERM and SIGINT stop it cleanly and remove the socket.

Exit codes: 0 clean stop, 1 could not initialise, 2 the socket is taken,
3 another agent owns the data directory.
"""

import argparse
import logging
import os
import signal
import sys
import threading
import time

from . import datalock, history, outbox
from .allowlist import AllowList
from .audit import run_audit
from .clamav import ClamavEngine
from .config import Config
from .behavior import BehaviorEngine
from .db import Database, StorageError, describe_os_error
from .detection import DetectionRequests
from .engines import NetworkIntel, YaraEngine
from .events import EventLog
from .faults import Faults
from .forwarding import Forwarder
from .journal import Journal
from .outbox import Outbox
from .realtime import RealtimeMonitor
from .response import Responder
from .scanner import Scanner
from .scheduler import Scheduler
from .server import Server, ServerError, prepare_socket_path
from .service import Service
from .settings import Settings
from .telemetry import Telemetry
from .threats import ThreatStore
from .vault import Vault

log = logging.getLogger("agent")
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def make_private_dir(path: str):
    os.makedirs(path, mode=0o700, exist_ok=True)
    os.chmod(path, 0o700)


class Agent:
    def __init__(self, config: Config):
        self.config = config
        self.started = time.time()
        self.stop_event = threading.Event()
        make_private_dir(os.path.join(config.data_dir, "rules"))
        self.db = Database(os.path.join(config.data_dir, "agent.db"), prepare=(history.prepare, outbox.prepare))
        self.outbox = Outbox(self.db)
        self.events = EventLog(self.db)
        self.threats = ThreatStore(self.db, self.events)
        self.settings = Settings(self.db)
        self.faults = Faults(config.fault if config.test_mode else "")
        self.allow = AllowList(self.db)
        self.vault = Vault(config.data_dir, self.db, self.threats, self.events, self.faults)
        self.journal = Journal(os.path.join(config.data_dir, "inflight.journal"), self.faults,
                               lambda: self.settings.get("auto_quarantine"))
        self.unavailable = {}  # setting key -> why its effect cannot be applied (Romanian, for the console)
        self.signature = ClamavEngine(config.data_dir, external_socket=config.clamd_socket,
                                      system_db_dir=config.clamav_system_db, clamd_bin=config.clamd_bin,
                                      emit=lambda action, target=None: self.events.emit("agent", action, target))
        self.yara = YaraEngine(os.path.join(config.data_dir, "rules"))
        self.intel = NetworkIntel(os.path.join(config.data_dir, "threat_intel.txt"))
        # Processes the user allowed (kind "process") are never behaviour or network threats.
        self.behavior = BehaviorEngine(config.temp_dirs, config.busy_seconds,
                                       allowed=lambda exe: self.allow.covers(exe=exe))
        self.behavior.model.on_first_fit = lambda m: self.events.emit(
            "process", f"behaviour model fitted on {len(m.samples)} process samples in {m.fit_seconds:.2f}s")
        self.scanner = Scanner(config, self.db, self.signature, self.yara, self.threats, self.events,
                               self.settings, self.vault, exclude=(config.data_dir, PACKAGE_DIR), allow=self.allow)
        self.scanner.journal = self.journal
        self.responder = Responder(config, self.settings, self.threats, self.events, config.data_dir)
        self.telemetry = Telemetry(config, self.settings, self.threats, self.events, self.intel, self.behavior,
                                   self.responder)
        self.forwarder = Forwarder(config, self.settings, self.events, self.outbox, self.db)
        self.realtime = RealtimeMonitor(config, self.scanner, self.events)
        self.scheduler = Scheduler(config, self.db, self.settings, self.scanner, self.events)
        self.detection = DetectionRequests(self)
        self.service = Service(self)
        self.server = Server(config, self.service)
        self.settings.subscribe(self._on_settings)
        self.threads = []
        if self.db.recovery is not None:
            self._after_rebuild(self.db.recovery, at_start=True)
        self.db.on_recovered = lambda report: self._after_rebuild(report, at_start=False)

    def audit(self) -> dict:
        return run_audit()

    def _after_rebuild(self, report, at_start):
        """The database was found damaged and rebuilt: re-adopt the vault, say what happened."""
        if not at_start:
            self.settings.persist()  # the values in memory are the last ones committed
        result = self.vault.readopt(report["quarantine_rows"], at_start=at_start)
        self.outbox.set_enabled(self.settings.get("cloud_telemetry"))  # a new database starts with it off
        kept = sum(report["salvaged"].values())
        self.events.emit("agent", f"database damaged ({report['problem'][:120]}); moved aside to "
                                  f"{os.path.basename(report['aside'])} and started afresh: {kept} rows kept, "
                                  f"{result['adopted']} quarantined files re-adopted from the vault",
                         report["aside"])
        if result["unadopted"]:
            self.events.emit("agent", f"{len(result['unadopted'])} vault files could not be re-adopted and were "
                                      f"moved to vault/unadopted", "; ".join(result["unadopted"])[:1000])
        self.service.notice_recovery(bool(result["unadopted"]))

    def _start_realtime(self):
        try:
            self.realtime.start()
            self.unavailable.pop("realtime_enabled", None)
        except Exception as exc:
            reason = describe_os_error(exc) if isinstance(exc, OSError) else str(exc)
            self.unavailable["realtime_enabled"] = "inotify indisponibil"
            self.events.emit("agent", f"real-time protection unavailable: {reason}")

    def _on_settings(self, changed, values):
        self.service.invalidate()
        if "realtime_enabled" in changed:
            if values["realtime_enabled"]:
                self._start_realtime()
            else:
                self.realtime.stop()
        if "ai_engine_enabled" in changed:
            self.events.emit("process", f"behaviour engine {'on' if values['ai_engine_enabled'] else 'off'}")
        if "network_monitor" in changed:
            self.events.emit("network", f"network monitor {'on' if values['network_monitor'] else 'off'}")
        if "auto_quarantine" in changed:
            self.events.emit("quarantine", f"automatic quarantine {'on' if values['auto_quarantine'] else 'off'}")

    def _spawn(self, name, target):
        thread = threading.Thread(target=target, args=(self.stop_event,), name=name, daemon=True)
        thread.start()
        self.threads.append(thread)

    def _housekeeping(self, stop):
        while not stop.wait(self.config.scheduler_tick):
            for task in (self.events.flush, self._retry_detections, self.db.prune,
                         self._resolve_missing_files):
                try:
                    task()
                except StorageError as exc:
                    log.warning("housekeeping: %s", exc)
                except Exception:
                    log.exception("housekeeping failed")

    def _reinspect(self, paths, why):
        """Inspects files again whose detection was in flight; each one is settled or retried later."""
        for path in dict.fromkeys(paths):
            try:
                self.scanner.inspect(path, source="recovery")
            except Exception as exc:
                log.warning("%s: inspecting %s again failed: %s", why, path, exc)
                self.journal.later(path)
                continue
            if path not in self.journal.retry:
                self.journal.settle(path)

    def _retry_detections(self):
        self.vault.settle_leftovers()
        self._reinspect(self.journal.due(), "retry")

    def _resolve_missing_files(self):
        """File threats whose file is gone are resolved, so they stop counting as active."""
        for kind in ("signature", "yara"):
            for row in self.threats.active(kind, limit=500):
                if row["path"] and not os.path.lexists(row["path"]):
                    self.threats.set_status(row["id"], "resolved")
                    self.events.emit("file", f"threat #{row['id']} resolved (file no longer present)", row["path"])

    def run(self) -> int:
        try:
            prepare_socket_path(self.config.socket_path)  # fail fast when another agent answers there
        except ServerError as exc:
            log.error("%s", exc)
            self.db.close()
            return 2
        # clamd starts loading its databases while the rest comes up.
        self.signature.start()
        # What a crash interrupted is settled before anyone can ask.
        rolled_back = self.vault.recover()
        left = self.journal.take_leftover()
        if left or rolled_back:
            self.events.emit("agent", f"inspecting again {len(set(left + rolled_back))} files whose detection "
                                      f"was interrupted")
        self._reinspect(left + rolled_back, "recovery")
        self.events.emit("agent", f"agent started (pid {os.getpid()})", self.config.socket_path)
        if self.yara.errors:
            self.events.emit("agent", f"{len(self.yara.errors)} user YARA rule file(s) skipped", "; ".join(self.yara.errors)[:500])
        self._spawn("telemetry", self.telemetry.run)
        self._spawn("behavior", lambda stop: self.behavior.model.run(stop, self.config.behavior_first_fit,
                                                                     self.config.behavior_refit_interval))
        self._spawn("scheduler", self.scheduler.run)
        self._spawn("housekeeping", self._housekeeping)
        self._spawn("forwarding", self.forwarder.run)
        if self.settings.get("realtime_enabled"):
            self._start_realtime()
        if self.settings.get("kill_switch_isolate"):
            self.responder.apply_isolation(True)
        # The first answers must be true too: no empty process list before the first sample.
        if not self.telemetry.ready.wait(self.config.first_sample_timeout):
            log.warning("no telemetry sample after %.0f s; opening the socket anyway", self.config.first_sample_timeout)
        try:
            self.server.bind()
        except ServerError as exc:
            log.error("%s", exc)
            self._close()
            return 2
        if self.config.exit_after > 0:
            timer = threading.Timer(self.config.exit_after, self.shutdown)
            timer.daemon = True
            timer.start()
        log.info("agent listening on %s (data in %s)", self.config.socket_path, self.config.data_dir)
        try:
            self.server.serve_forever()
        finally:
            self._close()
        return 0

    def shutdown(self):
        self.stop_event.set()
        self.server.stop()

    def _close(self):
        self.stop_event.set()
        self.scanner.stop(wait=2.0)
        self.realtime.stop(emit=False)
        self.signature.stop()
        self.server.close()
        for thread in self.threads:
            # A model fit cannot be interrupted; that thread touches nothing shared, so it is left behind.
            thread.join(0.2 if thread.name == "behavior" else 5)
        self.events.emit("agent", "agent stopped")
        if not self.events.flush():
            log.error("%d events could not be recorded before stopping", len(self.events.backlog))
        self.journal.close()
        self.db.close()
        log.info("agent stopped")


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="agent.main", description="Tessaly Antivirus endpoint agent")
    parser.add_argument("--socket", help="socket path")
    parser.add_argument("--data-dir", help="data directory")
    parser.add_argument("--exit-after", type=float, default=None, help="stop after this many seconds")
    return parser.parse_args(argv)


def main(argv=None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    sys.setswitchinterval(0.001)  # keep request latency low while a scan thread runs
    config = Config.from_env(socket_path=args.socket, data_dir=args.data_dir, exit_after=args.exit_after)
    os.umask(0o077)
    try:
        make_private_dir(config.data_dir)
        lock = datalock.acquire(config.data_dir)
    except datalock.Owned as exc:
        print(f"another agent (pid {exc.pid}) owns {config.data_dir}", file=sys.stderr, flush=True)
        return 3
    except OSError as exc:
        log.error("agent cannot start: %s: %s", config.data_dir, describe_os_error(exc))
        return 1
    try:
        agent = Agent(config)
    except StorageError as exc:
        log.error("agent cannot start: database: %s", exc)
        return 1
    except OSError as exc:
        log.error("agent cannot start: %s", describe_os_error(exc))
        return 1
    except Exception as exc:
        log.error("agent cannot start: %s", exc)
        return 1

    def on_signal(signum, _frame):
        log.info("signal %d: shutting down", signum)
        agent.shutdown()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        return agent.run()
    finally:
        os.close(lock)


if __name__ == "__main__":
    sys.exit(main())
