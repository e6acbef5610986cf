"""The FTP servers of the benchmark (vsftpd, or the tests' pyftpdlib) and the delaying proxy."""

import argparse
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from ftplib import FTP

from .common import PY, REPO, run_text
from .data import remove


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
