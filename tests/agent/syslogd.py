"""A real rsyslogd on 127.0.0.1 for the forwarding tests, with a configuration, pid file,
work directory and output file of its own (never the system's).

rsyslogd parses what it receives with its own RFC 5424 / traditional parsers and
writes one JSON object per message into the output file: the fields it parsed, so
a test sees exactly what a SIEM behind rsyslog would see.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import time

RSYSLOGD = shutil.which("rsyslogd") or "/usr/sbin/rsyslogd"

TEMPLATE = """template(name="fields" type="list" option.jsonf="on") {
  property(outname="pri" name="pri" format="jsonf")
  property(outname="severity" name="syslogseverity" format="jsonf")
  property(outname="facility" name="syslogfacility" format="jsonf")
  property(outname="hostname" name="hostname" format="jsonf")
  property(outname="app" name="app-name" format="jsonf")
  property(outname="procid" name="procid" format="jsonf")
  property(outname="msgid" name="msgid" format="jsonf")
  property(outname="sd" name="structured-data" format="jsonf")
  property(outname="input" name="inputname" format="jsonf")
  property(outname="msg" name="msg" format="jsonf")
}
"""


def free_port(kind=socket.SOCK_STREAM) -> int:
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def make_tls_files(directory) -> dict:
    """A throw-away CA, a server certificate for 127.0.0.1 signed by it, and a second,
    unrelated CA (for the negative case)."""
    def run(*args):
        subprocess.run(["openssl", *args], cwd=directory, check=True, capture_output=True, timeout=60)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Forwarding Test CA")
    run("req", "-x509", *ec, "-keyout", "other.key", "-out", "other-ca.pem", "-days", "2", "-subj", "/CN=Other CA")
    run("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(directory, "san.ext"), "w") as fh:
        fh.write("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.pem", "-days", "2", "-extfile", "san.ext")
    return {name: os.path.join(directory, f) for name, f in
            (("ca", "ca.pem"), ("other_ca", "other-ca.pem"), ("cert", "server.pem"), ("key", "server.key"))}


class Rsyslogd:
    def __init__(self, directory, tcp_port=None, udp_port=None, tls=None, unix_socket=None):
        self.dir = directory
        os.makedirs(os.path.join(directory, "work"), exist_ok=True)
        self.out = os.path.join(directory, "received.jsonl")
        self.conf = os.path.join(directory, "rsyslog.conf")
        self.pidfile = os.path.join(directory, "rsyslogd.pid")
        self.log = os.path.join(directory, "rsyslogd.log")
        self.tcp_port, self.udp_port, self.tls, self.unix_socket = tcp_port, udp_port, tls, unix_socket
        self.proc = None
        self._write_conf()

    def _write_conf(self):
        lines = [f'global(workDirectory="{self.dir}/work" maxMessageSize="64k")']
        if self.tls:
            lines.append(f'global(defaultNetstreamDriverCAFile="{self.tls["ca"]}" '
                         f'defaultNetstreamDriverCertFile="{self.tls["cert"]}" '
                         f'defaultNetstreamDriverKeyFile="{self.tls["key"]}")')
            lines.append('module(load="imtcp" streamDriver.name="gtls" streamDriver.mode="1" '
                         'streamDriver.authMode="anon")')
        elif self.tcp_port:
            lines.append('module(load="imtcp")')
        if self.tcp_port:
            lines.append(f'input(type="imtcp" address="127.0.0.1" port="{self.tcp_port}")')
        if self.udp_port:
            lines.append('module(load="imudp")')
            lines.append(f'input(type="imudp" address="127.0.0.1" port="{self.udp_port}")')
        if self.unix_socket:
            lines.append('module(load="imuxsock" SysSock.Use="off")')
            lines.append(f'input(type="imuxsock" socket="{self.unix_socket}" createPath="on")')
        lines.append(TEMPLATE)
        lines.append(f'*.* action(type="omfile" file="{self.out}" template="fields")')
        with open(self.conf, "w") as fh:
            fh.write("\n".join(lines) + "\n")

    def start(self, timeout=30):
        log = open(self.log, "ab")
        self.proc = subprocess.Popen([RSYSLOGD, "-n", "-f", self.conf, "-i", self.pidfile], stdout=log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        log.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            assert self.proc.poll() is None, self.output()
            if self._listening():
                return self
            time.sleep(0.05)
        raise AssertionError("rsyslogd did not start listening:\n" + self.output())

    def _listening(self):
        if self.unix_socket and not os.path.exists(self.unix_socket):
            return False
        if self.tcp_port:
            try:
                socket.create_connection(("127.0.0.1", self.tcp_port), timeout=1).close()
            except OSError:
                return False
        if self.udp_port:
            # imudp binds before it reports ready; the port being taken is the sign.
            probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                probe.bind(("127.0.0.1", self.udp_port))
                return False
            except OSError:
                pass
            finally:
                probe.close()
        return True

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        self.proc = None

    def output(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as fh:
                return fh.read()[-3000:]
        except OSError:
            return ""

    def messages(self) -> list[dict]:
        """Every message received so far, with its JSON payload decoded under "record"."""
        try:
            with open(self.out, encoding="utf-8") as fh:
                lines = fh.read().splitlines()
        except FileNotFoundError:
            return []
        out = []
        for line in lines:
            if not line.strip():
                continue
            try:
                fields = json.loads(line)
            except ValueError:
                continue  # a line rsyslogd is still writing
            msg = fields.get("msg", "").strip()
            if fields.get("app") != "tessaly-agent":
                continue
            if not fields.get("msgid") or fields["msgid"] == "-":
                # The traditional format of the local socket: "<MSGID> <json>".
                fields["msgid"], _, msg = msg.partition(" ")
            fields["record"] = json.loads(msg)
            out.append(fields)
        return out
