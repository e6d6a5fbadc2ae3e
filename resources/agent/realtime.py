"""Real-time protection: inotify on the places where files land and where programs persist.

Watched (config.quick_locations, plus HOME):
- trees, recursively: the download and desktop folders, ~/.config/autostart,
  ~/.local/bin, ~/.config/systemd/user, /tmp, /var/tmp, /dev/shm;
- flat, without descending: HOME itself and the crontab spool; shell
  start-up files (~/.bashrc, ~/.profile, ~/.zshrc) are files of HOME.

A file closed after writing, moved in, or created and left alone for a second
(a hard link or an O_TMPFILE linked into place sends no close) is queued and
inspected by one worker thread through the scanner, which applies the
ownership rule (other users' files in shared directories are counted, not
read). Changes in persistence places are also reported as events.

A location may be missing (a fresh account without ~/.config/autostart) or be
removed and made again: one non-recursive watch sits on its nearest existing
parent until it appears, and then its tree is watched and walked once. A
check every RECHECK_SECONDS catches what the events missed.

Nothing is skipped silently. When the kernel's event queue overflows, or the
agent's own queue fills, every watched location is walked again completely
by a thread at the lowest CPU priority. Directories that cannot be watched
(the agent's cap, the user's inotify limit, no permission, a path too long),
files that cannot be read and paths too long to open are counted and
reported as events.
"""

import collections
import errno
import logging
import os
import select
import stat
import threading
import time

from . import fsnames
from . import inotify as ino
from .config import SHELL_STARTUP_FILES, config_home, home_dir
from .scanner import lstat as long_lstat, open_file
from .vault import VaultError, open_dir_nofollow

log = logging.getLogger("agent.realtime")
MASK = (ino.IN_CLOSE_WRITE | ino.IN_MOVED_TO | ino.IN_MOVED_FROM | ino.IN_CREATE | ino.IN_DELETE_SELF
        | ino.IN_MOVE_SELF | ino.IN_EXCL_UNLINK | ino.IN_ONLYDIR)
RECHECK_SECONDS = 2.0
CREATE_GRACE = 1.0  # a file created but never closed after writing is inspected after this long
DRAIN_SECONDS = 2.0  # at a stop, how long queued files are still inspected
QUEUE_LIMIT = 50_000  # pending paths; beyond, the queue is dropped and everything is walked again
RECENT_LIMIT = 8192  # remembered inspections, so a walk does not re-read what an event just read
REPORTS_PER_MINUTE = 20  # individual events per problem kind; the rest are summed up
PATH_MAX = os.pathconf("/", "PC_PATH_MAX") if hasattr(os, "pathconf") else 4096
WALK = object()  # queue item kinds
TREE = object()


def _under(path: str, root: str) -> bool:
    return path == root or path.startswith(root.rstrip("/") + "/")


def _nearest_existing_dir(path: str):
    parent = os.path.dirname(path)
    while True:
        if os.path.isdir(parent):
            return parent
        up = os.path.dirname(parent)
        if up == parent:
            return None
        parent = up


def _ident(path, follow=True):
    try:
        st = os.stat(path, follow_symlinks=follow)
    except OSError:
        return None
    return (st.st_dev, st.st_ino) if stat.S_ISDIR(st.st_mode) else None


def _too_long(path: str) -> bool:
    return len(os.fsencode(path)) >= PATH_MAX


class _DirFd:
    """A directory opened component by component, refusing symbolic links (for paths beyond PATH_MAX)."""

    def __init__(self, path):
        self.path = path
        self.fd = -1

    def __enter__(self) -> int:
        try:
            self.fd = open_dir_nofollow(self.path)
        except VaultError as exc:
            raise OSError(errno.ENOENT, str(exc)) from None
        return self.fd

    def __exit__(self, *exc):
        os.close(self.fd)
        return False


def _entries(directory) -> list:
    """(DirEntry, path) of a directory, however deep it lies."""
    if _too_long(directory):
        with _DirFd(directory) as dfd, os.scandir(dfd) as it:
            return [(e, os.path.join(directory, e.name)) for e in it]
    with os.scandir(directory) as it:
        return [(e, e.path) for e in it]


class Counters:
    """What real-time protection could not do, for metrics and events."""

    KINDS = ("unreadable", "too_long", "unwatched", "overflows", "rewalks", "rewalked_files")

    def __init__(self):
        self.lock = threading.Lock()
        self.values = dict.fromkeys(self.KINDS, 0)

    def add(self, kind, n=1):
        with self.lock:
            self.values[kind] += n

    def snapshot(self):
        with self.lock:
            return dict(self.values)


def _event_emitter(events):
    """Emits a "file" event; names that are not UTF-8 are shown with U+FFFD."""
    def emit(action, target=None):
        events.emit("file", action, None if target is None else fsnames.display(target))
    return emit


class _Reporter:
    """Emits a problem as an event, at most REPORTS_PER_MINUTE of a kind; sums up the rest."""

    def __init__(self, emit):
        self._emit = emit
        self.lock = threading.Lock()
        self.window = {}  # kind -> (minute start, emitted, suppressed, last target)

    def report(self, kind, action, target):
        now = time.monotonic()
        with self.lock:
            start, emitted, suppressed, last = self.window.get(kind, (now, 0, 0, None))
            if now - start >= 60:
                self._flush_locked(kind, suppressed, last)
                start, emitted, suppressed = now, 0, 0
            if emitted < REPORTS_PER_MINUTE:
                emitted += 1
                emit = True
            else:
                suppressed += 1
                emit = False
            self.window[kind] = (start, emitted, suppressed, target)
        if emit:
            self._emit(action, target)

    def flush(self):
        with self.lock:
            for kind, (start, emitted, suppressed, last) in list(self.window.items()):
                if time.monotonic() - start >= 60:
                    self._flush_locked(kind, suppressed, last)
                    del self.window[kind]

    def _flush_locked(self, kind, suppressed, last):
        if suppressed:
            self._emit(f"real-time protection: {suppressed} more {kind.replace('_', ' ')} "
                                     "problems in the last minute (last one shown)", last)


class RealtimeMonitor:
    def __init__(self, config, scanner, events):
        self.config = config
        self.scanner = scanner
        self.events = events
        self.uid = os.getuid()
        self.lock = threading.Lock()  # enabled flag and the thread handles
        self.enabled = False
        self.counters = Counters()
        self._emit = _event_emitter(events)
        self.reporter = _Reporter(self._emit)
        self._stop = threading.Event()
        self._threads = []
        self._ino = None
        self._wake_r = self._wake_w = -1
        # Watch bookkeeping; touched by the watch thread, and by the re-walk thread under _wlock.
        self._wlock = threading.RLock()
        self.wd_path: dict = {}
        self.path_wd: dict = {}
        self.roots: dict = {}  # present location -> identity of its top directory
        self.parents: dict = {}  # nearest existing parent of a missing location -> (wd, identity)
        self.unwatched: dict = {}  # location -> directories that could not be watched, last reason
        # The worker's queue: path -> kind, in arrival order, each path once.
        self._pending: collections.OrderedDict = collections.OrderedDict()
        self._cv = threading.Condition()
        self._created: dict = {}
        self._moves: dict = {}
        self._recent: collections.OrderedDict = collections.OrderedDict()
        self._recent_lock = threading.Lock()
        self._rewalk = threading.Event()
        self._recheck = threading.Event()
        self._drain_until = 0.0
        self._trees, self._flats = self._layout()
        self._locations = self._trees + [d for d in self._flats if d not in self._trees]

    # -- what is watched ----------------------------------------------------------------
    def _layout(self):
        """(trees, flats): flats map a directory to the names watched in it (None: all)."""
        home = home_dir().rstrip("/") or "/"
        trees, flats = [], {home: None}
        for loc in self.config.quick_locations:
            parent, name = os.path.split(loc)
            # Single files (shell start-up files, the crontab) are watched through their directory.
            if (parent == home and name in SHELL_STARTUP_FILES) or loc == self.config.crontab \
                    or os.path.isfile(loc):
                if flats.get(parent, set()) is not None:
                    flats.setdefault(parent, set()).add(name)
            else:
                trees.append(loc)
        return trees, flats

    @property
    def locations(self):
        return self._locations

    def persistence_target(self, path) -> bool:
        """A change here makes a program start again later: reported as well as inspected."""
        home = home_dir()
        if os.path.dirname(path) == home and os.path.basename(path) in SHELL_STARTUP_FILES:
            return True
        if path == self.config.crontab:
            return True
        conf = config_home()
        # ~/.local/bin is left out: it changes with every pip install (inspected, not reported).
        return any(_under(path, p) for p in (os.path.join(conf, "autostart"), os.path.join(conf, "systemd", "user")))

    def counts(self) -> dict:
        values = self.counters.snapshot()
        with self._wlock:
            values["watched"] = len(self.wd_path)
            values["unwatched_now"] = sum(n for n, _ in self.unwatched.values())
        return values

    # -- lifecycle -------------------------------------------------------------------
    def start(self):
        with self.lock:
            if self.enabled:
                return
            self._ino = ino.Inotify()
            self._wake_r, self._wake_w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
            self.wd_path, self.path_wd, self.roots, self.parents, self.unwatched = {}, {}, {}, {}, {}
            self._pending.clear()
            self._created.clear()
            with self._recent_lock:
                self._recent.clear()
            self._trees, self._flats = self._layout()
            self._locations = self._trees + [d for d in self._flats if d not in self._trees]
            self._reconcile(initial=True)
            self._stop = threading.Event()
            self._rewalk.clear()
            stop, done = self._stop, threading.Event()
            self._threads = [threading.Thread(target=self._watch_loop, args=(stop, done), name="realtime-watch",
                                              daemon=True),
                             threading.Thread(target=self._work, args=(stop, done), name="realtime", daemon=True),
                             threading.Thread(target=self._rewalk_loop, args=(stop,), name="realtime-rewalk",
                                              daemon=True)]
            for t in self._threads:
                t.start()
            self.enabled = True
            watched = len(self.wd_path)
            present = [p for p in self.locations if p in self.roots]
            missing = [p for p in self.locations if p not in self.roots]
        target = ", ".join(present)
        if missing:
            target += (" · " if target else "") + "waiting for: " + ", ".join(missing)
        self._emit(f"real-time protection on ({watched} directories watched)", target)
        self._report_unwatched()

    def stop(self, emit=True):
        """Stops watching; files already reported by the kernel are still inspected (for at most
        DRAIN_SECONDS), so a file that landed just before a stop is not left to the next scan."""
        with self.lock:
            if not self.enabled:
                return
            self.enabled = False
            self._drain_until = time.monotonic() + DRAIN_SECONDS
            self._stop.set()
            threads, self._threads = self._threads, []
            os.write(self._wake_w, b"x")
            with self._cv:
                self._cv.notify_all()
        for t in threads:  # the watch thread reads what the kernel still holds before it ends
            t.join(5)
        with self.lock:
            self._ino.close()  # closes every watch with it
            os.close(self._wake_r)
            os.close(self._wake_w)
            self._wake_r = self._wake_w = -1
            with self._wlock:
                self.wd_path, self.path_wd, self.roots, self.parents = {}, {}, {}, {}
        if emit:
            self._emit("real-time protection off")

    # -- watches ------------------------------------------------------------------------
    def _add(self, path, follow=False) -> int | None:
        """One watch; raises OSError with the reason it cannot be added."""
        with self._wlock:
            if path in self.path_wd:
                return self.path_wd[path]
            if len(self.wd_path) >= self.config.max_watches:
                raise OSError(errno.EMFILE, f"the agent's limit of {self.config.max_watches} watched directories")
            if _too_long(path):
                # Deeper than the kernel takes a path at once: open it component by component (no
                # symbolic link on the way) and watch the directory its descriptor names.
                with _DirFd(path) as dfd:
                    wd = self._ino.add_watch(f"/proc/self/fd/{dfd}", MASK)
            else:
                wd = self._ino.add_watch(path, MASK | (0 if follow else ino.IN_DONT_FOLLOW))
            old = self.wd_path.get(wd)
            if old is not None and old != path:
                self.path_wd.pop(old, None)  # the same directory under another name
            self.wd_path[wd] = path
            self.path_wd[path] = wd
            return wd

    def _remove(self, wd):
        with self._wlock:
            path = self.wd_path.pop(wd, None)
            if path is not None and self.path_wd.get(path) == wd:
                del self.path_wd[path]
        try:
            self._ino.rm_watch(wd)
        except OSError:
            pass

    def _drop_under(self, top):
        with self._wlock:
            doomed = [wd for wd, p in self.wd_path.items() if _under(p, top)]
        for wd in doomed:
            if not self._needed_elsewhere(self.wd_path.get(wd, ""), top):
                self._remove(wd)

    def _needed_elsewhere(self, path, leaving):
        if path in self._flats and path in self.roots:
            return True
        if path in self.parents:
            return True
        return any(_under(path, r) for r in self.roots if r != leaving and r in self._trees)

    def _watch_tree(self, top, follow_top=True) -> int:
        """Watches `top` and every directory below it; returns how many could not be watched."""
        failed = 0
        reason = None
        stack = [(top, follow_top)]
        seen = set()
        while stack:
            directory, follow = stack.pop()
            try:
                self._add(directory, follow=follow)
            except OSError as exc:
                failed += 1
                reason = self._watch_failure(exc)
                if exc.errno in (errno.ENOENT, errno.ENOTDIR):
                    failed -= 1
                    continue
            try:
                st = os.stat(directory) if follow else long_lstat(directory)
                if (st.st_dev, st.st_ino) in seen:
                    continue
                seen.add((st.st_dev, st.st_ino))
                entries = _entries(directory)
            except OSError:
                continue
            for entry, path in entries:
                try:
                    if entry.is_dir(follow_symlinks=False):
                        stack.append((path, False))
                except OSError:
                    continue
        if failed:
            loc = next((r for r in self._trees if _under(top, r)), top)
            with self._wlock:
                count, _ = self.unwatched.get(loc, (0, None))
                self.unwatched[loc] = (count + failed, reason)
            self.counters.add("unwatched", failed)
        return failed

    def _watch_failure(self, exc) -> str:
        if exc.errno == errno.ENOSPC:
            try:
                with open("/proc/sys/fs/inotify/max_user_watches") as fh:
                    limit = fh.read().strip()
            except OSError:
                limit = "?"
            return f"the system's inotify watch limit is reached (fs.inotify.max_user_watches = {limit})"
        if exc.errno == errno.EMFILE:
            return exc.strerror
        if exc.errno == errno.ENAMETOOLONG:
            self.counters.add("too_long")
            return "path too long"
        return exc.strerror or str(exc)

    def _report_unwatched(self):
        with self._wlock:
            items, self.unwatched = list(self.unwatched.items()), {}
        for loc, (count, reason) in items:
            self._emit(f"real-time protection cannot watch {count} "
                                     f"director{'y' if count == 1 else 'ies'} here: {reason}", loc)

    def _reconcile(self, initial=False):
        """Brings the watches in line with what exists now. Watch thread only (or before it starts)."""
        appeared, gone = [], []
        for _ in range(8):  # each pass moves a parent watch at least one level down
            changed = False
            for loc in self.locations:
                tree = loc in self._trees
                ident = _ident(loc)
                old = self.roots.get(loc)
                if old is not None:
                    wd = self.path_wd.get(loc)
                    if old == ident and wd is not None:
                        continue
                    if tree:
                        self._drop_under(loc)
                    elif wd is not None and not self._needed_elsewhere(loc, loc):
                        self._remove(wd)
                    del self.roots[loc]
                    gone.append(loc)
                if ident is None:
                    continue
                if tree:
                    self.roots[loc] = ident
                    self._watch_tree(loc)
                else:
                    try:
                        self._add(loc, follow=True)
                    except OSError as exc:
                        with self._wlock:
                            self.unwatched[loc] = (1, self._watch_failure(exc))
                        self.counters.add("unwatched")
                        continue
                    self.roots[loc] = ident
                changed = True
                if not initial:
                    appeared.append(loc)
            changed |= self._place_parent_watches()
            if not changed:
                break
        for loc in gone:
            if loc not in self.roots:
                self._emit("real-time protection: watched location removed; waiting for it to return",
                                 loc)
        for loc in appeared:
            self._enqueue(loc, TREE if loc in self._trees else WALK)
            self._emit("real-time protection now watching a location that appeared", loc)
        if not initial:
            self._report_unwatched()

    def _place_parent_watches(self) -> bool:
        """One non-recursive watch on the nearest existing parent of each missing location."""
        wanted = set()
        for loc in self.locations:
            if loc not in self.roots:
                parent = _nearest_existing_dir(loc)
                if parent is not None:
                    wanted.add(parent)
        changed = False
        for parent, (wd, ident) in list(self.parents.items()):
            if parent in wanted and _ident(parent) == ident and wd in self.wd_path:
                continue
            del self.parents[parent]
            if wd in self.wd_path and not self._needed_elsewhere(parent, None):
                self._remove(wd)
        for parent in wanted - set(self.parents):
            ident = _ident(parent)
            try:
                wd = self._add(parent, follow=True)
            except OSError:
                continue
            self.parents[parent] = (wd, ident)
            changed = True
        return changed

    # -- the watch thread -----------------------------------------------------------------
    def _watch_loop(self, stop, done):
        poller = select.poll()
        poller.register(self._ino.fd, select.POLLIN)
        poller.register(self._wake_r, select.POLLIN)
        pause = os.path.join(self.config.data_dir, "inotify.pause") if self.config.test_mode else None
        next_check = time.monotonic() + RECHECK_SECONDS
        while not stop.is_set():
            try:
                now = time.monotonic()
                deadline = next_check
                if self._created:
                    deadline = min(deadline, min(self._created.values()) + CREATE_GRACE)
                ready = poller.poll(max(0, int((deadline - now) * 1000)) + 1)
                if stop.is_set():
                    break
                if pause is not None and os.path.exists(pause):
                    stop.wait(0.05)  # a test holds the events in the kernel's queue until it overflows
                    continue
                if any(fd == self._ino.fd for fd, _ in ready):
                    self._handle(self._ino.read())
                now = time.monotonic()
                if self._created:
                    late = [p for p, t in self._created.items() if now - t >= CREATE_GRACE]
                    for path in late:
                        del self._created[path]
                        self._enqueue(path, None)
                if self._recheck.is_set() or now >= next_check:
                    self._recheck.clear()
                    next_check = now + RECHECK_SECONDS
                    self._reconcile()
                    self.reporter.flush()
            except Exception:
                log.exception("real-time watch loop failed; retrying")
                stop.wait(1.0)
        try:
            self._handle(self._ino.read())  # what the kernel reported before the stop
        except Exception:
            log.exception("real-time watch loop: last read failed")
        done.set()
        with self._cv:
            self._cv.notify_all()

    def _handle(self, events):
        for ev in events:
            if ev.mask & ino.IN_Q_OVERFLOW:
                self.counters.add("overflows")
                log.warning("inotify queue overflowed; walking every watched location again")
                self._emit("real-time protection missed events (inotify queue overflow); "
                                         "walking every watched location again")
                self._rewalk.set()
                self._recheck.set()
                continue
            directory = self.wd_path.get(ev.wd)
            if ev.mask & ino.IN_IGNORED:
                with self._wlock:
                    path = self.wd_path.pop(ev.wd, None)
                    if path is not None and self.path_wd.get(path) == ev.wd:
                        del self.path_wd[path]
                self._recheck.set()
                continue
            if directory is None:
                continue
            if ev.mask & (ino.IN_DELETE_SELF | ino.IN_MOVE_SELF):
                if directory in self.roots or directory in self.parents:
                    self._recheck.set()
                continue
            path = os.path.join(directory, os.fsdecode(ev.name))
            if ev.mask & ino.IN_ISDIR:
                self._on_directory(ev, directory, path)
            else:
                self._on_file(ev, directory, path)
        # A directory moved away with no arrival in our trees has left them.
        for cookie, old in list(self._moves.items()):
            del self._moves[cookie]
            self._drop_under(old)

    def _tree_of(self, directory):
        best = None
        for r in self._trees:
            if r in self.roots and _under(directory, r) and (best is None or len(r) > len(best)):
                best = r
        return best

    def _on_directory(self, ev, directory, path):
        if ev.mask & (ino.IN_CREATE | ino.IN_MOVED_TO) and any(
                _under(loc, path) for loc in self.locations if loc not in self.roots):
            self._recheck.set()  # a missing location, or a directory on the way to it, appeared
        if self._tree_of(directory) is None:
            return
        if ev.mask & ino.IN_MOVED_FROM:
            self._moves[ev.cookie] = path
            return
        if ev.mask & ino.IN_MOVED_TO and ev.cookie in self._moves:
            # Renamed within the watched trees: the same watches, new names; its files were seen.
            old = self._moves.pop(ev.cookie)
            with self._wlock:
                for wd, p in list(self.wd_path.items()):
                    if _under(p, old):
                        new = path + p[len(old):]
                        self.wd_path[wd] = new
                        self.path_wd.pop(p, None)
                        self.path_wd[new] = wd
            return
        if ev.mask & (ino.IN_CREATE | ino.IN_MOVED_TO):
            # Files can be in a new directory before its watch exists: watch it, then walk it.
            if self._watch_tree(path, follow_top=False):
                self._report_unwatched()
            self._enqueue(path, TREE)

    def _on_file(self, ev, directory, path):
        names = self._flats.get(directory, set())
        in_tree = self._tree_of(directory) is not None
        if not in_tree and not (directory in self._flats and directory in self.roots
                                and (names is None or os.path.basename(path) in names)):
            return
        if ev.mask & ino.IN_CREATE:
            self._created[path] = time.monotonic()
            return
        if ev.mask & ino.IN_MOVED_FROM:
            return
        self._created.pop(path, None)
        if self.persistence_target(path):
            self._emit("persistence location changed: inspecting", path)
        self._enqueue(path, None)

    # -- the queue and the worker ---------------------------------------------------------------
    def _enqueue(self, path, kind):
        with self._cv:
            if len(self._pending) >= QUEUE_LIMIT:
                self._pending.clear()
                self.counters.add("overflows")
                self._emit(f"real-time protection fell {QUEUE_LIMIT} files behind; "
                                         "walking every watched location again")
                self._rewalk.set()
                return
            if self._pending.get(path) not in (TREE, WALK):
                self._pending[path] = kind
            self._pending.move_to_end(path)
            self._cv.notify()

    def _work(self, stop, watch_done):
        while True:
            with self._cv:
                while not self._pending:
                    if stop.is_set() and watch_done.is_set():
                        return
                    self._cv.wait(0.2 if stop.is_set() else None)
                # Stopping: files still queued are inspected while the drain lasts (walks are not).
                if stop.is_set() and time.monotonic() > self._drain_until:
                    return
                path, kind = self._pending.popitem(last=False)
            try:
                if kind is None:
                    self._inspect(path, walked=False)
                elif not stop.is_set():
                    self._walk(path, recursive=kind is TREE, stop=stop)
            except Exception:
                log.exception("real-time inspection of %r failed", path)

    def _inspect(self, path, walked) -> bool:
        """Inspects one file through the scanner; True when it was read (or found clean before)."""
        try:
            st = long_lstat(path)
        except FileNotFoundError:
            return False
        except OSError as exc:
            self._unreadable(path, exc)
            return False
        if not stat.S_ISREG(st.st_mode):
            return False
        ident = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
        # An event always means a fresh look (the writer may have just finished); a walk skips
        # a file an event has already read in exactly this state.
        with self._recent_lock:
            if walked and self._recent.get(path) == ident:
                return True
        if st.st_uid == self.uid:
            # The scanner says nothing about a file it could not open; find out here, for our own files.
            try:
                os.close(open_file(path)[0])
            except FileNotFoundError:
                return False
            except OSError as exc:
                self._unreadable(path, exc)
                return False
        self.scanner.inspect(path, source="realtime")
        with self._recent_lock:
            self._recent[path] = ident
            self._recent.move_to_end(path)
            while len(self._recent) > RECENT_LIMIT:
                self._recent.popitem(last=False)
        return True

    def _unreadable(self, path, exc):
        if exc.errno == errno.ENAMETOOLONG:
            self.counters.add("too_long")
            self.reporter.report("too_long", "real-time protection cannot open a path this long", path[:300])
            return
        self.counters.add("unreadable")
        self.reporter.report("unreadable", f"real-time protection cannot read a file: {exc.strerror or exc}", path)

    def _walk(self, top, recursive, stop, on_dir=None) -> int:
        """Inspects the files under `top` (without following symbolic links below it)."""
        inspected = 0
        seen = set()
        stack = [top]
        while stack and not stop.is_set():
            directory = stack.pop()
            st = None
            try:
                # The top of a location may be a symlink (~/Downloads elsewhere); nothing below it is followed.
                st = os.stat(directory) if directory == top else long_lstat(directory)
                if not stat.S_ISDIR(st.st_mode) or (st.st_dev, st.st_ino) in seen:
                    continue
                seen.add((st.st_dev, st.st_ino))
                if on_dir is not None:
                    on_dir(directory)
                entries = _entries(directory)
            except FileNotFoundError:
                continue
            except OSError as exc:
                if st is not None and getattr(st, "st_uid", None) == self.uid:
                    self._unreadable(directory, exc)
                continue
            for entry, path in entries:
                if stop.is_set():
                    break
                try:
                    if entry.is_dir(follow_symlinks=False):
                        if recursive:
                            stack.append(path)
                        continue
                    if not entry.is_file(follow_symlinks=False):
                        continue
                except OSError:
                    continue
                if self._inspect(path, walked=True):
                    inspected += 1
        return inspected

    # -- walking everything again -------------------------------------------------------------------
    def _rewalk_loop(self, stop):
        try:
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 19)
        except (OSError, AttributeError):
            pass
        while not stop.is_set():
            self._rewalk.wait(1.0)
            if stop.is_set() or not self._rewalk.is_set():
                continue
            self._rewalk.clear()
            self.counters.add("rewalks")
            started = time.monotonic()
            before = self.counters.snapshot()
            total = 0
            for loc in list(self.roots):
                if stop.is_set():
                    break
                tree = loc in self._trees
                total += self._walk(loc, recursive=tree, stop=stop,
                                    on_dir=self._rewatch if tree else None)
            self.counters.add("rewalked_files", total)
            after = self.counters.snapshot()
            problems = [f"{after[k] - before[k]} {k.replace('_', ' ')}" for k in ("unreadable", "too_long")
                        if after[k] > before[k]]
            self._emit(f"real-time protection walked every watched location again: {total} files "
                                     f"in {time.monotonic() - started:.1f} s"
                                     + (f" ({', '.join(problems)})" if problems else ""))
            self._report_unwatched()

    def _rewatch(self, directory):
        """During a re-walk: directories made while events were lost get their watch."""
        if directory in self.path_wd:
            return
        try:
            self._add(directory, follow=False)
        except OSError as exc:
            loc = next((r for r in self._trees if _under(directory, r)), directory)
            with self._wlock:
                count, _ = self.unwatched.get(loc, (0, None))
                self.unwatched[loc] = (count + 1, self._watch_failure(exc))
            self.counters.add("unwatched")
