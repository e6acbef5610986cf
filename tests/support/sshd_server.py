"""OpenSSH's sshd on 127.0.0.1 for the tests: SFTP only, for the test account of install-deps.

The account logs in with its password or with the key in --authorized-key; its SFTP session
starts in --root (made the account's). The host key is --host-key, made when missing, and its
fingerprint goes to <dir>/fingerprint as ssh-keygen prints it. Needs root; exits 3 when it
cannot run. The port is written to --ready-file once sshd greets; its log goes to <dir>/sshd.log.
With --syslog-sink FILE, where the machine has no /dev/log, the script listens there itself and
appends the syslog messages of its own sshd to FILE; internal-sftp then logs every request
(DEBUG3), so that the benchmark can count them.
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


class SyslogSink:
    """Stands in for the missing syslog daemon: messages from sshd's processes go to a file."""

    def __init__(self, path):
        self.path = path
        self.sshd_pid = None
        self.ours = set()
        self.sock = None
        if os.path.lexists(DEV_LOG):
            if not is_stale_socket(DEV_LOG):
                print("a syslog daemon owns %s: --syslog-sink is not used" % DEV_LOG, file=sys.stderr)
                return
            os.unlink(DEV_LOG)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(DEV_LOG)
        os.chmod(DEV_LOG, 0o666)
        # The sender's pid tells our sshd's messages from those of other sshds on the machine.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.out = open(path, "a", encoding="utf-8", errors="replace")
        threading.Thread(target=self.serve, daemon=True).start()

    def accepts(self, pid):
        if pid in self.ours:
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
            if pid is not None and not self.accepts(pid):
                continue
            self.out.write(data.decode("utf-8", "replace").rstrip("\0\n") + "\n")
            self.out.flush()

    def close(self):
        if self.sock is not None:
            try:
                os.unlink(DEV_LOG)
            except OSError:
                pass
            self.sock.close()
            self.sock = None


def main():
    args = parse_args()
    sink = None
    try:
        if args.syslog_sink:
            sink = SyslogSink(args.syslog_sink)
        serve(args, sink)
    finally:
        if sink:
            sink.close()


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
    host_key = args.host_key or os.path.join(args.dir, "host_key")
    if not os.path.exists(host_key):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "bxfr-test-host", "-f", host_key],
                       check=True)
    printed = subprocess.run(["ssh-keygen", "-l", "-f", host_key + ".pub"], check=True,
                             capture_output=True, text=True).stdout.split()
    with open(os.path.join(args.dir, "fingerprint"), "w") as f:
        f.write(printed[1] + "\n")
    authorized = os.path.join(args.dir, "authorized_keys")
    with open(authorized, "w") as out:
        if args.authorized_key:
            with open(args.authorized_key) as key:
                out.write(key.read())
    port = free_port()
    log = os.path.join(args.dir, "sshd.log")
    # Only a sink of our own takes the one line per request that DEBUG3 adds.
    level = "DEBUG3" if sink and sink.sock else "INFO"
    host_keys = [("HostKey", host_key)]
    if args.ecdsa_key:
        ecdsa = os.path.join(args.dir, "ecdsa_key")
        if not os.path.exists(ecdsa):
            subprocess.run(["ssh-keygen", "-q", "-t", "ecdsa", "-N", "", "-f", ecdsa], check=True)
        host_keys.append(("HostKey", ecdsa))
    settings = host_keys + [
        ("ListenAddress", "127.0.0.1"), ("Port", str(port)),
        ("PidFile", os.path.join(args.dir, "sshd.pid")), ("AllowUsers", USER),
        ("PermitRootLogin", "no"), ("UsePAM", "no"), ("PasswordAuthentication", "yes"),
        ("KbdInteractiveAuthentication", "no"), ("PubkeyAuthentication", "yes"),
        ("AuthorizedKeysFile", authorized), ("StrictModes", "no"),
        ("MaxSessions", str(args.max_sessions)), ("MaxStartups", "30"), ("MaxAuthTries", "6"),
        ("LoginGraceTime", "30"), ("UseDNS", "no"), ("LogLevel", "VERBOSE"),
        ("X11Forwarding", "no"), ("AllowTcpForwarding", "no"), ("PermitTTY", "no"),
        # Every operation in the log, so that the tests and the benchmark can count them.
        ("Subsystem", "sftp internal-sftp -l %s -d %s" % (level, args.root)),
        ("ForceCommand", "internal-sftp -l %s -d %s" % (level, args.root)),
    ]
    conf = os.path.join(args.dir, "sshd_config")
    with open(conf, "w") as f:
        f.writelines("%s %s\n" % kv for kv in settings)
    os.chmod(conf, 0o600)
    child = subprocess.Popen([exe, "-D", "-f", conf, "-E", log], stdin=subprocess.DEVNULL)
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
