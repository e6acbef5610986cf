"""OpenSSH's sshd on 127.0.0.1 for the tests: SFTP only, for the test account of install-deps.

The account logs in with its password or with the key in --authorized-key; its SFTP session
starts in --root (made the account's). The host key is --host-key, made when missing, and its
fingerprint goes to <dir>/fingerprint as ssh-keygen prints it. Needs root; exits 3 when it
cannot run. The port is written to --ready-file once sshd greets; its log goes to <dir>/sshd.log.
"""

import argparse
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import time

from ready_file import announce

USER = "bxfr-sftp-test"


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--dir", required=True, help="a folder for the config, keys and log")
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--host-key", help="default: <dir>/host_key")
    parser.add_argument("--authorized-key", help="a public key file the account may log in with")
    parser.add_argument("--max-sessions", type=int, default=10)
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


def main():
    args = parse_args()
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
    settings = [
        ("ListenAddress", "127.0.0.1"), ("Port", str(port)), ("HostKey", host_key),
        ("PidFile", os.path.join(args.dir, "sshd.pid")), ("AllowUsers", USER),
        ("PermitRootLogin", "no"), ("UsePAM", "no"), ("PasswordAuthentication", "yes"),
        ("KbdInteractiveAuthentication", "no"), ("PubkeyAuthentication", "yes"),
        ("AuthorizedKeysFile", authorized), ("StrictModes", "no"),
        ("MaxSessions", str(args.max_sessions)), ("MaxStartups", "30"), ("MaxAuthTries", "6"),
        ("LoginGraceTime", "30"), ("UseDNS", "no"), ("LogLevel", "VERBOSE"),
        ("X11Forwarding", "no"), ("AllowTcpForwarding", "no"), ("PermitTTY", "no"),
        # Every operation in the log, so that the tests and the benchmark can count them.
        ("Subsystem", "sftp internal-sftp -l INFO -d %s" % args.root),
        ("ForceCommand", "internal-sftp -l INFO -d %s" % args.root),
    ]
    conf = os.path.join(args.dir, "sshd_config")
    with open(conf, "w") as f:
        f.writelines("%s %s\n" % kv for kv in settings)
    os.chmod(conf, 0o600)
    child = subprocess.Popen([exe, "-D", "-f", conf, "-E", log], stdin=subprocess.DEVNULL)
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
