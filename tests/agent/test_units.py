"""In-process checks of the decoders and engines with tables of tricky input."""

import json
import os
import random
import sys

import pytest

from agent import jsonproto, records
from agent.clamd import ClamdError, parse_reply
from agent.engines import NetworkIntel
from agent.jsonproto import ProtocolError, decode_request
from agent.response import Responder
from agent.journal import parse as parse_journal
from agent.vault import MAGIC, VaultError, encode_header, open_dir_nofollow, read_header, xor_bytes
from conftest import EICAR


class TestStrictJson:
    @pytest.mark.parametrize("raw", [
        b'{"op":"a","op":"b"}', b'{"op":"a","x":{"k":1,"k":2}}', b'{"op":"a","x":NaN}', b'{"op":"a","x":-Infinity}',
        b'{"op":"a","x":1e400}', b'{"op":"a","x":' + b"1" * 21 + b"}", b'{"op":"a","x":' + b"[" * 33 + b"]" * 33 + b"}",
        b"\xc0\xaf", b"", b"   ", b"null", b"[]", b'{"op":null}', b'{"op":"a"} x', b"{'op':'a'}",
    ])
    def test_rejected(self, raw):
        with pytest.raises(ProtocolError):
            decode_request(raw)

    @pytest.mark.parametrize("raw,expected", [
        (b'{"op":"summary"}\n', {"op": "summary"}),
        (b'  {"op":"threats","limit":200}\r\n', {"op": "threats", "limit": 200}),
        (b'{"op":"a","x":' + b"[" * 31 + b"]" * 31 + b"}", None),
        (b'{"op":"a","s":"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\\"]]]"}', None),
        (b'{"op":"a","n":-12345678901234567890}', None),
    ])
    def test_accepted(self, raw, expected):
        value = decode_request(raw)
        if expected is not None:
            assert value == expected

    def test_random_input_only_raises_protocol_error(self):
        rng = random.Random(7)
        alphabet = b'{}[]":,0123456789.eE+-tfnulrsaNI\\ \n\xff\xc3'
        for _ in range(3000):
            raw = bytes(rng.choice(alphabet) for _ in range(rng.randrange(0, 60)))
            try:
                value = decode_request(raw)
            except ProtocolError:
                continue
            assert isinstance(value, dict) and isinstance(value["op"], str)

    def test_deep_nesting_does_not_recurse(self):
        limit = sys.getrecursionlimit()
        with pytest.raises(ProtocolError, match="nesting"):
            decode_request(b'{"op":"a","x":' + b"[" * (limit * 10) + b"]" * (limit * 10) + b"}")

    def test_reply_is_one_compact_line(self):
        raw = jsonproto.encode_reply(True, {"a": [1, 2.5, "ț"]})
        assert raw == '{"ok":true,"data":{"a":[1,2.5,"ț"]}}\n'.encode()


class TestRecords:
    def test_optional_fields_are_dropped_not_nulled(self):
        row = {"id": 1, "ts": 2.0, "kind": "yara", "severity": "high", "status": "detected", "path": None,
               "pid": None, "process_name": None, "signature": "R", "score": None, "description": None}
        assert records.threat(row) == {"id": 1, "ts": 2.0, "kind": "yara", "severity": "high",
                                       "status": "detected", "signature": "R"}

    def test_numbers_are_coerced_to_their_wire_types(self):
        row = records.process_row(pid=5.0, name=None, user="u", exe="", cpu=float("nan"), rss=1.5e6,
                                  connections=None, open_files=2, threads=3, score=7)
        assert row["pid"] == 5 and isinstance(row["pid"], int)
        assert row["cpu"] == 0.0 and isinstance(row["rss"], int) and row["connections"] == 0
        assert row["score"] == 1.0 and row["name"] == ""


class TestEngines:
    def test_clamd_replies_decode_or_fail_clearly(self):
        assert parse_reply("fd[12]: OK") == parse_reply("stream: OK") == parse_reply("OK")
        hit = parse_reply("fd[9]: Win.Test.EICAR_HDB-1.UNOFFICIAL FOUND")
        assert hit.infected and hit.name == "Win.Test.EICAR_HDB-1"
        assert parse_reply("No file descriptor received. ERROR").error == "No file descriptor received."
        rng = random.Random(3)
        for text in ["", "FOUND", "fd[1]:", "\x00" * 5, "stream: " + "A" * 70000] + [
                "".join(chr(rng.randrange(1, 0x3000)) for _ in range(rng.randrange(40))) for _ in range(300)]:
            try:
                reply = parse_reply(text)
            except ClamdError as exc:
                assert "unexpected reply" in str(exc)
                continue
            assert isinstance(reply.name, str) and isinstance(reply.error, str)

    def test_bundled_rules_compile_without_slow_patterns(self):
        import yara
        from agent.engines import BUNDLED_RULES
        yara.compile(filepath=BUNDLED_RULES, error_on_warning=True)

    def test_network_intel_matches_networks_and_mapped_addresses(self, tmp_path):
        user = tmp_path / "intel.txt"
        user.write_text("10.1.2.3 my lab box\n10.0.0.0/8 private test net\nnonsense\n")
        intel = NetworkIntel(str(user))
        assert intel.check("10.1.2.3") == "my lab box"  # most specific entry wins
        assert intel.check("10.9.9.9") == "private test net"
        assert intel.check("::ffff:192.0.2.7").startswith("reserved documentation")
        assert intel.check("2001:db8::1%eth0")
        assert intel.check("8.8.8.8") is None and intel.check("not-an-ip") is None

    def test_pseudo_filesystems_are_skipped_but_shared_memory_is_scanned(self):
        # /dev/shm is where a dropper lands when /tmp is noexec; the tests' stand-in directory
        # cannot show that the real one is not skipped with the rest of /dev.
        from agent.scanner import in_skipped_tree
        assert not in_skipped_tree("/dev/shm") and not in_skipped_tree("/dev/shm/x/payload")
        assert in_skipped_tree("/dev/null") and in_skipped_tree("/proc/1/exe") and in_skipped_tree("/run")
        assert not in_skipped_tree("/device/x") and in_skipped_tree("/dev/shmx")


class TestVaultPieces:
    def test_xor_round_trip_across_chunk_boundaries(self):
        key = os.urandom(32)
        data = os.urandom((1 << 20) + 17)
        obf = xor_bytes(data[: 1 << 20], key) + xor_bytes(data[1 << 20:], key)
        assert obf != data and EICAR not in xor_bytes(EICAR, key)
        assert xor_bytes(obf[: 1 << 20], key) + xor_bytes(obf[1 << 20:], key) == data
        assert xor_bytes(b"", key) == b""

    def test_open_dir_refuses_symlinks_and_dots(self, tmp_path):
        real = tmp_path / "real"
        real.mkdir()
        (tmp_path / "link").symlink_to(real)
        os.close(open_dir_nofollow(str(real)))
        for bad in (str(tmp_path / "link"), str(tmp_path / "link" / "x"), str(real / ".." / "real"), "rel/path"):
            with pytest.raises(VaultError):
                open_dir_nofollow(bad)


class TestStateFileDecoders:
    def test_journal_keeps_open_entries_of_torn_hostile_and_foreign_text(self):
        text = (b"+1 2f61\n+2 2fff\n-1\n+3 zz\n+x 00\n-\n-99\n\xff\xfe\n+4 2f62 extra\n+5 2f63\n+6 2f" +
                b"6" * 3)  # the last line is torn
        assert parse_journal(text) == {2: os.fsdecode(b"/\xff"), 5: "/c"}
        rng = random.Random(3)
        for _ in range(2000):
            blob = bytes(rng.choice(b"+-0123456789abcdef \n\xff") for _ in range(rng.randrange(60)))
            assert all(isinstance(k, int) and isinstance(v, str) for k, v in parse_journal(blob).items())

    def test_vault_header_round_trip_and_every_truncation(self, tmp_path):
        fields = {"id": 7, "path": os.fsencode("/d/\udcff").hex(), "sha256": ""}
        block = encode_header(fields)
        path = tmp_path / "v.tsq"
        path.write_bytes(block + b"payload")
        fd = os.open(path, os.O_RDONLY)
        try:
            assert read_header(fd) == (fields, len(block))
        finally:
            os.close(fd)
        done = dict(fields, sha256="ab" * 32, size=123456789012)  # the complete header fits the same room
        assert len(encode_header(done, len(block) - 11)) == len(block)
        bad = [block[:n] for n in range(len(block))] + [
            b"TSAVQ2\n\xff\xff\xff\xff{}", b"TSAVQ2\n\x00\x00\x00\x02[]", b"TSAVQ2\n\x00\x00\x00\x02\xff\xfe",
            b"TSAVQ9\n", b""]
        for data in bad:
            path.write_bytes(data)
            fd = os.open(path, os.O_RDONLY)
            try:
                with pytest.raises(VaultError):
                    read_header(fd)
            finally:
                os.close(fd)
        path.write_bytes(MAGIC + b"old")  # a file from before headers: payload right after the magic
        fd = os.open(path, os.O_RDONLY)
        try:
            assert read_header(fd) == (None, len(MAGIC))
        finally:
            os.close(fd)


class TestSettingsAndIsolation:
    def test_isolation_needs_root_nft_and_opt_in(self, monkeypatch):
        from agent import response
        from agent.config import Config

        class Stub:
            def subscribe(self, fn):
                pass

        monkeypatch.setattr(response.shutil, "which", lambda name: "/usr/sbin/nft")
        monkeypatch.setattr(response.os, "geteuid", lambda: 0)
        r = Responder(Config(test_mode=False, allow_isolation=False), Stub(), None, None, "/nonexistent")
        assert "TSAV_AGENT_ALLOW_ISOLATION" in r.isolation_blocker()
        r.config = Config(test_mode=True, allow_isolation=True)
        assert "test mode" in r.isolation_blocker()
        monkeypatch.setattr(response.os, "geteuid", lambda: 1000)
        assert "root" in r.isolation_blocker()
        monkeypatch.setattr(response.os, "geteuid", lambda: 0)
        monkeypatch.setattr(response.shutil, "which", lambda name: None)
        assert "nft" in r.isolation_blocker()
