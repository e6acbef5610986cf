"""The SFTP scenario: a big file on loopback and the WAN tree, against OpenSSH's sshd."""

import os
import pwd
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from .clients import Clients
from .common import BXFR, MiB, PY, REPO, WORK, run_text, say
from .data import make_tree, remove, sha256_of, tree_sizes, write_random_pair
from .results import machine_info
from .servers import DelayProxy, Server
from .sftp_report import sftp_report
from .timing import Bench


SFTP_USER = "bxfr-sftp-test"  # the account tools/install-deps makes
def sftp_password():
    """The test account's password, which tools/install-deps makes for each machine."""
    try:
        with open("/etc/bxfr-sftp-test.password") as f:
            return f.read().strip()
    except OSError:
        return ""


SFTP_PASSWORD = sftp_password()
SSH_NO_HOST_CHECK = ["-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null"]
# internal-sftp at DEBUG3 names every request once by the client's id, which clients may reuse,
# and each reply as "request N: sent ...". The sink puts the time it came before each message.
SFTP_REQUEST = re.compile(r"^([\d.]+) .*internal-sftp\[(\d+)\]: debug\d: request \d+: ([A-Za-z@.-]+)")
SFTP_MESSAGE = re.compile(r"^([\d.]+) .*internal-sftp\[(\d+)\]: ")
KEX = re.compile(r"kex: (algorithm|host key algorithm|client->server cipher): (\S+)(?: MAC: (\S+))?")


def hand_over(path):
    """Makes path (and what is under it) the SFTP account's, as the server's files must be."""
    account = pwd.getpwnam(SFTP_USER)
    os.chown(path, account.pw_uid, account.pw_gid)
    for folder, dirs, files in os.walk(path):
        for name in dirs + files:
            os.lchown(os.path.join(folder, name), account.pw_uid, account.pw_gid)


class SftpServer(Server):
    """OpenSSH's sshd as the tests start it (tests/support/sshd_server.py). With count=True its
    --syslog-sink takes internal-sftp's log of every request, so requests can be counted."""

    name = "sshd"
    user = SFTP_USER
    password = SFTP_PASSWORD

    def __init__(self, root, tmp, host_key, client_key, count, round_trip=0.0):
        self.root = root
        self.tmp = tmp
        self.host_key = host_key
        self.client_key = client_key
        self.log_path = os.path.join(tmp, "requests.log") if count else ""
        self.counting = False
        # A request that comes this long after the session's last message waited for a reply.
        self.wait_gap = round_trip / 2

    def version(self):
        return run_text(["ssh", "-V"]).split(",")[0].strip() + " sshd, internal-sftp"

    def start(self):
        os.makedirs(self.tmp, exist_ok=True)
        ready = os.path.join(self.tmp, "ready")
        cmd = [PY, os.path.join(REPO, "tests", "support", "sshd_server.py"), "--root", self.root,
               "--dir", self.tmp, "--ready-file", ready, "--host-key", self.host_key,
               "--authorized-key", self.client_key + ".pub"]
        if self.log_path:
            open(self.log_path, "w").close()
            cmd += ["--syslog-sink", self.log_path]
        out = os.path.join(self.tmp, "sshd_server.out")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=open(out, "w"),
                                     stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 15
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                with open(out) as f:
                    raise RuntimeError("sshd did not start: " + f.read().strip()[-300:])
            time.sleep(0.1)
        with open(ready) as f:
            self.port = int(f.read().strip())
        with open(os.path.join(self.tmp, "fingerprint")) as f:
            self.fingerprint = f.read().strip()
        self.probe()

    def probe(self):
        """One session with OpenSSH's sftp: the login works, and the requests reach the log."""
        batch = os.path.join(self.tmp, "probe.batch")
        with open(batch, "w") as f:
            f.write("ls\n")
        offset = self.log_offset()
        proc = subprocess.run(["sftp", "-q", "-b", batch, "-P", str(self.port), "-i", self.client_key] +
                              SSH_NO_HOST_CHECK + ["%s@127.0.0.1" % self.user],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        if proc.returncode != 0:
            raise RuntimeError("sftp could not log in: " + proc.stderr.strip()[-300:])
        if self.log_path:
            self.settle()
            self.counting = any("session opened" in line for line in self.log_since(offset))

    def settle(self):
        """Waits until the log holds every message sent so far: the sink writes a mark sent
        to its socket after all that came before it."""
        if not self.log_path:
            return
        try:
            with open(self.log_path + ".socket") as f:
                where = f.read().strip()
        except OSError:
            return time.sleep(0.2)
        mark = "bxfr-test-mark %d" % time.monotonic_ns()
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(mark.encode(), where)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                if mark in f.read():
                    return
            time.sleep(0.02)

    def log_offset(self):
        sshd_log = os.path.join(self.tmp, "sshd.log")
        return (super().log_offset() if self.log_path else 0,
                os.path.getsize(sshd_log) if os.path.exists(sshd_log) else 0)

    def log_since(self, offset):
        return super().log_since(offset[0]) if self.log_path else []

    @staticmethod
    def parse(lines):
        sessions, kinds = 0, {}
        for line in lines:
            if "session opened for local user" in line:
                sessions += 1
                continue
            m = SFTP_REQUEST.search(line)
            if m and m.group(3) != "sent":
                kinds[m.group(3)] = kinds.get(m.group(3), 0) + 1
        return sessions, kinds

    def describe(self, offset):
        """The algorithms the run's connections agreed on (sshd's log), and how often the
        server waited a round trip for the client's next request."""
        found = {}
        with open(os.path.join(self.tmp, "sshd.log"), encoding="utf-8", errors="replace") as f:
            f.seek(offset[1])
            for line in f:
                m = KEX.search(line)
                if m and m.group(1) not in found:
                    mac = m.group(3)
                    found[m.group(1)] = m.group(2) + (" + " + mac if mac and mac != "<implicit>" else "")
        algorithms = "%s, %s, %s" % (found.get("client->server cipher", "?"), found.get("algorithm", "?"),
                                     found.get("host key algorithm", "?"))
        waits = None
        if self.wait_gap and self.counting:
            waits, last = 0, {}
            for line in self.log_since(offset):
                m = SFTP_MESSAGE.match(line)
                if not m:
                    continue
                at, session = float(m.group(1)), m.group(2)
                r = SFTP_REQUEST.match(line)
                if r and r.group(3) != "sent" and session in last and at - last[session] >= self.wait_gap:
                    waits += 1
                last[session] = at
        return {"algorithms": algorithms, "waits": waits}


class SftpClients:
    """The same transfer by bxfr, OpenSSH's sftp, lftp and rclone against one SFTP server."""

    def __init__(self, server, jobs, host, port, client_key, known_hosts):
        self.server = server
        self.jobs = jobs
        self.host = host
        self.port = port
        self.key = client_key
        self.known_hosts = known_hosts
        self.count = 0
        self.obscured = run_text(["rclone", "obscure", server.password]) if shutil.which("rclone") else ""

    def job_file(self, suffix, text):
        self.count += 1
        path = os.path.join(self.jobs, "sftp%03d.%s" % (self.count, suffix))
        with open(path, "w", newline="") as f:
            f.write(text)
        return path

    def bxfr(self, remote, local, get, single, connections=None):
        lines = ["[BXFR]", "SERVER=" + self.host, "PORT=%d" % self.port, "USER=" + self.server.user,
                 "PASS=" + self.server.password, "PROTOCOL=sftp", "FINGERPRINT=" + self.server.fingerprint,
                 "SERVERPATH=" + remote, "LOCALPATH=" + local, "GET=%d" % (1 if get else 0),
                 "SINGLE=%d" % (1 if single else 0), "FORCEBIN=1"]
        path = self.job_file("bxt", "\r\n".join(lines) + "\r\n")
        return [BXFR, "-q"] + (["--connections", str(connections)] if connections else []) + [path]

    def sftp(self, command):
        batch = self.job_file("batch", command + "\n")
        return (["sftp", "-q", "-b", batch, "-P", str(self.port), "-i", self.key] + SSH_NO_HOST_CHECK +
                ["%s@%s" % (self.server.user, self.host)])

    def sftp_put(self, local, remote):
        return self.sftp("put %s %s" % (Clients.q(local), Clients.q(remote)))

    def sftp_get(self, remote, local):
        return self.sftp("get %s %s" % (Clients.q(remote), Clients.q(local)))

    def lftp(self, mirror, parallel):
        connect = "ssh -a -x %s -i %s" % (" ".join(SSH_NO_HOST_CHECK), self.key)
        script = ('set sftp:connect-program "%s"; set net:max-retries 1; set net:timeout 60; '
                  "set cmd:parallel %d; set mirror:parallel-transfer-count %d; %s; bye" %
                  (connect, parallel, parallel, mirror))
        # The empty password: the key logs in, and lftp asks for nothing.
        return ["lftp", "-e", script, "sftp://%s:@%s:%d" % (self.server.user, self.host, self.port)]

    def lftp_send(self, local, remote, parallel):
        return self.lftp("mirror -R --parallel=%d %s %s" % (parallel, Clients.q(local), Clients.q(remote)),
                         parallel)

    def lftp_get(self, remote, local, parallel):
        return self.lftp("mirror --parallel=%d %s %s" % (parallel, Clients.q(remote), Clients.q(local)),
                         parallel)

    def rclone_remote(self, path):
        return ":sftp,host=%s,port=%d,user=%s,pass=%s,known_hosts_file=%s:%s" % (
            self.host, self.port, self.server.user, self.obscured, self.known_hosts, path)

    def rclone(self, source, target, transfers):
        # The server runs nothing but SFTP: no shell for rclone's remote checksums.
        return ["rclone", "copy", "--transfers", str(transfers), "--checkers", str(transfers),
                "--sftp-disable-hashcheck", "--config", "/dev/null", "-q", source, target]

    def rclone_send(self, local, remote, transfers):
        return self.rclone(local, self.rclone_remote(remote), transfers)

    def rclone_get(self, remote, local, transfers):
        return self.rclone(self.rclone_remote(remote), local, transfers)


def sftp_big_file(bench, c, data, key="big", where="SFTP"):
    """A big file put and got by bxfr and by OpenSSH's sftp; every run's copy checked whole."""
    size, digest = data[key + "_size"], data[key + "_sha"]
    local_src, server_src = data[key + "_local"], data[key + "_server"]
    server_dst = os.path.join(data["srv"], "put", key + ".bin")
    local_dst = os.path.join(data["local"], "got", key + ".bin")

    def check(path):
        if not os.path.isfile(path) or os.path.getsize(path) != size:
            got = os.path.getsize(path) if os.path.isfile(path) else "none"
            return "%s has %s bytes, not %d" % (path, got, size)
        return None if sha256_of(path) == digest else "checksum of %s differs" % path

    def clear_put():
        remove(server_dst)
        os.makedirs(os.path.dirname(server_dst), exist_ok=True)
        hand_over(os.path.dirname(server_dst))

    def clear_get():
        remove(local_dst)
        os.makedirs(os.path.dirname(local_dst), exist_ok=True)

    mib = size // MiB
    bench.repeat("%s put %d MiB" % (where, mib), [
        ("bxfr", clear_put, lambda: c.bxfr(server_dst, local_src, get=False, single=True),
         lambda: check(server_dst), lambda: remove(server_dst)),
        ("sftp", clear_put, lambda: c.sftp_put(local_src, server_dst),
         lambda: check(server_dst), lambda: remove(server_dst)),
    ], warm_up=True)
    bench.repeat("%s get %d MiB" % (where, mib), [
        ("bxfr", clear_get, lambda: c.bxfr(server_src, local_dst, get=True, single=True),
         lambda: check(local_dst), lambda: remove(local_dst)),
        ("sftp", clear_get, lambda: c.sftp_get(server_src, local_dst),
         lambda: check(local_dst), lambda: remove(local_dst)),
    ], warm_up=True)


def sftp_wan(bench, c, data, nfiles):
    """The small-file tree through the delaying proxy, send and get, every tool on 1 and 4."""
    expected = data["wan_expected"]
    server_src = os.path.join(data["srv"], "src", "wan")
    server_dst = os.path.join(data["srv"], "put", "wan")
    local_src = os.path.join(data["local"], "wan")
    local_dst = os.path.join(data["local"], "got", "wan")

    def check(root):
        found = tree_sizes(root) if os.path.isdir(root) else {}
        return None if found == expected else "%s: %d of %d files as expected" % (
            root, sum(1 for k in expected if found.get(k) == expected[k]), len(expected))

    def clear_put():
        remove(server_dst)
        os.makedirs(os.path.dirname(server_dst), exist_ok=True)
        hand_over(os.path.dirname(server_dst))

    def clear_get():
        remove(local_dst)
        os.makedirs(os.path.dirname(local_dst), exist_ok=True)

    sends, gets = [], []
    for n in (4, 1):
        sends.append(("bxfr-%d" % n, lambda n=n: c.bxfr(server_dst, local_src, get=False, single=False,
                                                         connections=n)))
        gets.append(("bxfr-%d" % n, lambda n=n: c.bxfr(server_src, local_dst, get=True, single=False,
                                                        connections=n)))
        sends.append(("lftp-%d" % n, lambda n=n: c.lftp_send(local_src, server_dst, n)))
        gets.append(("lftp-%d" % n, lambda n=n: c.lftp_get(server_src, local_dst, n)))
        if shutil.which("rclone"):
            sends.append(("rclone-%d" % n, lambda n=n: c.rclone_send(local_src, server_dst, n)))
            gets.append(("rclone-%d" % n, lambda n=n: c.rclone_get(server_src, local_dst, n)))
    bench.repeat("SFTP WAN send %d files" % nfiles,
                 [(name, clear_put, cmd, lambda: check(server_dst), lambda: remove(server_dst))
                  for name, cmd in sends])
    bench.repeat("SFTP WAN get %d files" % nfiles,
                 [(name, clear_get, cmd, lambda: check(local_dst), lambda: remove(local_dst))
                  for name, cmd in gets])


def sftp_main(args, versions, notes, started):
    missing = [t for t in ("sftp", "ssh", "ssh-keygen", "lftp") if not shutil.which(t)]
    missing += [p for p in ("/usr/sbin/sshd",) if not os.access(p, os.X_OK)]
    if missing:
        sys.exit("bench/run: missing %s; run tools/install-deps" % ", ".join(missing))
    try:
        pwd.getpwnam(SFTP_USER)
    except KeyError:
        sys.exit("bench/run: no account %s; run tools/install-deps" % SFTP_USER)
    if os.geteuid() != 0:
        sys.exit("bench/run: the SFTP cases start sshd, which needs root")
    if not shutil.which("rclone"):
        notes.append("rclone is not installed: its rows are missing")
    sizes = {"sftp_big": (256 if args.quick else 1024) * MiB, "wan_files": 60 if args.quick else 200,
             "sftp_wan_big": (16 if args.quick else 64) * MiB}
    versions["openssh"] = run_text(["ssh", "-V"]).split(",")[0].strip()
    # bxfr's SSH library: libssh of its own, or libssh2 under libcurl before it.
    linked = run_text(["ldd", BXFR])
    versions["ssh_library"] = (
        "libssh " + run_text(["dpkg-query", "-W", "-f", "${Version}", "libssh-4"]) if "libssh.so" in linked else
        "libcurl with " + (re.findall(r"libssh2?/[\w.]+", run_text(["curl", "--version"])) or ["?"])[0])

    data_dir = os.path.join(WORK, "data")
    remove(data_dir)
    tmp = tempfile.mkdtemp(prefix="bxfr-bench-sftp-")
    os.chmod(tmp, 0o755)
    srv = os.path.join(data_dir, "srv")
    local = os.path.join(data_dir, "local")
    jobs = os.path.join(data_dir, "jobs")
    for p in (os.path.join(srv, "src"), os.path.join(srv, "put"), local, jobs):
        os.makedirs(p)
    os.chmod(data_dir, 0o755)
    client_key = os.path.join(tmp, "client_key")
    host_key = os.path.join(tmp, "host_key")
    for key, comment in ((client_key, "bxfr-bench"), (host_key, "bxfr-bench-host")):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", comment, "-f", key], check=True)

    servers, proxy = [], None
    try:
        say("Making test data ...")
        data = {"srv": srv, "local": local, "big_size": sizes["sftp_big"],
                "big_local": os.path.join(local, "big.bin"), "big_server": os.path.join(srv, "src", "big.bin")}
        data["big_sha"] = write_random_pair([data["big_local"], data["big_server"]], sizes["sftp_big"])
        data["wan_big_size"] = sizes["sftp_wan_big"]
        data["wan_big_local"] = os.path.join(local, "wan_big.bin")
        data["wan_big_server"] = os.path.join(srv, "src", "wan_big.bin")
        data["wan_big_sha"] = write_random_pair([data["wan_big_local"], data["wan_big_server"]],
                                                sizes["sftp_wan_big"])
        data["wan_expected"] = make_tree([os.path.join(local, "wan"), os.path.join(srv, "src", "wan")],
                                         10, sizes["wan_files"] // 10, 4096, "w%05d.dat")
        with open(host_key + ".pub") as f:
            public = " ".join(f.read().split()[:2])

        # The big file through an sshd that logs no requests, so that logging costs neither client.
        quiet = SftpServer(srv, os.path.join(tmp, "sshd-big"), host_key, client_key, count=False)
        servers.append(quiet)
        quiet.start()
        versions["server"] = quiet.version()
        say("SFTP server: %s on 127.0.0.1:%d (user %s, host key %s)" % (
            versions["server"], quiet.port, quiet.user, quiet.fingerprint))
        bench = Bench(args, quiet, None, data)
        known_hosts = os.path.join(tmp, "known_hosts")
        say("Measuring (%d timed runs each, after one warm-up) ..." % args.runs)
        c = SftpClients(quiet, jobs, "127.0.0.1", quiet.port, client_key, known_hosts)
        sftp_big_file(bench, c, data)
        quiet.stop()
        remove(data["big_local"])
        remove(data["big_server"])

        counted = SftpServer(srv, os.path.join(tmp, "sshd-wan"), host_key, client_key, count=True,
                             round_trip=0.020)
        servers.append(counted)
        counted.start()
        if not counted.counting:
            notes.append("SFTP requests were not counted: the sshd's --syslog-sink got no messages "
                         "(does a syslog daemon own /dev/log?); see its output in the run's folder")
        proxy = DelayProxy(counted.port, tmp, 10, raw=True)
        with open(known_hosts, "w") as f:
            f.write("[127.0.0.2]:%d %s\n[127.0.0.1]:%d %s\n" % (proxy.port, public, counted.port, public))
        say("WAN scenario: 10 ms each way through tests/support/fault_proxy.py --raw on 127.0.0.2 ...")
        bench.server = counted
        wan = SftpClients(counted, jobs, "127.0.0.2", proxy.port, client_key, known_hosts)
        sftp_wan(bench, wan, data, sizes["wan_files"])
        sftp_big_file(bench, wan, data, key="wan_big", where="SFTP WAN")

        sftp_report(bench, machine_info(), versions, notes, sizes, started, counted.counting)
        return 1 if bench.failures else 0
    finally:
        if proxy:
            proxy.stop()
        for server in servers:
            server.stop()
        shutil.rmtree(tmp, ignore_errors=True)
        if not args.keep:
            remove(data_dir)
        remove(os.path.join(WORK, "time.txt"))
