"""Real-time protection: inotify on the quick-scan locations.

A file that is closed after writing or moved into a watched tree is queued and
inspected by one worker thread, usually well within a second. The number of
watched directories is capped so a huge /tmp cannot exhaust inotify watches.
"""

import logging
import os
import queue
import threading
import time

log = logging.getLogger("agent.realtime")
MAX_WATCHES = 4096
QUEUE_LIMIT = 10_000


class RealtimeMonitor:
    def __init__(self, config, scanner, events):
        self.config = config
        self.scanner = scanner
        self.events = events
        self.queue: queue.Queue = queue.Queue(QUEUE_LIMIT)
        self.notifier = None
        self.wm = None
        self.lock = threading.Lock()
        self.enabled = False
        self._stop = threading.Event()
        self._worker = None

    def start(self):
        with self.lock:
            if self.enabled:
                return
            import pyinotify

            mask = pyinotify.IN_CLOSE_WRITE | pyinotify.IN_MOVED_TO | pyinotify.IN_CREATE
            monitor = self

            class Handler(pyinotify.ProcessEvent):
                def process_default(self, event):
                    if event.dir:
                        return
                    if event.mask & pyinotify.IN_CREATE:
                        return  # wait for close-after-write
                    try:
                        monitor.queue.put_nowait(event.pathname)
                    except queue.Full:
                        log.warning("real-time queue full; dropping %s", event.pathname)

            self.wm = pyinotify.WatchManager()
            self.notifier = pyinotify.ThreadedNotifier(self.wm, Handler())
            self.notifier.daemon = True
            self.notifier.start()
            watched = 0
            for location in self.config.quick_locations:
                if not os.path.isdir(location):
                    continue
                result = self.wm.add_watch(location, mask, rec=True, auto_add=True, quiet=True,
                                           exclude_filter=lambda p: self._count_exceeded())
                watched += sum(1 for wd in result.values() if wd > 0)
            self._stop = threading.Event()
            self._worker = threading.Thread(target=self._work, args=(self._stop,), name="realtime", daemon=True)
            self._worker.start()
            self.enabled = True
        self.events.emit("file", f"real-time protection on ({watched} directories watched)",
                         ", ".join(p for p in self.config.quick_locations if os.path.isdir(p)))

    def _count_exceeded(self) -> bool:
        return self.wm is not None and len(self.wm.watches) >= MAX_WATCHES

    def stop(self, emit=True):
        with self.lock:
            if not self.enabled:
                return
            self.enabled = False
            self._stop.set()
            try:
                self.notifier.stop()
            except Exception:
                log.debug("notifier stop failed", exc_info=True)
            self.notifier = None
            self.wm = None
            worker = self._worker
        if worker is not None:
            worker.join(2)
        if emit:
            self.events.emit("file", "real-time protection off")

    def _work(self, stop):
        while not stop.is_set():
            try:
                path = self.queue.get(timeout=0.5)
            except queue.Empty:
                continue
            try:
                self.scanner.inspect(path, source="realtime")
            except Exception:
                log.exception("real-time inspection of %s failed", path)
