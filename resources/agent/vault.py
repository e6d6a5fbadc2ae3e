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

A vault file carries its own entry, so the vault outlives its database:

    "TSAVQ2\n" | header length (4 bytes, big-endian) | header | payload

The header is JSON padded with spaces: id, ts, path (hex of the original path's
bytes), mode, uid, gid, dev, ino, sha256, size, reason, key (hex) and the
threats the entry settled. It is written with an empty sha256 first and
rewritten in place once the copy is complete, so a header with a sha256 means
a complete copy. The payload is the file XORed with the key from its first
byte. Files written before the header existed ("TSAVQ1\n" | payload) stay
readable; their entry lives only in the database.
"""

import errno
import hashlib
import json
import logging
import os
import secrets
import stat
import struct
import threading
import time

from . import fsnames, records
from .db import StorageError, describe_os_error

log = logging.getLogger("agent.vault")
MAGIC = b"TSAVQ1\n"  # files without a header
MAGIC2 = b"TSAVQ2\n"
HEADER_LEN = struct.Struct(">I")
HEADER_SLACK = 128  # room for the sha256 and size written when the copy is complete
MAX_HEADER = 1 << 20
UNADOPTED = "unadopted"  # vault files whose entry could not be rebuilt wait here
CHUNK = 1 << 20  # a multiple of the key length, so chunk offsets keep the key aligned
KEY_BYTES = 32
O_DIR = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def _is_id(value) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and 0 < value < 1 << 62


def _small_int(value):
    """An integer that SQLite can hold, or None."""
    if value is None or isinstance(value, bool):
        return None
    value = int(value)
    if not -(1 << 63) <= value < 1 << 63:
        raise ValueError("number out of range")
    return value


def _text(value):
    return value if isinstance(value, str) else None


class VaultError(Exception):
    """An operation refused or failed; nothing was lost. The text goes to the client."""


def xor_bytes(data: bytes, key: bytes) -> bytes:
    if not data:
        return b""
    n = len(data)
    stream = (key * (n // len(key) + 1))[:n]
    return (int.from_bytes(data, "little") ^ int.from_bytes(stream, "little")).to_bytes(n, "little")


def encode_header(fields: dict, room: int | None = None) -> bytes:
    text = json.dumps(fields, separators=(",", ":"), sort_keys=True).encode()
    room = len(text) + HEADER_SLACK if room is None else room
    if len(text) > room:
        raise ValueError("vault header does not fit its room")
    return MAGIC2 + HEADER_LEN.pack(room) + text.ljust(room, b" ")


def read_header(fd) -> tuple[dict | None, int]:
    """(header or None for a file without one, offset of the payload). Raises VaultError."""
    head = os.pread(fd, len(MAGIC2) + HEADER_LEN.size, 0)
    if head[:len(MAGIC)] == MAGIC:
        return None, len(MAGIC)
    if head[:len(MAGIC2)] != MAGIC2 or len(head) < len(MAGIC2) + HEADER_LEN.size:
        raise VaultError("vault file is damaged (bad header)")
    (room,) = HEADER_LEN.unpack(head[len(MAGIC2):])
    start = len(MAGIC2) + HEADER_LEN.size
    text = os.pread(fd, room, start) if room <= MAX_HEADER else b""
    try:
        header = json.loads(text) if len(text) == room else None
    except ValueError:
        header = None
    if not isinstance(header, dict):
        raise VaultError("vault file is damaged (bad header)")
    return header, start + room


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
                raise VaultError(f"cannot open {part}: {describe_os_error(exc)}") from None
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
    def __init__(self, data_dir: str, db, threats, events, faults):
        self.dir = os.path.join(data_dir, "vault")
        os.makedirs(self.dir, mode=0o700, exist_ok=True)
        os.chmod(self.dir, 0o700)
        self.db = db
        self.threats = threats
        self.events = events
        self.faults = faults
        self.lock = threading.Lock()  # serialises file work; claims are atomic on their own
        self.restoring = set()  # temporary paths of restores in progress (scanners skip them)

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
        """Moves `path` into the vault; returns the entry id. Raises VaultError or StorageError."""
        self.faults.step("detect", 2)  # a detection recorded, its quarantine not begun
        path = os.path.abspath(path)
        parent, name = os.path.split(path)
        with self.lock:
            dfd = open_dir_nofollow(parent)
            try:
                vfd_dir = self._vault_fd()
            except BaseException:
                os.close(dfd)
                raise
            try:
                return self._move(path, name, dfd, vfd_dir, reason, expect_id, expect_sha, list(threat_ids))
            finally:
                os.close(dfd)
                os.close(vfd_dir)

    ENTRY_COLUMNS = ("ts", "original_path", "vault_path", "sha256", "size", "reason", "state", "xor_key",
                     "orig_dev", "orig_ino", "mode", "uid", "gid", "threat_ids")

    def _put(self, entry) -> int:
        """Inserts the entry (with its id when it has one); returns the id."""
        cols = (("id",) if entry.get("id") is not None else ()) + self.ENTRY_COLUMNS
        return self.db.execute(
            f"INSERT OR REPLACE INTO quarantine({','.join(cols)}) VALUES({','.join('?' * len(cols))})",
            tuple(fsnames.to_db(entry[c]) if c == "original_path" else entry[c] for c in cols)).lastrowid

    def _set_state(self, entry, state, **columns):
        entry.update(columns, state=state)
        sets = ", ".join(f"{c}=?" for c in ("state",) + tuple(columns))
        cur = self.db.execute(f"UPDATE quarantine SET {sets} WHERE id=?",
                              (state, *columns.values(), entry["id"]))
        if cur.rowcount == 0:
            self._put(entry)  # the database was rebuilt after damage meanwhile: write the entry again

    def _header(self, entry, threat_ids) -> dict:
        threats = []
        for tid in threat_ids:
            row = self.threats.get(tid)
            if row is not None:
                threats.append({k: row[k] for k in ("id", "ts", "kind", "severity", "signature", "description")})
        return {"v": 2, "id": entry["id"], "ts": entry["ts"], "path": fsnames.raw(entry["original_path"]).hex(),
                "mode": entry["mode"], "uid": entry["uid"], "gid": entry["gid"], "dev": entry["orig_dev"],
                "ino": entry["orig_ino"], "sha256": entry["sha256"], "size": entry["size"],
                "reason": entry["reason"], "key": entry["xor_key"].hex(), "threats": threats}

    def _move(self, path, name, dfd, vdir, reason, expect_id, expect_sha, threat_ids):
        try:
            fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dfd)
        except OSError as exc:
            raise VaultError(f"cannot open file: {describe_os_error(exc)}") from None
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode):
                raise VaultError("not a regular file")
            if expect_id is not None and (st.st_dev, st.st_ino) != tuple(expect_id):
                raise VaultError("the file was replaced after it was scanned")
            vault_name = secrets.token_hex(16) + ".tsq"
            entry = {"id": None, "ts": time.time(), "original_path": path,
                     "vault_path": os.path.join(self.dir, vault_name), "sha256": "", "size": 0, "reason": reason,
                     "state": "pending", "xor_key": secrets.token_bytes(KEY_BYTES), "orig_dev": st.st_dev,
                     "orig_ino": st.st_ino, "mode": stat.S_IMODE(st.st_mode), "uid": st.st_uid, "gid": st.st_gid,
                     "threat_ids": json.dumps(threat_ids)}
            entry["id"] = self._put(entry)
            self.faults.step("move", 1)
            try:
                digest, size = self._write_vault_file(fd, vault_name, vdir, entry, self._header(entry, threat_ids))
            except BaseException as exc:
                self._discard(vault_name, vdir, entry["id"])
                if isinstance(exc, OSError):
                    raise VaultError(f"writing the vault file failed: {describe_os_error(exc)}") from None
                raise
            self.faults.step("move", 3)
            after = os.fstat(fd)
            changed = (after.st_size != st.st_size or after.st_mtime_ns != st.st_mtime_ns or size != st.st_size
                       or (expect_sha is not None and digest != expect_sha))
            if changed:
                self._discard(vault_name, vdir, entry["id"])
                raise VaultError("the file changed while it was being quarantined")
            try:
                self._set_state(entry, "stored", sha256=digest, size=size)
            except StorageError:
                self._discard(vault_name, vdir, entry["id"])
                raise
            self.faults.step("move", 4)
            self._remove_original(name, dfd, (st.st_dev, st.st_ino))
            self.faults.step("move", 5)
            try:
                with self.db.transaction():  # the entry and its threats change together
                    self._set_state(entry, "active")
                    for tid in threat_ids:
                        self.threats.set_status(tid, "quarantined")
            except StorageError as exc:
                # The copy is complete and durable: settle_leftovers() finishes the entry later.
                log.warning("quarantine of entry #%s is finished later: %s", entry["id"], exc)
            self.faults.step("move", 6)
        finally:
            os.close(fd)
        self.events.emit("quarantine", f"quarantined entry #{entry['id']}: {reason}", path)
        return entry["id"]

    def _write_vault_file(self, src_fd, vault_name, vdir, entry, header):
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
        out = os.open(vault_name, flags, 0o600, dir_fd=vdir)
        key = entry["xor_key"]
        digest = hashlib.sha256()
        size = 0
        try:
            first_block = encode_header(header)
            self._write_all(out, first_block)
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
            # The complete header goes in last: a header with a sha256 means a complete copy.
            header.update(sha256=digest.hexdigest(), size=size)
            room = len(first_block) - len(MAGIC2) - HEADER_LEN.size
            final = encode_header(header, room)
            self.faults.before_write()
            os.pwrite(out, final, 0)
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
        try:
            self.db.execute("DELETE FROM quarantine WHERE id=?", (entry_id,))
        except StorageError as exc:
            # The entry stays "pending" and is rolled back at the next start; it is never listed.
            log.warning("could not drop pending entry #%s: %s", entry_id, exc)

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
        """Opens the vault file of `row`, positioned at its payload."""
        vdir = self._vault_fd()
        try:
            fd = os.open(os.path.basename(row["vault_path"]), os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=vdir)
        except OSError as exc:
            raise VaultError(f"vault file unavailable: {describe_os_error(exc)}") from None
        finally:
            os.close(vdir)
        try:
            _header, offset = read_header(fd)
            os.lseek(fd, offset, os.SEEK_SET)
        except BaseException:
            os.close(fd)
            raise
        return fd

    # -- restore -------------------------------------------------------------
    def _claim(self, entry_id, new_state, allow=False):
        """Claims an active entry for a restore or delete; with `allow`, the restored content is
        allow-listed in the same transaction, so either both are written or neither."""
        if isinstance(entry_id, bool) or not isinstance(entry_id, int):
            raise VaultError('"id" must be an integer')
        with self.db.transaction() as conn:
            cur = conn.execute("UPDATE quarantine SET state=? WHERE id=? AND state='active'", (new_state, entry_id))
            if cur.rowcount != 1:
                raise VaultError(f"no quarantine entry {entry_id}")
            row = conn.execute("SELECT * FROM quarantine WHERE id=?", (entry_id,)).fetchone()
            if allow:
                # The user chose to keep this content at this path: scanners must not take it back.
                conn.execute("INSERT OR IGNORE INTO allowlist(path, sha256) VALUES(?, ?)",
                             (row["original_path"], row["sha256"]))
        return row

    def _unclaim(self, row):
        try:
            with self.db.transaction() as conn:
                conn.execute("UPDATE quarantine SET state='active' WHERE id=? AND state='restoring'", (row["id"],))
                conn.execute("DELETE FROM allowlist WHERE path=? AND sha256=?", (row["original_path"], row["sha256"]))
        except StorageError as exc:
            log.error("restore of entry #%s failed and could not be rolled back now (%s); the next start "
                      "rolls it back", row["id"], exc)

    @staticmethod
    def _temp_name(entry_id):
        return f".tsav-restore-{entry_id}.tmp"

    def restore(self, entry_id) -> str:
        row = self._claim(entry_id, "restoring", allow=True)
        self.faults.step("restore", 1)
        path = fsnames.from_db(row["original_path"])
        parent, name = os.path.split(path)
        tmp_path = os.path.join(parent, self._temp_name(entry_id))
        with self.lock:
            self.restoring.add(tmp_path)
            try:
                self._restore_file(row, parent, name)
            except BaseException:
                self._unclaim(row)
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
                    raise VaultError(f"cannot create file: {describe_os_error(exc)}") from None
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
                    raise VaultError(f"writing the restored file failed: {describe_os_error(exc)}") from None
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
                raise VaultError(f"cannot restore: {describe_os_error(exc)}") from None
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
        self._forget(row, "restored")

    def _forget(self, row, status):
        """Drops the entry of a restored or deleted file and gives its threats `status`, together."""
        with self.db.transaction():
            self.db.execute("DELETE FROM quarantine WHERE id=?", (row["id"],))
            if status == "restored":
                self.db.execute("INSERT OR IGNORE INTO allowlist(path, sha256) VALUES(?, ?)",
                                (row["original_path"], row["sha256"]))
            for tid in json.loads(row["threat_ids"] or "[]"):
                self.threats.set_status(tid, status)

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
        self._forget(row, "deleted")

    # -- crash recovery ----------------------------------------------------------
    def recover(self):
        """Finishes or rolls back every operation a crash interrupted. Returns the paths whose
        quarantine was rolled back: their files are where they were and must be inspected again."""
        rows = self.db.query("SELECT * FROM quarantine WHERE state != 'active'")
        rolled_back = []
        for row in rows:
            try:
                self._recover_one(row)
            except Exception:
                log.exception("recovery of quarantine entry %s failed; left as is", row["id"])
            if row["state"] == "pending":
                rolled_back.append(fsnames.from_db(row["original_path"]))
        return rolled_back

    def settle_leftovers(self):
        """While running: finishes moves whose last write failed (a full disk). Under the vault's
        lock no move is in progress, so a "stored" entry is such a leftover. ("pending" ones are
        never listed and their originals were never touched: the next start drops them.)"""
        with self.lock:
            for row in self.db.query("SELECT * FROM quarantine WHERE state='stored'"):
                self._recover_one(row)

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
                    # The content counts too: a new file may have been given the old inode number.
                    if self._target_matches(name, dfd, row["sha256"]):
                        self._remove_original(name, dfd, (row["orig_dev"], row["orig_ino"]))
                finally:
                    os.close(dfd)
            with self.db.transaction():
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

    # -- rebuilding the entries from the vault files -------------------------------
    def readopt(self, old_rows=(), at_start=False) -> dict:
        """Rebuilds the entries of vault files that have none (after the database was rebuilt).

        `old_rows` are quarantine rows read back from the damaged database: the only source of
        the key of a file without a header. At start nothing else runs, so interrupted moves
        and restores are settled too; at run time a file still being written is left to its move.
        Files that cannot be adopted are moved to vault/unadopted/ and named in the report.
        """
        known = {os.path.basename(r["vault_path"]) for r in self.db.query("SELECT vault_path FROM quarantine")}
        by_name = {os.path.basename(str(r.get("vault_path") or "")): r for r in old_rows}
        report = {"adopted": 0, "settled": 0, "unadopted": []}
        for name in sorted(os.listdir(self.dir)):
            if not name.endswith(".tsq") or name in known:
                continue
            try:
                outcome = self._readopt_one(name, by_name.get(name), at_start)
            except (OSError, VaultError, StorageError, ValueError, TypeError, KeyError, OverflowError) as exc:
                log.warning("vault file %s cannot be adopted: %s", name, exc)
                outcome = f"unadopted: {exc}"
            if outcome == "adopted":
                report["adopted"] += 1
            elif outcome == "settled":
                report["settled"] += 1
            elif outcome.startswith("unadopted"):
                self._set_aside(name)
                report["unadopted"].append(f"{name} ({outcome.split(': ', 1)[-1]})")
        return report

    def _readopt_one(self, name, old_row, at_start) -> str:
        vdir = self._vault_fd()
        try:
            fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=vdir)
        except FileNotFoundError:
            os.close(vdir)
            return "gone"
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode):
                return "unadopted: not a regular file"
            header, offset = read_header(fd)
            if header is None:
                entry, threats = self._entry_from_row(name, old_row, fd, offset)
                if entry is None:
                    return "unadopted: written without a header and its key is lost with the database"
            else:
                if not header.get("sha256"):
                    if not at_start:
                        return "in progress"
                    os.unlink(name, dir_fd=vdir)  # an interrupted move: the original was never touched
                    _fsync_dir(vdir)
                    return "settled"
                entry, threats = self._entry_from_header(name, header)
                if st.st_size != offset + entry["size"]:
                    return "unadopted: its length differs from its header's"
        finally:
            os.close(fd)
            os.close(vdir)
        if at_start and self._settle_interrupted(entry, threats):
            return "settled"
        taken = self.db.query_one("SELECT vault_path FROM quarantine WHERE id=?", (entry["id"],))
        if taken is not None:
            entry["id"] = None  # the id went to another entry meanwhile: take a new one
        self._put_threats(entry, threats, "quarantined")
        self._put(entry)
        return "adopted"

    def _put_threats(self, entry, threats, status):
        for t in threats:
            self.db.execute("INSERT OR IGNORE INTO threats(id, ts, kind, severity, path, signature, description,"
                            " status) VALUES(?,?,?,?,?,?,?,?)",
                            (t["id"], t["ts"], t["kind"], t["severity"], fsnames.to_db(entry["original_path"]),
                             t.get("signature"),
                             t.get("description"), status))

    def _entry_from_header(self, name, h):
        """The entry and threats a header describes; raises ValueError on anything out of shape."""
        threats = []
        for t in h.get("threats") or []:
            if not (isinstance(t, dict) and _is_id(t.get("id")) and isinstance(t.get("kind"), str)
                    and isinstance(t.get("severity"), str)):
                raise ValueError("a threat in the header is malformed")
            threats.append({"id": t["id"], "ts": float(t.get("ts") or 0), "kind": t["kind"],
                            "severity": t["severity"], "signature": _text(t.get("signature")),
                            "description": _text(t.get("description"))})
        if not (isinstance(h.get("sha256"), str) and len(h["sha256"]) == 64 and isinstance(h.get("path"), str)
                and isinstance(h.get("key"), str) and isinstance(h.get("reason"), str)):
            raise ValueError("the header is malformed")
        entry = {"id": h["id"] if _is_id(h.get("id")) else None, "ts": float(h["ts"]),
                 "original_path": os.fsdecode(bytes.fromhex(h["path"])), "vault_path": os.path.join(self.dir, name),
                 "sha256": h["sha256"], "size": _small_int(h["size"]), "reason": h["reason"], "state": "active",
                 "xor_key": bytes.fromhex(h["key"]), "orig_dev": _small_int(h.get("dev")),
                 "orig_ino": _small_int(h.get("ino")), "mode": _small_int(h["mode"]) or 0,
                 "uid": _small_int(h.get("uid")), "gid": _small_int(h.get("gid")),
                 "threat_ids": json.dumps([t["id"] for t in threats])}
        if len(entry["xor_key"]) != KEY_BYTES or "\0" in entry["original_path"]:
            raise ValueError("the header is malformed")
        return entry, threats

    def _entry_from_row(self, name, row, fd, offset):
        """An entry for a file without a header from its old row, if the row's key decodes it."""
        if not row or not row.get("xor_key") or not row.get("sha256"):
            return None, []
        key = bytes(row["xor_key"])
        digest = hashlib.sha256()
        os.lseek(fd, offset, os.SEEK_SET)
        while chunk := os.read(fd, CHUNK):
            digest.update(xor_bytes(chunk, key))
        if digest.hexdigest() != row["sha256"]:
            return None, []
        entry = {c: row.get(c) for c in self.ENTRY_COLUMNS}
        entry.update(id=row.get("id"), vault_path=os.path.join(self.dir, name), state="active", xor_key=key)
        return entry, []

    def _settle_interrupted(self, entry, threats) -> bool:
        """At start, for a file whose content is at its original path again: finishes the move
        when it is the very file that was copied (returns False: adopt the entry), or the restore
        when that content was allow-listed by one (returns True: nothing to adopt). Any other copy
        is left where it is, for inspection to judge."""
        parent, name = os.path.split(entry["original_path"])
        try:
            dfd = open_dir_nofollow(parent)
        except VaultError:
            return False
        try:
            if not self._target_matches(name, dfd, entry["sha256"]):
                return False
            st = os.stat(name, dir_fd=dfd, follow_symlinks=False)
            if (st.st_dev, st.st_ino) == (entry["orig_dev"], entry["orig_ino"]):
                self._remove_original(name, dfd, (st.st_dev, st.st_ino))
                return False
        finally:
            os.close(dfd)
        if not self.db.query_one("SELECT 1 FROM allowlist WHERE path=? AND sha256=?",
                                 (fsnames.to_db(entry["original_path"]), entry["sha256"])):
            return False
        self._put_threats(entry, threats, "restored")
        self._unlink_vault_file(entry)
        return True

    def _set_aside(self, name):
        aside = os.path.join(self.dir, UNADOPTED)
        try:
            os.makedirs(aside, mode=0o700, exist_ok=True)
            os.rename(os.path.join(self.dir, name), os.path.join(aside, name))
        except OSError as exc:
            log.warning("cannot set %s aside: %s", name, exc)
