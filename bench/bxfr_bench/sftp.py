#!/usr/bin/python3
"""Benchmarks bxfr against curl and lftp on a local FTP server and writes bench/results.md.

Usage: bench/run [--quick] [--wan | --tls-only | --sftp-only] [--runs N] [--server auto|vsftpd|pyftpdlib]
                 [--keep] [--output FILE]

Builds bxfr in build-bench/, starts vsftpd (or, where it cannot run, the pyftpdlib server of
the tests) on 127.0.0.1, and times each client on the same server, medians of N runs.
Every run is checked (sizes, and a checksum of the big file) before its time counts.

The WAN scenario (--wan alone, and part of the full run) puts our own delaying proxy
(tests/support/fault_proxy.py) on 127.0.0.2 in front of the server, 10 ms each way on the
control and every data connection: the kernels of these machines have no netem, so the delay
is added in user space. It compares bxfr with lftp mirror and rclone copy on 1 and 4 connections.

--sftp-only measures SFTP against OpenSSH's sshd of the tests (tests/support/sshd_server.py): a big
file against OpenSSH's sftp on loopback, and the WAN tree through the same proxy relaying SSH
unread, against lftp and rclone, with the SFTP requests per file counted from the server's log.
"""

import argparse
import datetime
import hashlib
import os
import platform
import pwd
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from ftplib import FTP

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(REPO, "bench")
WORK = os.path.join(BENCH, "work")
BUILD = os.path.join(REPO, "build-bench")
BXFR = os.path.join(BUILD, "src", "app", "bxfr")
PY = "/usr/bin/python3"
TIME = "/usr/bin/time"
MiB = 1024 * 1024
TRANSFER_TIMEOUT = 600


def say(text=""):
    print(text, flush=True)


def run_text(cmd, **kw):
    try:
        out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             timeout=30, **kw)
        return out.stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return ""


# ---------------------------------------------------------------- build

def build():
    base = ["cmake", "-S", REPO, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
            "-DBXFR_BUILD_GUI=OFF", "-DBXFR_BUILD_TESTS=OFF"]
    make = ["cmake", "--build", BUILD, "--target", "bxfr"]
    log = os.path.join(WORK, "build.log")

    def attempt(extra):
        with open(log, "w") as out:
            for cmd in (base + extra, make):
                if subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT).returncode != 0:
                    return False
        return True

    say("Building bxfr (Release) in build-bench/ ...")
    if attempt([]):
        return None
    sys.exit("bench/run: bxfr does not build; see " + log)


# ---------------------------------------------------------------- servers

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    name = ""
    user = ""
    password = ""
    proc = None
    log_path = ""
    cert_path = None  # set when the server speaks FTP over TLS
    fingerprint = ""
    tls_problem = "the pyftpdlib server of the benchmark speaks plain FTP only"

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def log_offset(self):
        try:
            return os.path.getsize(self.log_path)
        except OSError:
            return 0

    def log_since(self, offset):
        with open(self.log_path, "r", encoding="utf-8", errors="replace") as f:
            f.seek(offset)
            return f.read().splitlines()

    def probe(self):
        """A login, a folder made, a file stored and read back: the server can do the benchmark."""
        ftp = FTP()
        ftp.connect("127.0.0.1", self.port, timeout=10)
        ftp.login(self.user, self.password)
        ftp.mkd("/pub/probe")
        import io
        ftp.storbinary("STOR /pub/probe/p.txt", io.BytesIO(b"probe\n"))
        got = bytearray()
        ftp.retrbinary("RETR /pub/probe/p.txt", got.extend)
        ftp.quit()
        shutil.rmtree(os.path.join(self.root, "pub", "probe"), ignore_errors=True)
        if bytes(got) != b"probe\n":
            raise RuntimeError("read back wrong bytes")


class Vsftpd(Server):
    """Standalone vsftpd with write-enabled anonymous access under its own config."""

    name = "vsftpd"
    user = "anonymous"
    password = "bench@"

    def __init__(self, root, tmp):
        self.root = root
        self.tmp = tmp
        self.log_path = os.path.join(tmp, "vsftpd.log")

    def version(self):
        # vsftpd -v writes to its standard input.
        text = run_text(["sh", "-c", "vsftpd -v 0>&1"])
        return text.replace("vsftpd: version", "vsftpd").strip() or "vsftpd"

    def start(self):
        exe = shutil.which("vsftpd") or ("/usr/sbin/vsftpd" if os.path.exists("/usr/sbin/vsftpd") else None)
        if not exe:
            raise RuntimeError("vsftpd is not installed")
        if os.geteuid() != 0:
            raise RuntimeError("vsftpd needs root for its anonymous chroot")
        ftp_user = pwd.getpwnam("ftp")
        # vsftpd refuses a writable anonymous root: the root is root's, pub/ is the ftp user's.
        os.chmod(self.root, 0o755)
        pub = os.path.join(self.root, "pub")
        os.chown(pub, ftp_user.pw_uid, ftp_user.pw_gid)
        empty = os.path.join(self.tmp, "empty")
        os.makedirs(empty, exist_ok=True)
        os.chmod(empty, 0o755)
        self.port = free_port()
        conf = os.path.join(self.tmp, "vsftpd.conf")
        settings = {
            "listen": "YES", "listen_ipv6": "NO", "listen_address": "127.0.0.1",
            "listen_port": str(self.port), "background": "NO",
            "anonymous_enable": "YES", "local_enable": "NO", "no_anon_password": "YES",
            "write_enable": "YES", "anon_upload_enable": "YES", "anon_mkdir_write_enable": "YES",
            "anon_other_write_enable": "YES", "anon_world_readable_only": "NO", "anon_umask": "022",
            "anon_root": self.root, "ftp_username": "ftp", "nopriv_user": "ftp",
            "pasv_enable": "YES", "pasv_address": "127.0.0.1", "connect_from_port_20": "NO",
            "max_clients": "0", "max_per_ip": "0",
            "delay_failed_login": "0", "delay_successful_login": "0",
            # Containers often forbid the namespaces and seccomp filters vsftpd sets up.
            "seccomp_sandbox": "NO", "isolate": "NO", "isolate_network": "NO",
            "secure_chroot_dir": empty,
            "xferlog_enable": "YES", "xferlog_std_format": "NO", "log_ftp_protocol": "YES",
            "vsftpd_log_file": self.log_path, "dual_log_enable": "NO", "syslog_enable": "NO",
        }
        # FTP over TLS for the clients that ask for it, with vsftpd's insistence that data
        # connections resume the control connection's session; plain FTP stays as it was.
        try:
            self.cert_path, self.fingerprint = make_certificate(self.tmp)
            settings.update({
                "ssl_enable": "YES", "allow_anon_ssl": "YES", "force_anon_logins_ssl": "NO",
                "force_anon_data_ssl": "NO", "require_ssl_reuse": "YES", "ssl_ciphers": "HIGH",
                "ssl_sslv2": "NO", "ssl_sslv3": "NO", "ssl_tlsv1": "YES",
                "rsa_cert_file": self.cert_path, "rsa_private_key_file": self.cert_path,
            })
        except ImportError as error:
            self.tls_problem = "no certificate could be made (%s); run tools/install-deps" % error
        with open(conf, "w") as f:
            f.writelines("%s=%s\n" % kv for kv in settings.items())
        os.chmod(conf, 0o600)  # vsftpd wants its config owned by root
        self.proc = subprocess.Popen([exe, conf], stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(self.tmp, "vsftpd.out"), "w"),
                                     stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while True:
            if self.proc.poll() is not None:
                with open(os.path.join(self.tmp, "vsftpd.out")) as f:
                    raise RuntimeError("vsftpd ended at start: " + f.read().strip()[:200])
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=2) as s:
                    if s.recv(100).startswith(b"220"):
                        break
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("vsftpd did not answer")
            time.sleep(0.1)
        self.probe()

    @staticmethod
    def parse(lines):
        logins, verbs = 0, {}
        for line in lines:
            if "OK LOGIN:" in line:
                logins += 1
                continue
            m = re.search(r'FTP command: Client "[^"]*", "([A-Za-z]+)', line)
            if m:
                verb = m.group(1).upper()
                verbs[verb] = verbs.get(verb, 0) + 1
        return logins, verbs


class Pyftpdlib(Server):
    """The tests' pyftpdlib server (tests/support/ftp_server.py)."""

    name = "pyftpdlib"
    user = "bench"
    password = "bench"

    def __init__(self, root, tmp):
        self.root = root
        self.tmp = tmp
        self.log_path = os.path.join(tmp, "commands.log")

    def version(self):
        v = run_text([PY, "-c", "import pyftpdlib; print(pyftpdlib.__ver__)"])
        return "pyftpdlib " + (v.splitlines()[-1] if v else "?") + " (tests/support/ftp_server.py)"

    def start(self):
        ready = os.path.join(self.tmp, "ready")
        open(self.log_path, "w").close()
        self.proc = subprocess.Popen(
            [PY, os.path.join(REPO, "tests", "support", "ftp_server.py"), "--root", self.root,
             "--user", self.user, "--password", self.password, "--ready-file", ready,
             "--command-log", self.log_path],
            stdin=subprocess.DEVNULL, stdout=open(os.path.join(self.tmp, "pyftpdlib.out"), "w"),
            stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 15
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("pyftpdlib server did not start; see " + self.tmp)
            time.sleep(0.1)
        with open(ready) as f:
            self.port = int(f.read().strip())
        self.probe()

    @staticmethod
    def parse(lines):
        logins, verbs = 0, {}
        for line in lines:
            if line.startswith("LOGIN "):
                logins += 1
                continue
            word = line.split(" ", 1)[0].upper()
            if word.isalpha():
                verbs[word] = verbs.get(word, 0) + 1
        return logins, verbs


def make_certificate(folder):
    """A self-signed certificate for 127.0.0.1, as the tests make it; (PEM path, fingerprint)."""
    sys.path.insert(0, os.path.join(REPO, "tests", "support"))
    import ftp_server  # noqa: E402 - the tests' server script holds the certificate maker
    pem = ftp_server.make_certificate(argparse.Namespace(cert_dir=folder, cert_name="127.0.0.1",
                                                         cert_expired=False))
    os.chmod(pem, 0o600)
    with open(os.path.join(folder, "fingerprint")) as f:
        return pem, f.read().strip()


# ---------------------------------------------------------------- data

def write_random_pair(paths, size):
    digest = hashlib.sha256()
    outs = [open(p, "wb") for p in paths]
    left = size
    while left:
        block = os.urandom(min(left, 16 * MiB))
        digest.update(block)
        for out in outs:
            out.write(block)
        left -= len(block)
    for out in outs:
        out.close()
    return digest.hexdigest()


def make_tree(roots, folders, per_folder, size, name_fmt):
    """The same tree of random files under each root; returns {relative path: size}."""
    expected = {}
    for d in range(folders):
        for f in range(per_folder):
            rel = os.path.join("d%03d" % d, name_fmt % (d * per_folder + f))
            data = os.urandom(size)
            for root in roots:
                os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
                with open(os.path.join(root, rel), "wb") as out:
                    out.write(data)
            expected[rel] = size
    return expected


def tree_sizes(root):
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = os.path.getsize(path)
    return found


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(16 * MiB)
            if not block:
                return digest.hexdigest()
            digest.update(block)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.unlink(path)


# ---------------------------------------------------------------- clients

class Clients:
    def __init__(self, server, jobs, host="127.0.0.1", port=None):
        self.server = server
        self.jobs = jobs
        self.count = 0
        self.host = host
        self.port = port or server.port

    def bxfr(self, remote, local, get, single, connections=None, tls=False):
        self.count += 1
        path = os.path.join(self.jobs, "job%03d.bxt" % self.count)
        extra = ["CONNECTIONS=%d" % connections] if connections else []
        lines = ["[BXFR]", "SERVER=" + self.host, "PORT=%d" % self.port,
                 "USER=" + self.server.user, "PASS=" + self.server.password, "PASSIVE=1",
                 "SERVERPATH=" + remote, "LOCALPATH=" + local, "GET=%d" % (1 if get else 0),
                 "SINGLE=%d" % (1 if single else 0), "FORCEBIN=1"] + extra
        if tls:
            lines += ["PROTOCOL=ftpes", "FINGERPRINT=" + self.server.fingerprint]
        with open(path, "w", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")
        return [BXFR, "-q", path]

    def url(self, remote):
        return "ftp://%s:%d%s" % (self.host, self.port, remote)

    def curl_tls(self, tls):
        return ["--ssl-reqd", "--cacert", self.server.cert_path] if tls else []

    def curl_send(self, local, remote, tls=False):
        return (["curl", "-sS", "-u", "%s:%s" % (self.server.user, self.server.password)] +
                self.curl_tls(tls) + ["--ftp-create-dirs", "-T", local, self.url(remote)])

    def curl_get(self, remote, local, tls=False):
        return (["curl", "-sS", "-u", "%s:%s" % (self.server.user, self.server.password)] +
                self.curl_tls(tls) + ["-o", local, self.url(remote)])

    def lftp(self, mirror, parallel=1):
        script = ("set ftp:ssl-allow no; set net:max-retries 1; set net:timeout 60; "
                  "set cmd:parallel %d; set mirror:parallel-transfer-count %d; %s; bye" % (parallel, parallel, mirror))
        return ["lftp", "-u", "%s,%s" % (self.server.user, self.server.password),
                "-p", str(self.port), "-e", script, self.host]

    @staticmethod
    def q(path):
        return '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'

    def lftp_send(self, local, remote, parallel=1):
        return self.lftp("mirror -R --parallel=%d %s %s" % (parallel, self.q(local), self.q(remote)), parallel)

    def lftp_get(self, remote, local, parallel=1):
        return self.lftp("mirror --parallel=%d %s %s" % (parallel, self.q(remote), self.q(local)), parallel)

    def rclone_remote(self, path):
        if not hasattr(self, "_obscured"):
            self._obscured = run_text(["rclone", "obscure", self.server.password])
        return ":ftp,host=%s,port=%d,user=%s,pass=%s:%s" % (self.host, self.port, self.server.user,
                                                           self._obscured, path)

    def rclone(self, source, target, transfers):
        return ["rclone", "copy", "--transfers", str(transfers), "--checkers", str(max(transfers, 1)),
                "--config", "/dev/null", "-q", source, target]

    def rclone_send(self, local, remote, transfers):
        return self.rclone(local, self.rclone_remote(remote), transfers)

    def rclone_get(self, remote, local, transfers):
        return self.rclone(self.rclone_remote(remote), local, transfers)


def timed(cmd, rss_file):
    """Runs cmd under /usr/bin/time -v; returns (exit code, seconds, peak RSS KiB, CPU seconds
    (user + system), output)."""
    start = time.monotonic()
    try:
        proc = subprocess.run([TIME, "-v", "-o", rss_file] + cmd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=TRANSFER_TIMEOUT)
        code, out = proc.returncode, proc.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired:
        code, out = -1, "timed out after %d s" % TRANSFER_TIMEOUT
    seconds = time.monotonic() - start
    rss = cpu = None
    try:
        with open(rss_file) as f:
            report = f.read()
        m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", report)
        rss = int(m.group(1)) if m else None
        user = re.search(r"User time \(seconds\): ([\d.]+)", report)
        system = re.search(r"System time \(seconds\): ([\d.]+)", report)
        cpu = float(user.group(1)) + float(system.group(1)) if user and system else None
    except OSError:
        pass
    return code, seconds, rss, cpu, out


# ---------------------------------------------------------------- benchmark

class Bench:
    def __init__(self, args, server, clients, data):
        self.args = args
        self.server = server
        self.clients = clients
        self.data = data
        self.results = {}   # (test, tool) -> list of dicts
        self.failures = []

    def case(self, test, tool, prepare, command, verify, cleanup, warm=False):
        prepare()
        os.sync()  # earlier writes must not be flushed during this run
        offset = self.server.log_offset()
        code, seconds, rss, cpu, out = timed(command(), os.path.join(WORK, "time.txt"))
        time.sleep(0.2)  # the server logs the last replies after the client is gone
        logins, verbs = self.server.parse(self.server.log_since(offset))
        problem = "exit %d: %s" % (code, out.strip()[-300:]) if code != 0 else verify()
        cleanup()
        label = "warm-up" if warm else "run"
        if problem:
            self.failures.append("%s, %s (%s): %s" % (test, tool, label, problem))
            say("    %-5s %-8s FAILED: %s" % (tool, label, problem))
            return
        say("    %-5s %-8s %7.2f s  peak RSS %6.1f MiB  logins %d  commands %d" %
            (tool, label, seconds, (rss or 0) / 1024, logins, sum(verbs.values())))
        if not warm:
            self.results.setdefault((test, tool), []).append(
                {"seconds": seconds, "rss": rss, "cpu": cpu, "logins": logins, "verbs": verbs})

    def repeat(self, test, cases, warm_up=False):
        """cases: [(tool, prepare, command, verify, cleanup)]; the order of the tools turns
        each run so neither always goes first."""
        say("  " + test)
        first = 0 if warm_up else 1
        for n in range(first, self.args.runs + 1):
            order = cases if n % 2 == 0 else list(reversed(cases))
            for tool, prepare, command, verify, cleanup in order:
                self.case(test, tool, prepare, command, verify, cleanup, warm=(n == 0))

    # each test -----------------------------------------------------------

    def big_file(self, key="big", tls=False):
        d = self.data
        size, digest = d[key + "_size"], d[key + "_sha"]
        local_src, remote_src = d[key + "_local"], d[key + "_remote"]
        remote_dst = "/pub/put/big.bin"
        server_dst = os.path.join(d["srv"], "pub", "put", "big.bin")
        local_dst = os.path.join(d["local"], "got", "big.bin")
        checked = set()

        def check(path, tool, name):
            if not os.path.isfile(path) or os.path.getsize(path) != size:
                got = os.path.getsize(path) if os.path.isfile(path) else "none"
                return "%s has %s bytes, not %d" % (path, got, size)
            if (tool, name) not in checked:
                checked.add((tool, name))
                if sha256_of(path) != digest:
                    return "checksum of %s differs" % path
            return None

        def clear_put():
            remove(server_dst)
            os.makedirs(os.path.dirname(server_dst), exist_ok=True)
            if isinstance(self.server, Vsftpd):
                u = pwd.getpwnam("ftp")
                os.chown(os.path.dirname(server_dst), u.pw_uid, u.pw_gid)

        def clear_get():
            remove(local_dst)
            os.makedirs(os.path.dirname(local_dst), exist_ok=True)

        c = self.clients
        mib = size // MiB
        label = " over TLS" if tls else ""
        self.repeat("send %d MiB%s" % (mib, label), [
            ("bxfr", clear_put, lambda: c.bxfr(remote_dst, local_src, get=False, single=True, tls=tls),
             lambda: check(server_dst, "bxfr", "send"), lambda: remove(server_dst)),
            ("curl", clear_put, lambda: c.curl_send(local_src, remote_dst, tls=tls),
             lambda: check(server_dst, "curl", "send"), lambda: remove(server_dst)),
        ], warm_up=True)
        self.repeat("get %d MiB%s" % (mib, label), [
            ("bxfr", clear_get, lambda: c.bxfr(remote_src, local_dst, get=True, single=True, tls=tls),
             lambda: check(local_dst, "bxfr", "get"), lambda: remove(local_dst)),
            ("curl", clear_get, lambda: c.curl_get(remote_src, local_dst, tls=tls),
             lambda: check(local_dst, "curl", "get"), lambda: remove(local_dst)),
        ], warm_up=True)

    def tree_test(self, test_send, test_get, key, with_send):
        d = self.data
        expected = d[key + "_expected"]
        remote_src = "/pub/src/" + key
        remote_dst = "/pub/put/" + key
        server_dst = os.path.join(d["srv"], "pub", "put", key)
        local_src = os.path.join(d["local"], key)
        local_dst = os.path.join(d["local"], "got", key)

        def check(root):
            found = tree_sizes(root) if os.path.isdir(root) else {}
            if found == expected:
                return None
            missing = len(set(expected) - set(found))
            wrong = sum(1 for k in expected if k in found and found[k] != expected[k])
            extra = len(set(found) - set(expected))
            return "%s: %d of %d files missing, %d of wrong size, %d unexpected" % (
                root, missing, len(expected), wrong, extra)

        def clear_put():
            remove(server_dst)
            os.makedirs(os.path.dirname(server_dst), exist_ok=True)

        def clear_get():
            remove(local_dst)
            os.makedirs(os.path.dirname(local_dst), exist_ok=True)

        c = self.clients
        if with_send:
            self.repeat(test_send, [
                ("bxfr", clear_put, lambda: c.bxfr(remote_dst, local_src, get=False, single=False),
                 lambda: check(server_dst), lambda: remove(server_dst)),
                ("lftp", clear_put, lambda: c.lftp_send(local_src, remote_dst),
                 lambda: check(server_dst), lambda: remove(server_dst)),
            ])
        self.repeat(test_get, [
            ("bxfr", clear_get, lambda: c.bxfr(remote_src, local_dst, get=True, single=False),
             lambda: check(local_dst), lambda: remove(local_dst)),
            ("lftp", clear_get, lambda: c.lftp_get(remote_src, local_dst),
             lambda: check(local_dst), lambda: remove(local_dst)),
        ])


    def wan_test(self, clients, key, nfiles):
        """The small-file tree through the delaying proxy, send and get, every tool."""
        d = self.data
        expected = d[key + "_expected"]
        remote_src = "/pub/src/" + key
        remote_dst = "/pub/put/" + key
        server_dst = os.path.join(d["srv"], "pub", "put", key)
        local_src = os.path.join(d["local"], key)
        local_dst = os.path.join(d["local"], "got", key)

        def check(root):
            found = tree_sizes(root) if os.path.isdir(root) else {}
            return None if found == expected else "%s: %d of %d files as expected" % (
                root, sum(1 for k in expected if found.get(k) == expected[k]), len(expected))

        def clear_put():
            remove(server_dst)
            os.makedirs(os.path.dirname(server_dst), exist_ok=True)
            if isinstance(self.server, Vsftpd):
                u = pwd.getpwnam("ftp")
                os.chown(os.path.dirname(server_dst), u.pw_uid, u.pw_gid)

        def clear_get():
            remove(local_dst)
            os.makedirs(os.path.dirname(local_dst), exist_ok=True)

        c = clients
        tools = [("bxfr", None), ("bxfr-1", 1)]
        sends = [(name, lambda n=n: c.bxfr(remote_dst, local_src, get=False, single=False, connections=n))
                 for name, n in tools]
        gets = [(name, lambda n=n: c.bxfr(remote_src, local_dst, get=True, single=False, connections=n))
                for name, n in tools]
        for n in (1, 4):
            sends.append(("lftp-%d" % n, lambda n=n: c.lftp_send(local_src, remote_dst, n)))
            gets.append(("lftp-%d" % n, lambda n=n: c.lftp_get(remote_src, local_dst, n)))
            if shutil.which("rclone"):
                sends.append(("rclone-%d" % n, lambda n=n: c.rclone_send(local_src, remote_dst, n)))
                gets.append(("rclone-%d" % n, lambda n=n: c.rclone_get(remote_src, local_dst, n)))
        self.repeat("WAN send %d files" % nfiles,
                    [(name, clear_put, cmd, lambda: check(server_dst), lambda: remove(server_dst))
                     for name, cmd in sends])
        self.repeat("WAN get %d files" % nfiles,
                    [(name, clear_get, cmd, lambda: check(local_dst), lambda: remove(local_dst))
                     for name, cmd in gets])


class DelayProxy:
    """tests/support/fault_proxy.py on 127.0.0.2, delaying every chunk both ways."""

    def __init__(self, target_port, tmp, delay_ms, raw=False):
        ready = os.path.join(tmp, "proxy.ready")
        remove(ready)
        self.proc = subprocess.Popen(
            [PY, os.path.join(REPO, "tests", "support", "fault_proxy.py"), "--listen-host", "127.0.0.2",
             "--target-port", str(target_port), "--delay-ms", str(delay_ms), "--ready-file", ready] +
            (["--raw"] if raw else []),
            stdin=subprocess.DEVNULL, stdout=open(os.path.join(tmp, "proxy.out"), "w"),
            stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 15
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the delaying proxy did not start; see " + tmp)
            time.sleep(0.1)
        with open(ready) as f:
            self.port = int(f.read().strip())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# ---------------------------------------------------------------- SFTP

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
# internal-sftp at DEBUG3 names every request by the client's id, some twice (asked, then answered).
SFTP_REQUEST = re.compile(r"internal-sftp\[(\d+)\]: debug\d: request (\d+): ([A-Za-z@.-]+)")


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

    def __init__(self, root, tmp, host_key, client_key, count):
        self.root = root
        self.tmp = tmp
        self.host_key = host_key
        self.client_key = client_key
        self.log_path = os.path.join(tmp, "requests.log") if count else ""
        self.counting = False

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
            time.sleep(0.2)
            self.counting = any("session opened" in line for line in self.log_since(offset))

    def log_offset(self):
        return super().log_offset() if self.log_path else 0

    def log_since(self, offset):
        return super().log_since(offset) if self.log_path else []

    @staticmethod
    def parse(lines):
        sessions, requests = 0, {}
        for line in lines:
            if "session opened for local user" in line:
                sessions += 1
                continue
            m = SFTP_REQUEST.search(line)
            if m and m.group(3) != "sent":
                requests.setdefault((m.group(1), m.group(2)), m.group(3))
        kinds = {}
        for kind in requests.values():
            kinds[kind] = kinds.get(kind, 0) + 1
        return sessions, kinds


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


def sftp_big_file(bench, c, data):
    """The big file put and got by bxfr and by OpenSSH's sftp; every run's copy checked whole."""
    size, digest = data["big_size"], data["big_sha"]
    local_src, server_src = data["big_local"], data["big_server"]
    server_dst = os.path.join(data["srv"], "put", "big.bin")
    local_dst = os.path.join(data["local"], "got", "big.bin")

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
    bench.repeat("SFTP put %d MiB" % mib, [
        ("bxfr", clear_put, lambda: c.bxfr(server_dst, local_src, get=False, single=True),
         lambda: check(server_dst), lambda: remove(server_dst)),
        ("sftp", clear_put, lambda: c.sftp_put(local_src, server_dst),
         lambda: check(server_dst), lambda: remove(server_dst)),
    ], warm_up=True)
    bench.repeat("SFTP get %d MiB" % mib, [
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


SFTP_KINDS = ("open", "close", "read", "write", "opendir", "readdir", "mkdir", "stat", "lstat", "fstat",
              "setstat", "fsetstat", "realpath", "rename", "posix-rename", "remove", "limits")


def sftp_kind_summary(kinds, nfiles):
    parts = ["%s %.2f" % (k, kinds[k] / nfiles) for k in SFTP_KINDS if kinds.get(k)]
    parts += ["%s %.2f" % (k, v / nfiles) for k, v in sorted(kinds.items()) if k not in SFTP_KINDS]
    return ", ".join(parts)


def md_table(head, rows):
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"

    return [line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + [line(r) for r in rows]


def sftp_report(bench, info, versions, notes, sizes, started, counting):
    R = bench.results
    mib = sizes["sftp_big"] // MiB
    nfiles = sizes["wan_files"]

    def sec(test, tool):
        return median([r["seconds"] for r in R.get((test, tool), [])])

    def rss(test, tool):
        v = [r["rss"] for r in R.get((test, tool), []) if r["rss"] is not None]
        return max(v) / 1024 if v else None

    def rate(test, tool):
        s = sec(test, tool)
        return None if not s else mib / s

    rows = []
    for test, what in (("SFTP put %d MiB" % mib, "put"), ("SFTP get %d MiB" % mib, "get")):
        a, b = rate(test, "bxfr"), rate(test, "sftp")
        rows.append(("%d MiB file, %s" % (mib, what), fmt(a), fmt(b), ratio(a, b),
                     fmt(rss(test, "bxfr")), fmt(rss(test, "sftp"))))
    big = md_table(("Test", "bxfr MiB/s", "sftp MiB/s", "bxfr / sftp", "bxfr peak RSS MiB",
                    "sftp peak RSS MiB"), rows)

    send, get = "SFTP WAN send %d files" % nfiles, "SFTP WAN get %d files" % nfiles
    tools = sorted({tool for (test, tool) in R if test in (send, get)},
                   key=lambda name: (not name.startswith("bxfr"), name))

    def per_file(test, tool):
        v = [sum(r["verbs"].values()) for r in R.get((test, tool), [])]
        return median(v) / nfiles if v and counting else None

    def sessions(test, tool):
        v = [r["logins"] for r in R.get((test, tool), [])]
        return fmt(max(v), 0) if v and counting else "n/a"

    def cpu(test, tool):
        v = [r["cpu"] for r in R.get((test, tool), []) if r.get("cpu") is not None]
        return fmt(median(v), 2) if v else "n/a"

    wan_rows = [(tool, fmt(sec(send, tool), 2), fmt(sec(get, tool), 2), fmt(per_file(send, tool), 2),
                 fmt(per_file(get, tool), 2), "%s/%s" % (sessions(send, tool), sessions(get, tool)),
                 "%s/%s" % (cpu(send, tool), cpu(get, tool)))
                for tool in tools]
    wan = md_table(("Tool", "send s", "get s", "send requests/file", "get requests/file",
                    "sessions send/get", "CPU s send/get"), wan_rows)

    def best(test, names):
        found = [(sec(test, n), n) for n in names if sec(test, n)]
        return min(found) if found else (None, "none")

    wan.append("")
    for test, label in ((send, "send"), (get, "get")):
        for n in (4, 1):
            peer_s, peer = best(test, ("lftp-%d" % n, "rclone-%d" % n))
            wan.append("- %s, %d connection%s: bxfr is %sx the best peer (%s) (speed ratio, higher is better)." %
                       (label, n, "s" if n > 1 else "", ratio(peer_s, sec(test, "bxfr-%d" % n)), peer))

    say()
    for t in big + [""] + wan:
        say(t)
    md = ["# bxfr benchmark: SFTP", "",
          "Made by `bench/run --sftp-only%s` on %s, in %.0f s." % (" --quick" if bench.args.quick else "",
                                                               started.strftime("%Y-%m-%d %H:%M"),
                                                               time.monotonic() - bench.args.t0), "",
          "Machine: %s cores (nproc), %s, %s RAM, %s." % (info["nproc"], info["cpu"], info["ram"], info["os"]),
          "", "Versions: %s (libcurl with %s); %s; %s; %s; server %s." % (
              versions["bxfr"], versions["libssh2"], versions["openssh"], versions["lftp"],
              versions.get("rclone", "rclone ?"), versions["server"]), "",
          "## A %d MiB file on loopback" % mib, "",
          "bxfr against OpenSSH's `sftp` in batch mode, one after the other against the same sshd on "
          "127.0.0.1 (requests not logged there), median of %d timed runs after one untimed warm-up "
          "each; every run's copy was checked (size and SHA-256) before its time counted. Times are "
          "wall-clock for the whole client process (start, key exchange, login, transfer); peak "
          "memory is the largest `Maximum resident set size` of `/usr/bin/time -v`." % bench.args.runs, ""]
    md += big
    md += ["", "## %d files of 4 KiB in 10 folders, 10 ms each way" % nfiles, "",
           "Through our own proxy (tests/support/fault_proxy.py --raw --delay-ms 10) on 127.0.0.2, which "
           "relays the SSH connection's bytes unread and delays every chunk 10 ms each way (20 ms round "
           "trip); the kernel here has no netem. Median of %d timed runs. bxfr with `--connections 4` "
           "and 1, lftp `mirror --parallel=4` and 1, rclone copy `--transfers 4` and 1. Requests per "
           "file: every SFTP request the server saw in a run, divided by the number of files (median "
           "over the runs); sessions: the most SFTP sessions it saw in a run; CPU: user and system "
           "seconds of the client's processes (`/usr/bin/time`, ssh included for lftp), median over "
           "the runs." % bench.args.runs, ""]
    md += wan
    if counting:
        md += ["", "SFTP requests per file of the first timed run, by kind:", ""]
        for test in (send, get):
            for tool in tools:
                r = R.get((test, tool))
                if r:
                    md.append("- %s, %s: %s" % (test.replace("SFTP WAN ", ""), tool,
                                                sftp_kind_summary(r[0]["verbs"], nfiles)))
    md += ["", "Clients as run:", "",
           "- bxfr: `bxfr -q [--connections N] JOB.bxt` (PROTOCOL=sftp, USER and PASS of the test "
           "account, FINGERPRINT of the server's host key, FORCEBIN=1; SINGLE=1 for the big file)",
           "- sftp: `sftp -q -b BATCH -P PORT -i KEY -o StrictHostKeyChecking=no "
           "-o UserKnownHostsFile=/dev/null USER@127.0.0.1`, the batch `put SRC DST` or `get SRC DST`",
           "- lftp: `lftp -e 'set sftp:connect-program \"ssh -a -x -o StrictHostKeyChecking=no "
           "-o UserKnownHostsFile=/dev/null -i KEY\"; set net:max-retries 1; set net:timeout 60; "
           "set cmd:parallel N; set mirror:parallel-transfer-count N; mirror [-R] --parallel=N SRC DST; "
           "bye' sftp://USER:@127.0.0.2:PORT`",
           "- rclone: `rclone copy --transfers N --checkers N --sftp-disable-hashcheck --config /dev/null "
           "-q SRC DST` with the remote `:sftp,host=127.0.0.2,port=PORT,user=USER,pass=OBSCURED,"
           "known_hosts_file=FILE:PATH`", ""]
    md += ["Seconds of each timed run:", ""]
    for (test, tool), r in sorted(R.items()):
        md.append("- %s, %s: %s" % (test, tool, ", ".join("%.2f" % x["seconds"] for x in r)))
    md += ["", "Server: OpenSSH's sshd as the tests start it (tests/support/sshd_server.py), SFTP only "
           "(internal-sftp), listening on 127.0.0.1. For the small files its `--syslog-sink` stands in "
           "for the machine's missing syslog daemon and internal-sftp logs every request (DEBUG3), the "
           "same for every client; the big file goes through a second sshd that logs requests nowhere."]
    if notes or bench.failures:
        md += ["", "Notes:", ""] + ["- " + n for n in notes]
        md += ["- failed run (not counted): " + f for f in bench.failures]
    with open(bench.args.output, "w") as f:
        f.write("\n".join(md) + "\n")
    say()
    say("Wrote " + os.path.relpath(bench.args.output, os.getcwd()))
    if bench.failures:
        say("%d run(s) failed and were not counted:" % len(bench.failures))
        for f in bench.failures:
            say("  " + f)


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
    sizes = {"sftp_big": (256 if args.quick else 1024) * MiB, "wan_files": 60 if args.quick else 200}
    versions["openssh"] = run_text(["ssh", "-V"]).split(",")[0].strip()
    versions["libssh2"] = (re.findall(r"libssh2?/[\w.]+", run_text(["curl", "--version"])) or ["?"])[0]

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

        counted = SftpServer(srv, os.path.join(tmp, "sshd-wan"), host_key, client_key, count=True)
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
        sftp_wan(bench, SftpClients(counted, jobs, "127.0.0.2", proxy.port, client_key, known_hosts),
                 data, sizes["wan_files"])

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


# ---------------------------------------------------------------- report

def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, digits=1):
    if value is None:
        return "n/a"
    return "%.*f" % (digits, value)


def ratio(a, b, digits=2):
    if a is None or b is None or b == 0:
        return "n/a"
    return "%.*f" % (digits, a / b)


def machine_info():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    ram = "?"
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    ram = "%.1f GiB" % (int(line.split()[1]) / 1024 / 1024)
    except OSError:
        pass
    return {"nproc": str(os.cpu_count()), "cpu": cpu, "ram": ram,
            "os": platform.platform(terse=True) + " (" + platform.release() + ")"}


def verb_summary(verbs, keys=("CWD", "LIST", "MLSD", "NLST", "SIZE", "MDTM", "MKD", "STOR", "RETR",
                              "PASV", "EPSV", "TYPE", "SITE")):
    parts = ["%s %d" % (k, verbs[k]) for k in keys if verbs.get(k)]
    others = sum(v for k, v in verbs.items() if k not in keys)
    if others:
        parts.append("other %d" % others)
    return ", ".join(parts)


def wan_table(bench, nfiles):
    """Rows of the WAN scenario: seconds, commands per file and logins for every tool."""
    R = bench.results
    send, get = "WAN send %d files" % nfiles, "WAN get %d files" % nfiles
    tools = sorted({tool for (test, tool) in R if test in (send, get)},
                   key=lambda name: (not name.startswith("bxfr"), name))
    if not tools:
        return []

    def sec(test, tool):
        return median([r["seconds"] for r in R.get((test, tool), [])])

    def per_file(test, tool):
        v = [sum(r["verbs"].values()) for r in R.get((test, tool), [])]
        return None if not v else median(v) / nfiles

    def logins(test, tool):
        v = [r["logins"] for r in R.get((test, tool), [])]
        return None if not v else max(v)

    head = ("Tool", "send s", "get s", "send commands/file", "get commands/file", "logins send/get")
    rows = [(tool, fmt(sec(send, tool), 2), fmt(sec(get, tool), 2), fmt(per_file(send, tool), 2),
             fmt(per_file(get, tool), 2), "%s/%s" % (fmt(logins(send, tool), 0), fmt(logins(get, tool), 0)))
            for tool in tools]
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"

    out = [line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + [line(r) for r in rows]

    def best(test, names):
        found = [sec(test, n) for n in names if sec(test, n)]
        return min(found) if found else None

    out.append("")
    for test, label in ((send, "send"), (get, "get")):
        peers = best(test, ("lftp-4", "rclone-4"))
        out.append("- %s: bxfr (defaults) is %sx the faster of lftp --parallel=4 and rclone --transfers 4; "
                   "bxfr with 1 connection is %sx lftp with 1 (speed ratios, higher is better)." %
                   (label, ratio(peers, sec(test, "bxfr")), ratio(sec(test, "lftp-1"), sec(test, "bxfr-1"))))
    return out


def report(bench, info, versions, notes, sizes, started):
    if bench.args.wan:
        return wan_report(bench, info, versions, notes, sizes, started)
    R = bench.results
    runs = bench.args.runs
    mib = sizes["big"] // MiB
    nfiles = sizes["files"]

    def vals(test, tool, key):
        return [r[key] for r in R.get((test, tool), [])]

    def sec(test, tool):
        return median(vals(test, tool, "seconds"))

    def rss(test, tool):
        v = [x for x in vals(test, tool, "rss") if x is not None]
        return max(v) / 1024 if v else None

    def rate(amount, test, tool):
        s = sec(test, tool)
        return None if not s else amount / s

    def logins(test, tool):
        v = vals(test, tool, "logins")
        return None if not v else max(v)

    def commands(test, tool):
        v = [sum(r["verbs"].values()) for r in R.get((test, tool), [])]
        return median(v)

    rows = []
    send_big, get_big = "send %d MiB" % mib, "get %d MiB" % mib
    send_f = "send %d files" % nfiles
    get_f = "get %d files" % nfiles
    get_t = "get %d folders" % sizes["folders"]
    files_label = "%d files of 4 KiB in 20 folders" % nfiles
    for test, what in ((send_big, "%d MiB file, send" % mib), (get_big, "%d MiB file, get" % mib)):
        a, b = rate(mib, test, "bxfr"), rate(mib, test, "curl")
        rows.append((what, "throughput MiB/s (higher is better)", fmt(a), fmt(b),
                     "curl -T" if "send" in test else "curl -o", ratio(a, b)))
    tls_mib = sizes["tls"] // MiB
    for test, what in (("send %d MiB over TLS" % tls_mib, "%d MiB file over FTP over TLS (explicit), send" % tls_mib),
                       ("get %d MiB over TLS" % tls_mib, "%d MiB file over FTP over TLS (explicit), get" % tls_mib)):
        if (test, "bxfr") not in R:
            continue
        a, b = rate(tls_mib, test, "bxfr"), rate(tls_mib, test, "curl")
        rows.append((what, "throughput MiB/s (higher is better)", fmt(a), fmt(b),
                     "curl --ssl-reqd -T" if "send" in test else "curl --ssl-reqd -o", ratio(a, b)))
    for test, what in ((send_f, files_label + ", send"), (get_f, files_label + ", get")):
        a, b = rate(nfiles, test, "bxfr"), rate(nfiles, test, "lftp")
        rows.append((what, "files/s (higher is better)", fmt(a), fmt(b),
                     "lftp mirror -R" if "send" in test else "lftp mirror", ratio(a, b)))
    for test, what, ref in ((send_big, "%d MiB file, send" % mib, "curl"),
                            (get_big, "%d MiB file, get" % mib, "curl"),
                            (send_f, files_label + ", send", "lftp"),
                            (get_f, files_label + ", get", "lftp")):
        a, b = rss(test, "bxfr"), rss(test, ref)
        rows.append((what, "peak resident memory MiB", fmt(a), fmt(b), ref, ratio(a, b)))
    for test, what in ((send_f, files_label + ", send"), (get_f, files_label + ", get"),
                       (get_t, "tree of %d folders, get" % sizes["folders"])):
        a, b = commands(test, "bxfr"), commands(test, "lftp")
        rows.append((what, "FTP commands the server saw", fmt(a, 0), fmt(b, 0), "lftp", ratio(a, b)))
    a, b = sec(get_t, "bxfr"), sec(get_t, "lftp")
    rows.append(("tree of %d folders, get" % sizes["folders"], "time s (lower is better)",
                 fmt(a, 2), fmt(b, 2), "lftp mirror", ratio(a, b)))
    a, b = logins(get_t, "bxfr"), logins(get_t, "lftp")
    rows.append(("tree of %d folders, get" % sizes["folders"], "logins the server saw",
                 fmt(a, 0), fmt(b, 0), "lftp mirror", ratio(a, b)))

    if bench.args.tls_only:
        rows = [r for r in rows if "over TLS" in r[0]]
    head = ("Test", "Measure", "bxfr", "Reference", "Reference tool", "bxfr / ref")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"

    table = [line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + [line(r) for r in rows]

    say()
    say("Results (median of %d runs each; server: %s)" % (runs, versions["server"]))
    for t in table:
        say(t)

    md = ["# bxfr benchmark", "",
          "Made by `bench/run%s` on %s, in %.0f s." % (" --quick" if bench.args.quick else "",
                                                       started.strftime("%Y-%m-%d %H:%M"),
                                                       time.monotonic() - bench.args.t0), "",
          "Machine: %s cores (nproc), %s, %s RAM, %s." % (info["nproc"], info["cpu"], info["ram"], info["os"]),
          "",
          "Versions: %s; %s; %s; server %s." % (versions["bxfr"], versions["curl"], versions["lftp"],
                                                versions["server"]), "",
          "Every figure is the median of %d timed runs (the big file's after one untimed warm-up "
          "run each, so the page cache is alike for both clients); each run's "
          "bytes were checked (sizes of every file; SHA-256 of the big file once per client and "
          "direction) before its time counted. Times are wall-clock for the whole client process "
          "(start, login, transfer, quit) against the same server on 127.0.0.1, with `sync` "
          "before each run. Peak memory is the largest `Maximum resident set size` of "
          "`/usr/bin/time -v` over the runs." % runs, ""]
    md += table + [""]
    md += ["Server commands of one run, by verb:", ""]
    for test in (send_f, get_f, get_t):
        for tool in ("bxfr", "lftp"):
            r = R.get((test, tool))
            if r:
                md.append("- %s, %s: %s" % (test, tool, verb_summary(r[0]["verbs"])))
    md += ["", "Clients as run:", "",
           "- bxfr: `bxfr -q JOB.bxt` (PASSIVE=1, FORCEBIN=1; SINGLE=1 for the big file; PROTOCOL=ftpes "
           "and FINGERPRINT of the server's self-signed certificate over TLS)",
           "- curl over TLS: the same with `--ssl-reqd --cacert CERT` (vsftpd with `require_ssl_reuse=YES`)",
           "- curl: `curl -sS -u USER:PASS --ftp-create-dirs -T FILE URL` and `curl -sS -u USER:PASS -o FILE URL`",
           "- lftp: `lftp -u USER,PASS -p PORT -e 'set ftp:ssl-allow no; set net:max-retries 1; "
           "set net:timeout 60; set cmd:parallel 1; set mirror:parallel-transfer-count 1; "
           "mirror [-R] SRC DST; bye' 127.0.0.1` (one connection)", ""]
    md += ["Seconds of each timed run:", ""]
    for (test, tool), r in sorted(R.items()):
        md.append("- %s, %s: %s" % (test, tool, ", ".join("%.2f" % x["seconds"] for x in r)))
    wan = wan_table(bench, sizes["wan_files"])
    if wan:
        md += ["", "## WAN: %d files of 4 KiB in 10 folders, 10 ms each way" % sizes["wan_files"], ""]
        md += WAN_TEXT + [""] + wan
    md += ["", "Server: standalone, listening on 127.0.0.1 only, its own config and log in a "
           "temporary folder; passive mode on 127.0.0.1. Logins and commands are counted from "
           "its log (vsftpd `log_ftp_protocol`, or the `LOGIN ` lines of pyftpdlib's "
           "`--command-log`)."]
    if notes or bench.failures:
        md += ["", "Notes:", ""]
        md += ["- " + n for n in notes]
        md += ["- failed run (not counted): " + f for f in bench.failures]
    out = bench.args.output
    with open(out, "w") as f:
        f.write("\n".join(md) + "\n")
    say()
    say("Wrote " + os.path.relpath(out, os.getcwd()))
    if bench.failures:
        say("%d run(s) failed and were not counted:" % len(bench.failures))
        for f in bench.failures:
            say("  " + f)


WAN_TEXT = [
    "Through our own proxy (tests/support/fault_proxy.py) on 127.0.0.2, which delays every chunk "
    "10 ms each way on the control connection and on every data connection (20 ms round trip); "
    "the kernel here has no netem. Median of the timed runs. bxfr runs with its defaults "
    "(4 connections) and with CONNECTIONS=1; lftp mirror with --parallel 1 and 4; rclone copy "
    "with --transfers 1 and 4. Commands per file are all the commands the server saw in one run, "
    "divided by the number of files.",
]


def wan_report(bench, info, versions, notes, sizes, started):
    table = wan_table(bench, sizes["wan_files"])
    say()
    for t in table:
        say(t)
    md = ["# bxfr benchmark: WAN scenario", "",
          "Made by `bench/run --wan` on %s, in %.0f s." % (started.strftime("%Y-%m-%d %H:%M"),
                                                         time.monotonic() - bench.args.t0), "",
          "Machine: %s cores (nproc), %s, %s RAM, %s." % (info["nproc"], info["cpu"], info["ram"], info["os"]),
          "", "Versions: %s; %s; %s; server %s." % (versions["bxfr"], versions["lftp"], versions.get("rclone", "rclone ?"),
                                                  versions["server"]), ""] + WAN_TEXT + [""] + table
    md += ["", "Seconds of each timed run:", ""]
    for (test, tool), r in sorted(bench.results.items()):
        md.append("- %s, %s: %s" % (test, tool, ", ".join("%.2f" % x["seconds"] for x in r)))
    if notes or bench.failures:
        md += ["", "Notes:", ""] + ["- " + n for n in notes] + ["- failed run (not counted): " + f for f in bench.failures]
    with open(bench.args.output, "w") as f:
        f.write("\n".join(md) + "\n")
    say()
    say("Wrote " + os.path.relpath(bench.args.output, os.getcwd()))


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description="Benchmarks bxfr against curl and lftp.")
    parser.add_argument("--quick", action="store_true", help="small sizes, for a fast check")
    parser.add_argument("--wan", action="store_true", help="only the WAN scenario (20 ms round trip)")
    parser.add_argument("--runs", type=int, default=3, help="timed runs of each case (default 3)")
    parser.add_argument("--server", choices=("auto", "vsftpd", "pyftpdlib"), default="auto")
    parser.add_argument("--keep", action="store_true", help="keep bench/work/data afterwards")
    parser.add_argument("--tls-only", action="store_true",
                        help="measure only the file over FTP over TLS (written to bench/results-tls.md)")
    parser.add_argument("--sftp-only", action="store_true",
                        help="measure only the SFTP cases (written to bench/results-sftp.md)")
    parser.add_argument("--output", help="Markdown file (default bench/results.md; "
                                         "bench/work/results-quick.md with --quick)")
    args = parser.parse_args()
    args.t0 = time.monotonic()
    args.runs = max(1, args.runs)
    if not args.output:
        args.output = (os.path.join(WORK, "results-sftp-quick.md") if args.quick and args.sftp_only else
                       os.path.join(BENCH, "results-sftp.md") if args.sftp_only else
                       os.path.join(WORK, "results-quick.md") if args.quick else
                       os.path.join(BENCH, "results-tls.md") if args.tls_only else
                       os.path.join(BENCH, "results-wan.md") if args.wan else os.path.join(BENCH, "results.md"))
    started = datetime.datetime.now()

    missing = [t for t in ("cmake", "ninja", "lftp") + (() if args.sftp_only else ("curl",))
               if not shutil.which(t)]
    missing += [p for p in (TIME,) if not os.access(p, os.X_OK)]
    if missing:
        sys.exit("bench/run: missing %s; run tools/install-deps" % ", ".join(missing))

    sizes = ({"big": 64 * MiB, "tls": 32 * MiB, "files": 200, "folders": 50, "wan_files": 60} if args.quick else
             {"big": 1024 * MiB, "tls": 256 * MiB, "files": 2000, "folders": 500, "wan_files": 200})
    if args.tls_only:
        sizes["big"] = MiB

    os.makedirs(WORK, exist_ok=True)
    notes = []
    build_note = build()
    if build_note:
        notes.append(build_note)
    versions = {"bxfr": run_text([BXFR, "--version"]),
                "curl": (run_text(["curl", "--version"]).splitlines() or ["curl ?"])[0].split(" (")[0],
                "lftp": "lftp " + (re.findall(r"Version ([\d.]+)", run_text(["lftp", "--version"])) or ["?"])[0],
                "rclone": (run_text(["rclone", "version"]).splitlines() or ["rclone ?"])[0]}
    if args.sftp_only:
        return sftp_main(args, versions, notes, started)

    data_dir = os.path.join(WORK, "data")
    remove(data_dir)
    tmp = tempfile.mkdtemp(prefix="bxfr-bench-")
    os.chmod(tmp, 0o755)
    srv = os.path.join(data_dir, "srv")
    local = os.path.join(data_dir, "local")
    jobs = os.path.join(data_dir, "jobs")
    for p in (os.path.join(srv, "pub", "src"), os.path.join(srv, "pub", "put"), local, jobs):
        os.makedirs(p)
    os.chmod(data_dir, 0o755)

    server = None
    try:
        kinds = {"auto": (Vsftpd, Pyftpdlib), "vsftpd": (Vsftpd,), "pyftpdlib": (Pyftpdlib,)}[args.server]
        for kind in kinds:
            candidate = kind(srv, tmp)
            try:
                candidate.start()
                server = candidate
                break
            except Exception as error:  # noqa: BLE001 - any start-up failure means: try the next
                candidate.stop()
                say("%s cannot run here (%s)" % (kind.name, error))
                if kind is Vsftpd and Pyftpdlib in kinds:
                    say("falling back to pyftpdlib (tests/support/ftp_server.py)")
                    notes.append("vsftpd could not run (%s); the pyftpdlib test server was used" % error)
        if server is None:
            sys.exit("bench/run: no FTP server could be started")
        versions["server"] = server.version()
        say("FTP server: %s on 127.0.0.1:%d (user %s)" % (versions["server"], server.port, server.user))

        say("Making test data ...")
        data = {"srv": srv, "local": local}
        if not args.wan:
            data["big_size"] = sizes["big"]
            data["big_local"] = os.path.join(local, "big.bin")
            data["big_remote"] = "/pub/src/big.bin"
            data["big_sha"] = write_random_pair([data["big_local"], os.path.join(srv, "pub", "src", "big.bin")],
                                                sizes["big"])
            data["files_expected"] = make_tree([os.path.join(local, "files"), os.path.join(srv, "pub", "src", "files")],
                                               20, sizes["files"] // 20, 4096, "f%05d.dat")
            data["tree_expected"] = make_tree([os.path.join(srv, "pub", "src", "tree")],
                                              sizes["folders"], 1, 100, "f%05d.txt")
            if isinstance(server, Vsftpd):
                u = pwd.getpwnam("ftp")
                os.chown(os.path.join(srv, "pub", "put"), u.pw_uid, u.pw_gid)
        data["wan_expected"] = make_tree([os.path.join(local, "wan"), os.path.join(srv, "pub", "src", "wan")],
                                         10, sizes["wan_files"] // 10, 4096, "w%05d.dat")
        bench = Bench(args, server, Clients(server, jobs), data)
        if not args.wan:
            say("Measuring (%d timed runs each; the big file after one warm-up) ..." % args.runs)
            if not args.tls_only:
                bench.big_file()
            remove(data["big_local"])
            remove(os.path.join(srv, "pub", "src", "big.bin"))
            if server.cert_path:
                data["tls_size"] = sizes["tls"]
                data["tls_local"] = os.path.join(local, "tls.bin")
                data["tls_remote"] = "/pub/src/tls.bin"
                data["tls_sha"] = write_random_pair(
                    [data["tls_local"], os.path.join(srv, "pub", "src", "tls.bin")], sizes["tls"])
                bench.big_file("tls", tls=True)
                remove(data["tls_local"])
                remove(os.path.join(srv, "pub", "src", "tls.bin"))
            else:
                notes.append("FTP over TLS was not measured: " + server.tls_problem)
        if not args.wan and not args.tls_only:
            bench.tree_test("send %d files" % sizes["files"], "get %d files" % sizes["files"], "files", True)
            bench.tree_test(None, "get %d folders" % sizes["folders"], "tree", False)
        if not args.tls_only:
            say("WAN scenario: 10 ms each way through tests/support/fault_proxy.py on 127.0.0.2 ...")
            proxy = DelayProxy(server.port, tmp, 10)
            try:
                bench.wan_test(Clients(server, jobs, "127.0.0.2", proxy.port), "wan", sizes["wan_files"])
            finally:
                proxy.stop()

        info = machine_info()
        report(bench, info, versions, notes, sizes, started)
        return 1 if bench.failures else 0
    finally:
        if server:
            server.stop()
        shutil.rmtree(tmp, ignore_errors=True)
        if not args.keep:
            remove(data_dir)
        for name in ("time.txt",):
            remove(os.path.join(WORK, name))


if __name__ == "__main__":
    sys.exit(main())
