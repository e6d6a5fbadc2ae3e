"""Socket ownership: permissions, peer credentials, stale sockets, a second agent, signals."""

import json
import os
import signal
import socket
import stat
import subprocess

import pytest

from conftest import Agent


def test_socket_and_data_are_private_and_another_user_is_refused_whatever_the_mode(agent):
    assert stat.S_IMODE(os.stat(os.path.dirname(agent.socket)).st_mode) == 0o700
    st = os.lstat(agent.socket)
    assert stat.S_ISSOCK(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o600
    assert stat.S_IMODE(os.stat(agent.data_dir).st_mode) == 0o700
    assert stat.S_IMODE(os.stat(os.path.join(agent.data_dir, "agent.db")).st_mode) == 0o600
    if os.geteuid() != 0:
        return  # switching to another user needs root
    os.chmod(agent.socket, 0o666)
    os.chmod(os.path.dirname(agent.socket), 0o755)
    os.chmod(os.path.dirname(os.path.dirname(agent.socket)), 0o755)
    os.chmod(os.path.dirname(os.path.dirname(os.path.dirname(agent.socket))), 0o755)
    os.chmod(agent.home, 0o755)
    # The other user starts in the socket's directory, so it reaches the socket although the
    # private test homes sit below a directory it cannot search.
    code = (
        "import os, socket, sys\n"
        "os.setgid(65534); os.setuid(65534)\n"
        "s = socket.socket(socket.AF_UNIX); s.settimeout(20); s.connect(os.path.basename(sys.argv[1]))\n"
        "print(s.recv(4096).decode())\n")  # refused before the request is read
    out = subprocess.run(["/usr/bin/python3", "-I", "-c", code, agent.socket], capture_output=True, text=True,
                         timeout=60, cwd=os.path.dirname(agent.socket))
    assert out.returncode == 0, out.stderr
    reply = json.loads(out.stdout)
    assert reply["ok"] is False and "another user" in reply["error"]
    assert agent.call("summary")["ok"] is True


def test_non_socket_in_the_way_is_left_alone(home):
    a = Agent(home)
    os.makedirs(os.path.dirname(a.socket), mode=0o700)
    with open(a.socket, "w") as fh:
        fh.write("precious")
    a.start(wait=False)
    assert a.wait_exit(60) == 2
    assert open(a.socket).read() == "precious"


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_stale_socket_is_replaced_and_signals_shut_down_cleanly(home, sig):
    a = Agent(home)
    os.makedirs(os.path.dirname(a.socket), mode=0o700)
    stale = socket.socket(socket.AF_UNIX)
    stale.bind(a.socket)
    stale.close()  # file left behind, nobody listening
    a.start()
    assert a.call("summary")["ok"] is True
    assert a.stop(sig) == 0
    assert not os.path.exists(a.socket)
    log = a.log()
    assert "agent stopped" in log and "Traceback" not in log
