"""Quarantine vault.

A quarantined file is copied into <data dir>/vault/<random>.tsq, XOR-obfuscated
with a per-entry 32-byte key (so it cannot be run and other scanners do not
match it), and recorded in the database before the original is removed.
Every multi-step operation records its intent first, so that a crash at any
point leaves the file exactly once: at its original path, or in the vault with
a matching entry. `recover()` finishes or rolls back what a crash interrupted.

Entry states: pending -> stored -> active (move), active -> restoring (restore),
active -> deleting (delete). Claims are single UPDATEs guarded by the current
state, so a restore and a delete of one entry cannot both win.
"""

import errno
import hashlib
import json
import logging
import os
import secrets
import stat
import threading
import time

from . import fsnames, records

log = logging.getLogger("agent.vault")
MAGIC = b"TSAVQ1\n"
CHUNK = 1 << 20  # a multiple of the key length, so chunk offsets keep the key aligned
KEY_BYTES = 32
O_DIR = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


class VaultError(Exception):
    """An operation refused or failed; nothing was lost. The text goes to the client."""


def xor_bytes(data: bytes, key: bytes) -> bytes:
    if not data:
        return b""
    n = len(data)
    stream = (key * (n // len(key) + 1))[:n]
    return (int.from_bytes(data, "little") ^ int.from_bytes(stream, "little")).to_bytes(n, "little")


def open_dir_nofollow(path: str) -> int:
    """Opens an absolute directory path refusing any symbolic link on the way."""
    if not os.path.isabs(path):
        raise VaultError("path is not absolute")
    fd = os.open("/", O_DIR)
    try:
        for part in [p for p in path.split("/") if p]:
            if part in (".", ".."):
                raise VaultError("path contains . or ..")
            try:
                nfd = os.open(part, O_DIR, dir_fd=fd)
            except OSError as exc:
                if exc.errno in (errno.ELOOP, errno.ENOTDIR):
                    raise VaultError("a component of the original path is now a symbolic link or not a directory") from None
                if exc.errno == errno.ENOENT:
                    raise VaultError("the original directory no longer exists") from None
                raise VaultError(f"cannot open {part}: {exc.strerror}") from None
            os.close(fd)
            fd = nfd
        return fd
    except BaseException:
        os.close(fd)
        raise


def _fsync_dir(dfd: int):
    try:
        os.fsync(dfd)
    except OSError:
        pass


def _exists(name: str, dfd: int) -> bool:
    try:
        os.stat(name, dir_fd=dfd, follow_symlinks=False)
        return True
    except FileNotFoundError:
        return False


class Vault:
    def __init__(self, data_dir: str, db, threats, events, faults, allow=None):
        self.dir = os.path.join(data_dir, "vault")
        os.makedirs(self.dir, mode=0o700, exist_ok=True)
        os.chmod(self.dir, 0o700)
        self.db = db
        self.threats = threats
        self.events = events
        self.faults = faults
        self.lock = threading.Lock()  # serialises file work; claims are atomic on their own
        self.restoring = set()  # temporary paths of restores in progress (scanners skip them)
        self.allow = allow  # AllowList: a restored file is remembered there, so it is not taken again

    # -- listing ---------------------------------------------------------
    def list(self, limit: int) -> list[dict]:
        rows = self.db.query("SELECT * FROM quarantine WHERE state='active' ORDER BY id DESC LIMIT ?", (limit,))
        return [records.quarantine_entry(r) for r in rows]

    def count(self) -> int:
        return self.db.query_one("SELECT COUNT(*) AS n FROM quarantine WHERE state='active'")["n"]

    def _vault_fd(self) -> int:
        return os.open(self.dir, O_DIR)

    # -- move into the vault ------------------------------------------------
    def quarantine(self, path: str, reason: str, expect_id=None, expect_sha=None, threat_ids=()) -> int:
        """Moves `path` into the vault; returns the entry id. Raises VaultError."""
        path = os.path.abspath(path)
        parent, name = os.path.split(path)
        with self.lock:
            dfd = open_dir_nofollow(parent)
            vfd_dir = self._vault_fd()
            try:
                return self._move(path, name, dfd, vfd_dir, reason, expect_id, expect_sha, list(threat_ids))
            finally:
                os.close(dfd)
                os.close(vfd_dir)

    def _move(self, path, name, dfd, vdir, reason, expect_id, expect_sha, threat_ids):
        try:
            fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dfd)
        except OSError as exc:
            raise VaultError(f"cannot open file: {exc.strerror}") from None
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode):
                raise VaultError("not a regular file")
            if expect_id is not None and (st.st_dev, st.st_ino) != tuple(expect_id):
                raise VaultError("the file was replaced after it was scanned")
            key = secrets.token_bytes(KEY_BYTES)
            vault_name = secrets.token_hex(16) + ".tsq"
            vault_path = os.path.join(self.dir, vault_name)
            entry_id = self.db.execute(
                "INSERT INTO quarantine(ts, original_path, vault_path, sha256, size, reason, state, xor_key,"
                " orig_dev, orig_ino, mode, uid, gid, threat_ids) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                (time.time(), fsnames.to_db(path), vault_path, "", 0, reason, "pending", key, st.st_dev, st.st_ino,
                 stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, json.dumps(threat_ids))).lastrowid
            self.faults.step("move", 1)
            try:
                digest, size = self._write_vault_file(fd, vault_name, vdir, key)
            except BaseException as exc:
                self._discard(vault_name, vdir, entry_id)
                if isinstance(exc, OSError):
                    raise VaultError(f"writing the vault file failed: {exc.strerror or exc}") from None
                raise
            self.faults.step("move", 3)
            after = os.fstat(fd)
            changed = (after.st_size != st.st_size or after.st_mtime_ns != st.st_mtime_ns or size != st.st_size
                       or (expect_sha is not None and digest != expect_sha))
            if changed:
                self._discard(vault_name, vdir, entry_id)
                raise VaultError("the file changed while it was being quarantined")
            self.db.execute("UPDATE quarantine SET state='stored', sha256=?, size=? WHERE id=?",
                            (digest, size, entry_id))
            self.faults.step("move", 4)
            self._remove_original(name, dfd, (st.st_dev, st.st_ino))
            self.faults.step("move", 5)
            self.db.execute("UPDATE quarantine SET state='active' WHERE id=?", (entry_id,))
            self.faults.step("move", 6)
        finally:
            os.close(fd)
        for tid in threat_ids:
            self.threats.set_status(tid, "quarantined")
        self.events.emit("quarantine", f"quarantined entry #{entry_id}: {reason}", path)
        return entry_id

    def _write_vault_file(self, src_fd, vault_name, vdir, key):
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
        out = os.open(vault_name, flags, 0o600, dir_fd=vdir)
        digest = hashlib.sha256()
        size = 0
        try:
            self._write_all(out, MAGIC)
            first = True
            while True:
                chunk = os.read(src_fd, CHUNK)
                if not chunk:
                    break
                digest.update(chunk)
                size += len(chunk)
                self._write_all(out, xor_bytes(chunk, key))
                if first:
                    self.faults.step("move", 2)
                    first = False
            os.fsync(out)
        finally:
            os.close(out)
        _fsync_dir(vdir)
        return digest.hexdigest(), size

    def _write_all(self, fd, data):
        view = memoryview(data)
        while view:
            self.faults.before_write()
            n = os.write(fd, view)
            view = view[n:]

    def _discard(self, vault_name, vdir, entry_id):
        try:
            os.unlink(vault_name, dir_fd=vdir)
        except FileNotFoundError:
            pass
        _fsync_dir(vdir)
        self.db.execute("DELETE FROM quarantine WHERE id=?", (entry_id,))

    @staticmethod
    def _remove_original(name, dfd, ident):
        """Unlinks `name` only if it is still the file (device, inode) that was copied."""
        try:
            now = os.stat(name, dir_fd=dfd, follow_symlinks=False)
        except FileNotFoundError:
            return
        if (now.st_dev, now.st_ino) != tuple(ident):
            log.warning("original path now holds another file; leaving it alone")
            return
        os.unlink(name, dir_fd=dfd)
        _fsync_dir(dfd)

    # -- reading a vault file ----------------------------------------------
    def _open_vault_file(self, row) -> int:
        vdir = self._vault_fd()
        try:
            fd = os.open(os.path.basename(row["vault_path"]), os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=vdir)
        except OSError as exc:
            raise VaultError(f"vault file unavailable: {exc.strerror}") from None
        finally:
            os.close(vdir)
        if os.read(fd, len(MAGIC)) != MAGIC:
            os.close(fd)
            raise VaultError("vault file is damaged (bad header)")
        return fd

    # -- restore -------------------------------------------------------------
    def _claim(self, entry_id, new_state):
        if isinstance(entry_id, bool) or not isinstance(entry_id, int):
            raise VaultError('"id" must be an integer')
        with self.db.lock:
            cur = self.db.execute("UPDATE quarantine SET state=? WHERE id=? AND state='active'",
                                  (new_state, entry_id))
            if cur.rowcount != 1:
                raise VaultError(f"no quarantine entry {entry_id}")
            return self.db.query_one("SELECT * FROM quarantine WHERE id=?", (entry_id,))

    @staticmethod
    def _temp_name(entry_id):
        return f".tsav-restore-{entry_id}.tmp"

    def restore(self, entry_id) -> str:
        row = self._claim(entry_id, "restoring")
        self.faults.step("restore", 1)
        path = fsnames.from_db(row["original_path"])
        parent, name = os.path.split(path)
        tmp_path = os.path.join(parent, self._temp_name(entry_id))
        # The user chose to keep this content at this path: scanners must not take it back.
        self._remember(path, row["sha256"])
        with self.lock:
            self.restoring.add(tmp_path)
            try:
                self._restore_file(row, parent, name)
            except BaseException:
                self.db.execute("UPDATE quarantine SET state='active' WHERE id=? AND state='restoring'", (entry_id,))
                if self.allow is not None:
                    self.allow.forget_restored(path, row["sha256"])
                raise
            finally:
                self.restoring.discard(tmp_path)
            self._finish_restore(row)
        self.events.emit("quarantine", f"restored entry #{entry_id}", path)
        return path

    def _restore_file(self, row, parent, name):
        dfd = open_dir_nofollow(parent)
        tmp = self._temp_name(row["id"])
        created = False
        try:
            if _exists(name, dfd):
                raise VaultError("a file already exists at the original path")
            try:
                os.unlink(tmp, dir_fd=dfd)  # our own leftover from an interrupted restore
            except FileNotFoundError:
                pass
            src = self._open_vault_file(row)
            try:
                flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
                try:
                    out = os.open(tmp, flags, 0o600, dir_fd=dfd)
                except OSError as exc:
                    raise VaultError(f"cannot create file: {exc.strerror}") from None
                created = True
                try:
                    digest = hashlib.sha256()
                    key = bytes(row["xor_key"])
                    while chunk := os.read(src, CHUNK):
                        plain = xor_bytes(chunk, key)
                        digest.update(plain)
                        self._write_all(out, plain)
                    if digest.hexdigest() != row["sha256"]:
                        raise VaultError("vault file is damaged (hash mismatch); not restored")
                    if os.geteuid() == 0 and row["uid"] is not None:
                        try:
                            os.fchown(out, row["uid"], row["gid"])
                        except OSError:
                            pass
                    os.fchmod(out, row["mode"] & 0o777)
                    os.fsync(out)
                except OSError as exc:
                    raise VaultError(f"writing the restored file failed: {exc.strerror}") from None
                finally:
                    os.close(out)
            finally:
                os.close(src)
            self.faults.step("restore", 2)
            try:
                # link() never replaces an existing name: a file that appeared meanwhile wins.
                os.link(tmp, name, src_dir_fd=dfd, dst_dir_fd=dfd, follow_symlinks=False)
            except FileExistsError:
                raise VaultError("a file already exists at the original path") from None
            except OSError as exc:
                raise VaultError(f"cannot restore: {exc.strerror}") from None
            self.faults.step("restore", 3)
            os.unlink(tmp, dir_fd=dfd)
            created = False
            _fsync_dir(dfd)
            self.faults.step("restore", 4)
        finally:
            if created:
                try:
                    os.unlink(tmp, dir_fd=dfd)
                except OSError:
                    pass
            os.close(dfd)

    def _finish_restore(self, row):
        self._unlink_vault_file(row)
        self.faults.step("restore", 5)
        self.db.execute("DELETE FROM quarantine WHERE id=?", (row["id"],))
        self._remember(fsnames.from_db(row["original_path"]), row["sha256"])
        for tid in json.loads(row["threat_ids"] or "[]"):
            self.threats.set_status(tid, "restored")

    def _remember(self, path, sha256):
        if self.allow is not None:
            self.allow.remember_restored(path, sha256)
        else:
            self.db.execute("INSERT OR IGNORE INTO allowlist(path, sha256) VALUES(?, ?)", (fsnames.to_db(path), sha256))

    def _unlink_vault_file(self, row):
        vdir = self._vault_fd()
        try:
            try:
                os.unlink(os.path.basename(row["vault_path"]), dir_fd=vdir)
            except FileNotFoundError:
                pass
            _fsync_dir(vdir)
        finally:
            os.close(vdir)

    # -- delete ----------------------------------------------------------------
    def delete(self, entry_id):
        row = self._claim(entry_id, "deleting")
        self.faults.step("delete", 1)
        with self.lock:
            self._finish_delete(row)
        self.events.emit("quarantine", f"deleted entry #{entry_id}", fsnames.from_db(row["original_path"]))

    def _finish_delete(self, row):
        self._unlink_vault_file(row)
        self.faults.step("delete", 2)
        self.db.execute("DELETE FROM quarantine WHERE id=?", (row["id"],))
        for tid in json.loads(row["threat_ids"] or "[]"):
            self.threats.set_status(tid, "deleted")

    # -- crash recovery ----------------------------------------------------------
    def recover(self):
        """Finishes or rolls back every operation a crash interrupted."""
        rows = self.db.query("SELECT * FROM quarantine WHERE state != 'active'")
        for row in rows:
            try:
                self._recover_one(row)
            except Exception:
                log.exception("recovery of quarantine entry %s failed; left as is", row["id"])

    def _recover_one(self, row):
        state, path = row["state"], fsnames.from_db(row["original_path"])
        parent, name = os.path.split(path)
        if state == "pending":
            # The original was never touched: drop the partial copy.
            vdir = self._vault_fd()
            try:
                self._discard(os.path.basename(row["vault_path"]), vdir, row["id"])
            finally:
                os.close(vdir)
            self.events.emit("quarantine", f"rolled back interrupted quarantine of entry #{row['id']}", path)
        elif state == "stored":
            # The copy is complete and durable: finish the move.
            try:
                dfd = open_dir_nofollow(parent)
            except VaultError:
                dfd = None
            if dfd is not None:
                try:
                    self._remove_original(name, dfd, (row["orig_dev"], row["orig_ino"]))
                finally:
                    os.close(dfd)
            self.db.execute("UPDATE quarantine SET state='active' WHERE id=?", (row["id"],))
            for tid in json.loads(row["threat_ids"] or "[]"):
                self.threats.set_status(tid, "quarantined")
            self.events.emit("quarantine", f"finished interrupted quarantine of entry #{row['id']}", path)
        elif state == "restoring":
            restored = False
            try:
                dfd = open_dir_nofollow(parent)
            except VaultError:
                dfd = None
            if dfd is not None:
                try:
                    restored = self._target_matches(name, dfd, row["sha256"])
                    try:
                        os.unlink(self._temp_name(row["id"]), dir_fd=dfd)
                    except FileNotFoundError:
                        pass
                finally:
                    os.close(dfd)
            if restored:
                self._finish_restore(row)
                self.events.emit("quarantine", f"finished interrupted restore of entry #{row['id']}", path)
            else:
                self.db.execute("UPDATE quarantine SET state='active' WHERE id=?", (row["id"],))
                self.events.emit("quarantine", f"rolled back interrupted restore of entry #{row['id']}", path)
        elif state == "deleting":
            self._finish_delete(row)
            self.events.emit("quarantine", f"finished interrupted delete of entry #{row['id']}", path)

    @staticmethod
    def _target_matches(name, dfd, sha):
        try:
            fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dfd)
        except OSError:
            return False
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                return False
            digest = hashlib.sha256()
            while chunk := os.read(fd, CHUNK):
                digest.update(chunk)
            return digest.hexdigest() == sha
        finally:
            os.close(fd)
