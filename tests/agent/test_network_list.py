"""The network list shows live connections with their process, and nothing the kernel is only winding down."""

import os
import random
import socket

from agent import procfs
from conftest import wait_for

CONNECTED = {"ESTABLISHED", "SYN_SENT", "SYN_RECV", "FIN_WAIT1", "FIN_WAIT2", "CLOSE_WAIT", "CLOSING", "LAST_ACK",
             "UDP"}


def test_live_connections_with_process_and_no_leftovers(agent):
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    port = server.getsockname()[1]
    live = socket.create_connection(("127.0.0.1", port))
    peer, _ = server.accept()
    # The side that closes first keeps the pair in TIME_WAIT with no process.
    gone = socket.create_connection(("127.0.0.1", port))
    gone_peer, _ = server.accept()
    gone_local = gone.getsockname()[1]
    gone.close()
    gone_peer.close()
    try:
        mine = f"127.0.0.1:{live.getsockname()[1]}"

        expected = {(mine, f"127.0.0.1:{port}"), (f"127.0.0.1:{port}", mine)}
        seen = []

        def settled():
            seen[:] = [r for r in agent.data("network") if str(port) in r["remote"] + r["local"]]
            pairs = {(x["local"], x["remote"]) for x in seen}
            return seen if pairs == expected and all(x["status"] == "ESTABLISHED" for x in seen) else None

        # Both ends of the live pair, established; no listener, no TIME_WAIT leftover of the
        # closed pair. A snapshot may predate the accept() (the server's end is held by no
        # process until then), or even the handshake (the pair then shows as SYN_SENT and
        # SYN_RECV), or the closing of the second pair, so wait for one taken after all of
        # them: a leftover would keep every later snapshot from matching.
        try:
            found = wait_for(settled, 20, what="both ends of the live pair and nothing else")
        except AssertionError as failure:
            raise AssertionError(f"{failure}; the last snapshot held {seen}") from None
        row = next(x for x in found if x["local"] == mine)
        assert row["status"] == "ESTABLISHED" and row["pid"] == os.getpid() and row["process"]
        assert all(x["status"] in CONNECTED for x in agent.data("network"))
        assert not [x for x in agent.data("network") if x["local"].endswith(f":{gone_local}")]
        processes = {p["pid"]: p for p in agent.data("processes")}
        assert processes[os.getpid()]["connections"] >= 2
    finally:
        for s in (live, peer, server):
            s.close()


def test_connection_tables_survive_malformed_lines():
    good = (b"  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
            b"   0: 0100007F:1F90 0100007F:A1B2 01 00000000:00000000 00:00000000 00000000  1000        0 4242 1\n"
            b"   1: 0100007F:1F91 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 99 1\n"
            b"   2: 0100007F:1F92 0100007F:A1B3 06 00000000:00000000 00:00000000 00000000     0        0 0 1\n")
    rows = procfs.parse_net_table(good, "tcp", socket.AF_INET)
    assert [(r.local, r.remote, r.state, r.uid, r.inode, r.connection) for r in rows] == [
        (("127.0.0.1", 8080), ("127.0.0.1", 41394), "ESTABLISHED", 1000, 4242, True),
        (("127.0.0.1", 8081), ("0.0.0.0", 0), "LISTEN", 0, 99, False),
        (("127.0.0.1", 8082), ("127.0.0.1", 41395), "TIME_WAIT", 0, 0, False)]
    v6 = (b"header\n   0: 0000000000000000FFFF00000100007F:0050 00000000000000000000000001000000:0051 01 "
          b"0:0 0:0 0 0 0 7 1\n")
    (row,) = procfs.parse_net_table(v6, "tcp", socket.AF_INET6)
    assert row.local == ("127.0.0.1", 80) and row.remote == ("::1", 81)
    hostile = [b"header\n" + b"   0: zz:zz 0100007F:1 01 0 0 0 0 0 1\n", b"header\n   0: 0100007F 1 2\n",
               b"header\n   0: 0100007F:1F90 0100:1 01 0 0 0 0 0 1\n", b"\xff" * 300, b""]
    rng = random.Random(5)
    hostile += [bytes(rng.randrange(256) for _ in range(rng.randrange(400))) for _ in range(200)]
    hostile += [good[:n] for n in range(0, len(good), 7)]
    for blob in hostile:
        for r in procfs.parse_net_table(blob, "tcp", socket.AF_INET):
            assert isinstance(r.inode, int) and isinstance(r.remote[1], int)
    assert procfs.parse_stat(1, b"1 (a) b") is None and procfs.parse_stat(1, b"garbage") is None
    st = procfs.parse_stat(7, b"7 (we (ird) name) S 1 " + b"0 " * 9 + b"5 6 0 0 20 0 3 0 1234 0 10 " + b"0 " * 20)
    assert st.comm == "we (ird) name" and st.ppid == 1 and st.ticks == 11 and st.threads == 3 and st.start == 1234
