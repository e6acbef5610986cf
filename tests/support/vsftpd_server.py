"""vsftpd on 127.0.0.1 for the tests: FTP over TLS that insists on TLS session resumption.

Anonymous writable access under --root/pub, a self-signed certificate (made as ftp_server.py
makes it), require_ssl_reuse=YES, and the newest TLS version it speaks set with --tls-version through an
OpenSSL configuration of its own. Needs root (vsftpd's chroot); exits 3 when it cannot run.
The port is written to --ready-file once vsftpd greets; the protocol log goes to --log.
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

import ftp_server
from ready_file import announce


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--dir", required=True, help="a folder for the config, certificate and log")
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--tls-version", choices=("1.2", "1.3"), default="1.3")
    parser.add_argument("--implicit", action="store_true")
    return parser.parse_args()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    args = parse_args()
    exe = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
    if not os.path.exists(exe) or os.geteuid() != 0:
        print("vsftpd cannot run here (not installed, or not root)", file=sys.stderr)
        sys.exit(3)
    ftp_user = pwd.getpwnam("ftp")
    # vsftpd refuses a writable anonymous root: the root is root's, pub/ is the ftp user's.
    os.chmod(args.root, 0o755)
    pub = os.path.join(args.root, "pub")
    os.makedirs(pub, exist_ok=True)
    os.chown(pub, ftp_user.pw_uid, ftp_user.pw_gid)
    empty = os.path.join(args.dir, "empty")
    os.makedirs(empty, exist_ok=True)
    os.chmod(args.dir, 0o755)
    cert_args = argparse.Namespace(cert_dir=args.dir, cert_name="127.0.0.1", cert_expired=False)
    pem = ftp_server.make_certificate(cert_args)
    os.chmod(pem, 0o600)
    port = free_port()
    log = os.path.join(args.dir, "vsftpd.log")
    settings = {
        "listen": "YES", "listen_ipv6": "NO", "listen_address": "127.0.0.1",
        "listen_port": str(port), "background": "NO",
        "anonymous_enable": "YES", "local_enable": "NO", "no_anon_password": "YES",
        "write_enable": "YES", "anon_upload_enable": "YES", "anon_mkdir_write_enable": "YES",
        "anon_other_write_enable": "YES", "anon_world_readable_only": "NO", "anon_umask": "022",
        "anon_root": args.root, "ftp_username": "ftp", "nopriv_user": "ftp",
        "pasv_enable": "YES", "pasv_address": "127.0.0.1", "connect_from_port_20": "NO",
        "delay_failed_login": "0", "delay_successful_login": "0",
        # Containers often forbid the namespaces and seccomp filters vsftpd sets up.
        "seccomp_sandbox": "NO", "isolate": "NO", "isolate_network": "NO",
        "secure_chroot_dir": empty,
        "ssl_enable": "YES", "allow_anon_ssl": "YES", "force_anon_logins_ssl": "YES",
        "force_anon_data_ssl": "YES", "require_ssl_reuse": "YES", "implicit_ssl": "YES" if args.implicit else "NO",
        "ssl_sslv2": "NO", "ssl_sslv3": "NO", "ssl_tlsv1": "YES", "ssl_ciphers": "HIGH",
        "rsa_cert_file": pem, "rsa_private_key_file": pem, "debug_ssl": "YES",
        "log_ftp_protocol": "YES", "xferlog_enable": "YES", "xferlog_std_format": "NO",
        "vsftpd_log_file": log, "dual_log_enable": "NO", "syslog_enable": "NO",
    }
    conf = os.path.join(args.dir, "vsftpd.conf")
    with open(conf, "w") as f:
        f.writelines("%s=%s\n" % kv for kv in settings.items())
    os.chmod(conf, 0o600)  # vsftpd wants its config owned by root
    # vsftpd has no setting for the newest TLS version; OpenSSL's system defaults set it.
    version = "TLSv" + args.tls_version
    ssl_conf = os.path.join(args.dir, "openssl.cnf")
    with open(ssl_conf, "w") as f:
        f.write("openssl_conf = conf\n[conf]\nssl_conf = ssl\n[ssl]\nsystem_default = tls\n"
                "[tls]\nMinProtocol = TLSv1.2\nMaxProtocol = %s\n" % version)
    env = dict(os.environ, OPENSSL_CONF=ssl_conf)
    child = subprocess.Popen([exe, conf], stdin=subprocess.DEVNULL, env=env)
    # Only asks vsftpd to end: the wait below then returns, and the script with it.
    signal.signal(signal.SIGTERM, lambda *_: child.terminate())
    deadline = time.monotonic() + 10
    while True:
        if child.poll() is not None:
            print("vsftpd ended at start", file=sys.stderr)
            sys.exit(3)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2):
                break
        except OSError:
            if time.monotonic() > deadline:
                child.kill()
                child.wait()
                sys.exit(3)
            time.sleep(0.05)
    announce(args.ready_file, port)
    child.wait()


if __name__ == "__main__":
    main()
