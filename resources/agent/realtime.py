"""Real-time protection: inotify on the quick-scan locations.

A file that is closed after writing or moved into a watched tree is queued and
inspected by one worker thread, usually well within a second. The number of
watched directories is capped so a huge /tmp cannot exhaust inotify watches.

A location may be missing when protection starts (a fresh account without
~/Downloads) or be removed and created again later. For each missing location
one non-recursive watch sits on its nearest existing parent; when the location
(or a directory on the way to it) is created or renamed into place, the watch
moves down and finally the location's own tree is watched. Files can land in a
new directory before its watch exists, so a directory that appears (a location,
a new subdirectory, a tree moved in) is also walked once and its files
inspected. A slow periodic check catches anything the events missed.

All watch bookkeeping happens on the one "realtime-watch" thread: pyinotify's
watch manager is not thread-safe, and its automatic watches of new
subdirectories are added while events are processed on that thread.
"""

import collections
import logging
import os
import queue
import stat
import threading

log = logging.getLogger("agent.realtime")
MAX_WATCHES = 4096
QUEUE_LIMIT = 10_000
RECHECK_SECONDS = 2.0  # safety net for missed appearances and replacements
WALK_FILE_LIMIT = 20_000  # files inspected for one appearing directory; the rest is left to scans
RECENT_LIMIT = 8192  # remembered inspections, so a walk does not re-read what an event just read


def _nearest_existing_dir(path: str):
    """Nearest ancestor of `path` that is an existing directory, or None."""
    parent = os.path.dirname(path)
    while True:
        if os.path.isdir(parent):
            return parent
        up = os.path.dirname(parent)
        if up == parent:
            return None
        parent = up


def _under(path: str, root: str) -> bool:
    return path == root or path.startswith(root.rstrip("/") + "/")


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
        self._watcher = None
        # location -> (wd, (st_dev, st_ino)) of the watched tree's top directory
        self.roots: dict = {}
        # parent directory -> (wd or None when another watch already covers it, (st_dev, st_ino))
        self.parents: dict = {}
        self._recheck = threading.Event()
        self._recent: collections.OrderedDict = collections.OrderedDict()

    @property
    def locations(self):
        return list(self.config.quick_locations)

    # -- lifecycle -------------------------------------------------------------------
    def start(self):
        with self.lock:
            if self.enabled:
                return
            import pyinotify

            self._pyinotify = pyinotify
            self.tree_mask = (pyinotify.IN_CLOSE_WRITE | pyinotify.IN_MOVED_TO | pyinotify.IN_CREATE
                              | pyinotify.IN_DELETE_SELF | pyinotify.IN_MOVE_SELF)
            self.parent_mask = (pyinotify.IN_CREATE | pyinotify.IN_MOVED_TO | pyinotify.IN_DELETE_SELF
                                | pyinotify.IN_MOVE_SELF | pyinotify.IN_ONLYDIR)
            monitor = self

            class Handler(pyinotify.ProcessEvent):
                def process_default(self, event):
                    monitor._on_event(event)

                def process_IN_Q_OVERFLOW(self, event):  # the base class only logs it
                    monitor._on_event(event)

            self.wm = pyinotify.WatchManager()
            self.notifier = pyinotify.Notifier(self.wm, Handler())
            self.roots, self.parents = {}, {}
            self._recent.clear()
            self._reconcile(initial=True)
            watched = len(self.wm.watches) - sum(1 for wd, _ in self.parents.values() if wd)
            self._stop = threading.Event()
            self._worker = threading.Thread(target=self._work, args=(self._stop,), name="realtime", daemon=True)
            self._watcher = threading.Thread(target=self._watch_loop, args=(self._stop, self.notifier),
                                             name="realtime-watch", daemon=True)
            self._worker.start()
            self._watcher.start()
            self.enabled = True
            present = [p for p in self.locations if p in self.roots]
            missing = [p for p in self.locations if p not in self.roots]
        target = ", ".join(present)
        if missing:
            target += (" · " if target else "") + "waiting for: " + ", ".join(missing)
        self.events.emit("file", f"real-time protection on ({watched} directories watched)", target)

    def stop(self, emit=True):
        with self.lock:
            if not self.enabled:
                return
            self.enabled = False
            self._stop.set()
            watcher, worker, notifier = self._watcher, self._worker, self.notifier
            self._watcher = self._worker = None
        if watcher is not None:
            watcher.join(5)
        if worker is not None:
            worker.join(2)
        try:
            notifier.stop()  # closes the inotify descriptor and with it every watch
        except Exception:
            log.debug("notifier stop failed", exc_info=True)
        with self.lock:
            self.notifier = None
            self.wm = None
            self.roots, self.parents = {}, {}
        if emit:
            self.events.emit("file", "real-time protection off")

    def _count_exceeded(self) -> bool:
        return self.wm is not None and len(self.wm.watches) >= MAX_WATCHES

    # -- the watch thread -----------------------------------------------------------------
    def _watch_loop(self, stop, notifier):
        import time

        next_check = time.monotonic() + RECHECK_SECONDS
        while not stop.is_set():
            try:
                if notifier.check_events(timeout=250):
                    notifier.read_events()
                    notifier.process_events()
                now = time.monotonic()
                if self._recheck.is_set() or now >= next_check:
                    self._recheck.clear()
                    next_check = now + RECHECK_SECONDS
                    self._reconcile()
            except Exception:
                log.exception("real-time watch loop failed; retrying")
                stop.wait(1.0)

    def _on_event(self, event):
        """Runs on the watch thread for every inotify event."""
        p = self._pyinotify
        mask = event.mask
        if mask & p.IN_Q_OVERFLOW:
            # Events were lost: walk every watched location again.
            log.warning("inotify queue overflowed; walking the watched locations again")
            for loc in list(self.roots):
                self._enqueue(("tree", loc))
            self._recheck.set()
            return
        wd = getattr(event, "wd", None)
        if mask & (p.IN_DELETE_SELF | p.IN_MOVE_SELF | p.IN_IGNORED):
            if any(r[0] == wd for r in self.roots.values()) or any(r[0] == wd for r in self.parents.values()):
                self._recheck.set()
            return
        path = event.pathname
        if event.dir:
            if any(_under(loc, path) for loc in self.locations if loc not in self.roots):
                self._recheck.set()  # a missing location, or a directory on the way to it, appeared
                return
            if not any(_under(path, loc) for loc in self.roots):
                return
            # A new directory inside a watched tree: files may be in it before its watch was added.
            # pyinotify reports the subdirectories of a created one itself; a moved-in tree is walked
            # whole, unless it only moved within the watched trees (its files were inspected already).
            if mask & p.IN_MOVED_TO:
                source = getattr(event, "src_pathname", None)
                if source is None or not any(_under(source, loc) for loc in self.roots):
                    self._enqueue(("tree", path))
            else:
                self._enqueue(("dir", path))
            return
        if mask & p.IN_CREATE:
            return  # wait for close-after-write
        if any(_under(path, loc) for loc in self.roots):
            self._enqueue(("file", path))

    def _enqueue(self, item):
        try:
            self.queue.put_nowait(item)
        except queue.Full:
            log.warning("real-time queue full; dropping %s", item[1])

    def _reconcile(self, initial=False):
        """Brings the watches in line with what exists now. Watch thread only (or before it starts)."""
        appeared, gone = [], []
        for _ in range(8):  # each pass moves a parent watch at least one level down
            changed = False
            for loc in self.locations:
                try:
                    st = os.stat(loc)
                except OSError:
                    st = None
                ident = (st.st_dev, st.st_ino) if st is not None and stat.S_ISDIR(st.st_mode) else None
                root = self.roots.get(loc)
                if root is not None:
                    if root[0] in self.wm.watches and root[1] == ident:
                        continue
                    self._drop_tree(loc, root[0])
                    del self.roots[loc]
                    gone.append(loc)
                if ident is None:
                    continue
                result = self.wm.add_watch(loc, self.tree_mask, rec=True, auto_add=True, quiet=True,
                                           exclude_filter=lambda _p: self._count_exceeded())
                wd = result.get(loc, -1)
                if wd is not None and wd > 0:
                    self.roots[loc] = (wd, ident)
                    changed = True
                    if not initial:
                        appeared.append(loc)
            changed |= self._place_parent_watches()
            if not changed:
                break
        for loc in gone:
            if loc not in self.roots:
                self.events.emit("file", "real-time protection: watched location removed; waiting for it to return",
                                 loc)
        for loc in appeared:
            self._enqueue(("tree", loc))
            self.events.emit("file", "real-time protection now watching a location that appeared", loc)

    def _place_parent_watches(self) -> bool:
        """One non-recursive watch on the nearest existing parent of each missing location."""
        wanted = {}
        for loc in self.locations:
            if loc in self.roots:
                continue
            parent = _nearest_existing_dir(loc)
            if parent is not None:
                wanted[parent] = True
        changed = False
        for parent, (wd, ident) in list(self.parents.items()):
            try:
                st = os.stat(parent)
                same = (st.st_dev, st.st_ino) == ident
            except OSError:
                same = False
            alive = wd is None or wd in self.wm.watches
            if parent in wanted and same and alive:
                continue
            if wd is not None and wd in self.wm.watches:
                self._remove_watches([wd])
            del self.parents[parent]
        for parent in wanted:
            if parent in self.parents:
                continue
            try:
                st = os.stat(parent)
            except OSError:
                continue
            ident = (st.st_dev, st.st_ino)
            if self.wm.get_wd(parent) is not None:
                # Already inside a watched tree: its events reach the handler anyway.
                self.parents[parent] = (None, ident)
                changed = True
                continue
            result = self.wm.add_watch(parent, self.parent_mask, rec=False, auto_add=False, quiet=True)
            wd = result.get(parent, -1)
            if wd is not None and wd > 0:
                self.parents[parent] = (wd, ident)
                changed = True
        return changed

    def _drop_tree(self, loc, root_wd):
        """Removes the watches of a location's old tree (deleted, moved away or replaced)."""
        old_top = self.wm.get_path(root_wd) if root_wd in self.wm.watches else loc
        prefixes = tuple({loc.rstrip("/") + "/", old_top.rstrip("/") + "/"})
        wds = [wd for wd, w in list(self.wm.watches.items())
               if wd == root_wd or w.path == loc or w.path.startswith(prefixes)]
        wds = [wd for wd in wds if all(wd != r[0] for r in self.parents.values())]
        self._remove_watches(wds)

    def _remove_watches(self, wds):
        for wd in wds:
            # The kernel may already have dropped a watch whose directory is gone; only the
            # bookkeeping is left then.
            try:
                self.wm._inotify_wrapper.inotify_rm_watch(self.wm.get_fd(), wd)
            except Exception:
                pass
            self.wm.watches.pop(wd, None)

    # -- the worker -------------------------------------------------------------------------
    def _work(self, stop):
        while not stop.is_set():
            try:
                kind, path = self.queue.get(timeout=0.5)
            except queue.Empty:
                continue
            try:
                if kind == "file":
                    self._inspect(path, walked=False)
                else:
                    self._walk(path, recursive=(kind == "tree"), stop=stop)
            except Exception:
                log.exception("real-time inspection of %s failed", path)

    def _inspect(self, path, walked):
        try:
            st = os.stat(path, follow_symlinks=False)
        except OSError:
            return
        if not stat.S_ISREG(st.st_mode):
            return
        ident = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
        # An event always means a fresh look (the writer may have just finished); a walk skips
        # a file an event has already read in exactly this state.
        if walked and self._recent.get(path) == ident:
            return
        self.scanner.inspect(path, source="realtime")
        self._recent[path] = ident
        self._recent.move_to_end(path)
        while len(self._recent) > RECENT_LIMIT:
            self._recent.popitem(last=False)

    def _walk(self, top, recursive, stop):
        """Inspects the files already in a directory that just appeared (without following symlinks)."""
        inspected = 0
        seen = set()
        stack = [top]
        while stack and not stop.is_set():
            directory = stack.pop()
            try:
                # The top of a location may be a symlink (~/Downloads elsewhere); nothing below it is followed.
                st = os.stat(directory, follow_symlinks=(directory == top))
                if not stat.S_ISDIR(st.st_mode) or (st.st_dev, st.st_ino) in seen:
                    continue
                seen.add((st.st_dev, st.st_ino))
                with os.scandir(directory) as it:
                    entries = list(it)
            except OSError:
                continue
            for entry in entries:
                if stop.is_set():
                    return
                try:
                    if entry.is_dir(follow_symlinks=False):
                        if recursive:
                            stack.append(entry.path)
                        continue
                    if not entry.is_file(follow_symlinks=False):
                        continue
                except OSError:
                    continue
                self._inspect(entry.path, walked=True)
                inspected += 1
                if inspected >= WALK_FILE_LIMIT:
                    self.events.emit("file", f"real-time protection inspected the first {inspected} files of a new "
                                             "directory; the rest is left to the next scan", top)
                    return
