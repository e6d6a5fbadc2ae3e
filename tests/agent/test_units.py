"""In-process checks of the decoders and engines with tables of tricky input."""

import json
import math
import os
import random

import pytest

from agent.clamd import ClamdError, parse_reply
from agent.engines import NetworkIntel
from agent.jsonproto import encode_reply
from agent.journal import parse as parse_journal
from agent.vault import MAGIC, VaultError, encode_header, read_header


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
        yara.compile(filepath=BUNDLED_RULES, error_on_warning=True, externals={"ts_reads_as_text": False})

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


def test_replies_are_one_line_without_non_finite_numbers():
    raw = encode_reply(True, {"a": math.nan, "b": [math.inf, -math.inf], "c": {"d": 1.5},
                              "p": os.fsdecode(b"/x/\xff")})  # a file name that is not UTF-8
    assert raw.endswith(b"\n") and raw.count(b"\n") == 1
    reply = json.loads(raw, parse_constant=lambda name: pytest.fail(f"reply carries {name}"))
    assert reply["data"]["p"].startswith("/x/")
    del reply["data"]["p"]
    assert reply["data"] == {"a": 0.0, "b": [0.0, 0.0], "c": {"d": 1.5}}
