"""OpenSSH's sshd on 127.0.0.1 for the tests: SFTP only, for the test account of install-deps.

The account logs in with its password or with the key in --authorized-key; its SFTP session
starts in --root (made the account's). The host key is --host-key, made when missing (ed25519,
or RSA with --rsa-only / --sha1-rsa-only), and its fingerprint goes to <dir>/fingerprint as
ssh-keygen prints it. Needs root; exits 3 when it cannot run. The port is written to
--ready-file once sshd greets; its log goes to <dir>/sshd.log, with the algorithms each
connection agreed on. With --syslog-sink FILE, sshd gets a /dev of its own (a mount namespace)
whose /dev/log the script reads, or, where namespaces are not allowed and the machine has no
/dev/log, the script listens there itself (FILE.socket names where); the syslog messages of its
own sshd go to FILE, each after the time it came, and internal-sftp then logs every request
(DEBUG3), so that the tests and the benchmark can count them. A message that starts with
"bxfr-test-mark " is written too: once it is in FILE, so is everything logged before it.
"""

import argparse
import os
import pwd
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

from ready_file import announce

USER = "bxfr-sftp-test"


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--dir", required=True, help="a folder for the config, keys and log")
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--host-key", help="default: <dir>/host_key")
    parser.add_argument("--ecdsa-key", action="store_true",
                        help="serve an ECDSA key too (<dir>/ecdsa_key), which libssh2 prefers")
    parser.add_argument("--authorized-key", help="a public key file the account may log in with")
    parser.add_argument("--hardened", action="store_true",
                        help="only AEAD ciphers, encrypt-then-MAC MACs, curve25519 and sntrup key exchange")
    parser.add_argument("--rsa-only", action="store_true", help="one RSA host key, as rsa-sha2-512/256 only")
    parser.add_argument("--sha1-rsa-only", action="store_true", help="one RSA host key, as SHA-1 ssh-rsa only")
    parser.add_argument("--max-sessions", type=int, default=10)
    parser.add_argument("--syslog-sink", help="a file for internal-sftp's syslog messages (needs no /dev/log)")
    return parser.parse_args()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def chown_tree(path, uid, gid):
    os.chown(path, uid, gid)
    for folder, dirs, files in os.walk(path):
        for name in dirs + files:
            os.lchown(os.path.join(folder, name), uid, gid)


DEV_LOG = "/dev/log"
MARK = b"bxfr-test-mark "


def is_stale_socket(path):
    """A socket file that nobody reads, as a killed run leaves it."""
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    try:
        probe.connect(path)
        return False
    except ConnectionRefusedError:
        return True
    except OSError:
        return False
    finally:
        probe.close()


def descends_from(pid, ancestor):
    while pid > 1:
        if pid == ancestor:
            return True
        try:
            with open("/proc/%d/stat" % pid) as f:
                # The name in parentheses may hold spaces: the parent follows its closing one.
                pid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            return None
    return False


def private_dev(folder):
    """A /dev for sshd alone, to be mounted over /dev in a mount namespace of its own: links to
    the machine's devices, and room for a log socket that no other sshd writes to. None where
    namespaces are not allowed."""
    if subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode != 0:
        return None
    dev = os.path.join(os.path.abspath(folder), "dev")
    machine = os.path.join(os.path.abspath(folder), "machine-dev")
    os.makedirs(machine, exist_ok=True)
    os.makedirs(dev, exist_ok=True)
    for name in os.listdir("/dev"):
        link = os.path.join(dev, name)
        if name != "log" and not os.path.lexists(link):
            os.symlink(os.path.join(machine, name), link)
    return dev


def in_private_dev(dev, argv):
    mount = 'mount --rbind /dev "$1" && mount --bind "$2" /dev && shift 2 && exec "$@"'
    return (["unshare", "--mount", "--propagation", "private", "sh", "-ec", mount, "sh",
             os.path.join(os.path.dirname(dev), "machine-dev"), dev] + argv)


class SyslogSink:
    """Stands in for the missing syslog daemon: messages from sshd's processes go to a file.
    With a private /dev, servers of tests that run side by side each keep their own log."""

    def __init__(self, path, dev):
        self.path = path
        self.dev = dev
        self.sshd_pid = None
        self.ours = set()
        self.sock = None
        if dev:
            self.listen(os.path.join(dev, "log"))
            return
        if os.path.lexists(DEV_LOG):
            if not is_stale_socket(DEV_LOG):
                print("a syslog daemon owns %s: --syslog-sink is not used" % DEV_LOG, file=sys.stderr)
                return
            os.unlink(DEV_LOG)
        self.listen(DEV_LOG)

    def listen(self, where):
        self.where = where
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(where)
        os.chmod(where, 0o666)
        with open(self.path + ".socket", "w") as f:
            f.write(where + "\n")
        # The sender's pid tells our sshd's messages from those of other sshds on the machine.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.out = open(self.path, "a", encoding="utf-8", errors="replace")
        threading.Thread(target=self.serve, daemon=True).start()

    def accepts(self, pid):
        if self.dev or pid in self.ours:
            return True
        # A sender already gone is not known to be ours: other sshds end their sessions too.
        if self.sshd_pid is None or not descends_from(pid, self.sshd_pid):
            return False
        self.ours.add(pid)
        return True

    def serve(self):
        size = socket.CMSG_SPACE(struct.calcsize("3i"))
        while True:
            try:
                data, ancillary, _, _ = self.sock.recvmsg(65536, size)
            except OSError:
                return
            pid = None
            for level, kind, payload in ancillary:
                if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                    pid = struct.unpack("3i", payload[:struct.calcsize("3i")])[0]
            # A test's mark comes after every message sent before it: then it has them all.
            if pid is not None and not self.accepts(pid) and not data.startswith(MARK):
                continue
            # The time it came, for the benchmark to see where the server waited for a client.
            self.out.write("%.6f %s\n" % (time.time(), data.decode("utf-8", "replace").rstrip("\0\n")))
            self.out.flush()

    def close(self):
        if self.sock is not None:
            try:
                os.unlink(self.where)
            except OSError:
                pass
            self.sock.close()
            self.sock = None


HARDENED = [
    ("Ciphers", "chacha20-poly1305@openssh.com,aes256-gcm@openssh.com,aes128-gcm@openssh.com"),
    ("MACs", "hmac-sha2-512-etm@openssh.com,hmac-sha2-256-etm@openssh.com"),
    ("KexAlgorithms", "sntrup761x25519-sha512@openssh.com,curve25519-sha256,curve25519-sha256@libssh.org"),
]


def main():
    args = parse_args()
    sink = None
    try:
        if args.syslog_sink:
            sink = SyslogSink(args.syslog_sink, private_dev(args.dir))
        serve(args, sink)
    finally:
        if sink:
            sink.close()


def host_key_settings(args):
    """The HostKey lines, each key made when missing, and the fingerprint file of the first."""
    rsa = args.rsa_only or args.sha1_rsa_only
    host_key = args.host_key or os.path.join(args.dir, "host_key")
    keys = [(host_key, "rsa" if rsa else "ed25519")]
    if args.ecdsa_key and not rsa:
        keys.append((os.path.join(args.dir, "ecdsa_key"), "ecdsa"))
    for path, kind in keys:
        if not os.path.exists(path):
            subprocess.run(["ssh-keygen", "-q", "-t", kind, "-N", "", "-C", "bxfr-test-host", "-f", path],
                           check=True)
    printed = subprocess.run(["ssh-keygen", "-l", "-f", host_key + ".pub"], check=True,
                             capture_output=True, text=True).stdout.split()
    if rsa and printed[-1] != "(RSA)":
        print("%s is not an RSA key" % host_key, file=sys.stderr)
        sys.exit(2)
    with open(os.path.join(args.dir, "fingerprint"), "w") as f:
        f.write(printed[1] + "\n")
    settings = [("HostKey", path) for path, _ in keys]
    if args.rsa_only:
        settings.append(("HostKeyAlgorithms", "rsa-sha2-512,rsa-sha2-256"))
    if args.sha1_rsa_only:
        # As a server older than OpenSSH 7.2 offers it, and takes such client keys too.
        settings += [("HostKeyAlgorithms", "ssh-rsa"), ("PubkeyAcceptedAlgorithms", "+ssh-rsa")]
    return settings


def serve(args, sink):
    exe = shutil.which("sshd") or "/usr/sbin/sshd"
    try:
        account = pwd.getpwnam(USER)
    except KeyError:
        account = None
    if not os.path.exists(exe) or os.geteuid() != 0 or account is None:
        print("sshd cannot run here (not installed, not root, or no %s account)" % USER, file=sys.stderr)
        sys.exit(3)
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd's privilege separation needs it
    os.chmod(args.dir, 0o755)
    chown_tree(args.root, account.pw_uid, account.pw_gid)
    authorized = os.path.join(args.dir, "authorized_keys")
    with open(authorized, "w") as out:
        if args.authorized_key:
            with open(args.authorized_key) as key:
                out.write(key.read())
    port = free_port()
    log = os.path.join(args.dir, "sshd.log")
    # Only a sink of our own takes the one line per request that DEBUG3 adds.
    level = "DEBUG3" if sink and sink.sock else "INFO"
    settings = host_key_settings(args) + (HARDENED if args.hardened else []) + [
        ("ListenAddress", "127.0.0.1"), ("ListenAddress", "::1"), ("Port", str(port)),
        ("PidFile", os.path.join(args.dir, "sshd.pid")), ("AllowUsers", USER),
        ("PermitRootLogin", "no"), ("UsePAM", "no"), ("PasswordAuthentication", "yes"),
        ("KbdInteractiveAuthentication", "no"), ("PubkeyAuthentication", "yes"),
        ("AuthorizedKeysFile", authorized), ("StrictModes", "no"),
        ("MaxSessions", str(args.max_sessions)), ("MaxStartups", "30"), ("MaxAuthTries", "6"),
        ("LoginGraceTime", "30"), ("UseDNS", "no"), ("LogLevel", "VERBOSE"),
        # The algorithms each connection agreed on ("kex: client->server cipher: ..."), a debug line.
        ("LogVerbose", "kex.c:choose_kex():*,kex.c:choose_hostkeyalg():*,kex.c:kex_choose_conf():*"),
        ("X11Forwarding", "no"), ("AllowTcpForwarding", "no"), ("PermitTTY", "no"),
        # Every operation in the log, so that the tests and the benchmark can count them.
        ("Subsystem", "sftp internal-sftp -l %s -d %s" % (level, args.root)),
        ("ForceCommand", "internal-sftp -l %s -d %s" % (level, args.root)),
    ]
    conf = os.path.join(args.dir, "sshd_config")
    with open(conf, "w") as f:
        f.writelines("%s %s\n" % kv for kv in settings)
    os.chmod(conf, 0o600)
    argv = [exe, "-D", "-f", conf, "-E", log]
    child = subprocess.Popen(in_private_dev(sink.dev, argv) if sink and sink.dev else argv,
                             stdin=subprocess.DEVNULL)
    if sink:
        sink.sshd_pid = child.pid
    # Only asks sshd to end: the wait below then returns, and the script with it.
    signal.signal(signal.SIGTERM, lambda *_: child.terminate())
    deadline = time.monotonic() + 10
    while True:
        if child.poll() is not None:
            print("sshd ended at start", file=sys.stderr)
            sys.exit(3)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                s.settimeout(2)
                if s.recv(4).startswith(b"SSH-"):
                    break
        except OSError:
            pass
        if time.monotonic() > deadline:
            child.kill()
            child.wait()
            sys.exit(3)
        time.sleep(0.05)
    announce(args.ready_file, port)
    child.wait()


if __name__ == "__main__":
    main()
