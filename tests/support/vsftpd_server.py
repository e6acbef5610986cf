"""vsftpd, or ProFTPD with --daemon proftpd, on 127.0.0.1 for the tests: FTP over TLS that
insists on TLS session resumption, each with its own default rule for it. With --sftp, ProFTPD's
own SFTP server (mod_sftp) instead.

Anonymous writable access under --root/pub, a self-signed certificate (made as ftp_server.py
makes it), vsftpd's require_ssl_reuse=YES or ProFTPD's mod_tls as it ships, and the newest TLS
version it speaks set with --tls-version ("1.0" allows that version alone). --require-cert
makes vsftpd demand a client certificate. Needs root (the chroot); exits 3 when it cannot run.
The port is written to --ready-file once the server greets; the log goes to --dir/DAEMON.log.

--sftp: the SFTP account of tools/install-deps logs in with its password (from a password file
of the server's own, not the system's) and starts in --root, which becomes its home (no
chroot: paths are absolute). Host keys --dir/ed25519_key and --dir/rsa_key, made when missing,
their fingerprints in --dir/KIND.fingerprint. One line per SSH message and SFTP request in
--dir/requests.log ("OPEN /abs/path", "RENAME /a /b", "EXTENDED posix-rename@openssh.com").
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
    parser.add_argument("--daemon", choices=("vsftpd", "proftpd"), default="vsftpd")
    parser.add_argument("--tls-version", choices=("1.0", "1.2", "1.3"), default="1.3")
    parser.add_argument("--implicit", action="store_true")
    parser.add_argument("--require-cert", action="store_true")
    parser.add_argument("--sftp", action="store_true", help="ProFTPD's mod_sftp, not FTP")
    return parser.parse_args()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ProFTPD from its Debian packages, installed or unpacked beside vsftpd by tools/install-deps.
PROFTPD = ("/usr/sbin/proftpd", "/opt/bxfr-test-servers/proftpd/usr/sbin/proftpd")


def vsftpd(args, port, pem, log):
    empty = os.path.join(args.dir, "empty")
    os.makedirs(empty, exist_ok=True)
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
        "require_cert": "YES" if args.require_cert else "NO", "validate_cert": "NO",
        "rsa_cert_file": pem, "rsa_private_key_file": pem, "debug_ssl": "YES",
        "log_ftp_protocol": "YES", "xferlog_enable": "YES", "xferlog_std_format": "NO",
        "vsftpd_log_file": log, "dual_log_enable": "NO", "syslog_enable": "NO",
    }
    conf = os.path.join(args.dir, "vsftpd.conf")
    with open(conf, "w") as f:
        f.writelines("%s=%s\n" % kv for kv in settings.items())
    os.chmod(conf, 0o600)  # vsftpd wants its config owned by root
    # vsftpd has no setting for the TLS versions; OpenSSL's system defaults set them. TLS 1.0
    # needs security level 0 in OpenSSL 3.
    newest = "TLSv1" if args.tls_version == "1.0" else "TLSv" + args.tls_version
    oldest = "TLSv1\nCipherString = DEFAULT@SECLEVEL=0" if args.tls_version == "1.0" else "TLSv1.2"
    ssl_conf = os.path.join(args.dir, "openssl.cnf")
    with open(ssl_conf, "w") as f:
        f.write("openssl_conf = conf\n[conf]\nssl_conf = ssl\n[ssl]\nsystem_default = tls\n"
                "[tls]\nMaxProtocol = %s\nMinProtocol = %s\n" % (newest, oldest))
    return [shutil.which("vsftpd") or "/usr/sbin/vsftpd", conf], dict(os.environ, OPENSSL_CONF=ssl_conf)


def proftpd_conf(args, port, log, lines):
    exe = next(p for p in PROFTPD if os.path.exists(p))
    d = args.dir
    lines = [
        'ServerType standalone', 'ServerName "bxfr test"', 'DefaultServer on',
        'DefaultAddress 127.0.0.1', 'SocketBindTight on', 'Port %d' % port,
        'User nobody', 'Group nogroup', 'UseIPv6 off', 'UseReverseDNS off', 'WtmpLog off',
        'PidFile %s/proftpd.pid' % d, 'ScoreboardFile %s/proftpd.scoreboard' % d,
        'DelayTable none', 'SystemLog %s' % log, 'TransferLog none',
        'ModulePath %s' % os.path.join(os.path.dirname(os.path.dirname(exe)), "lib", "proftpd"),
    ] + lines
    conf = os.path.join(d, "proftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join(lines) + "\n")
    return [exe, "-n", "-q", "-c", conf], dict(os.environ)


def proftpd(args, port, pem, log):
    return proftpd_conf(args, port, log, [
        'ExtendedLog %s AUTH' % log, 'LoadModule mod_tls.c',
        'AllowOverwrite on', 'AllowStoreRestart on', 'Umask 022',
        'TLSEngine on', 'TLSRequired on', 'TLSLog %s' % log,
        'TLSProtocol TLSv1.2%s' % (" TLSv1.3" if args.tls_version == "1.3" else ""),
        'TLSRSACertificateFile %s' % pem, 'TLSRSACertificateKeyFile %s' % pem,
        'TLSVerifyClient off',
        'TLSOptions%s' % (" UseImplicitSSL" if args.implicit else " EnableDiags"),
        '<Anonymous %s>' % args.root, 'User ftp', 'Group nogroup', 'UserAlias anonymous ftp',
        'RequireValidShell off', '<Limit WRITE>', 'AllowAll', '</Limit>', '</Anonymous>',
    ])


SFTP_USER = "bxfr-sftp-test"
SFTP_PASSWORD_FILE = "/etc/bxfr-sftp-test.password"


def proftpd_sftp(args, port, log):
    account = pwd.getpwnam(SFTP_USER)
    os.chown(args.root, account.pw_uid, account.pw_gid)
    keys = []
    for kind in ("ed25519", "rsa"):
        key = os.path.join(args.dir, kind + "_key")
        if not os.path.exists(key):
            subprocess.run(["ssh-keygen", "-q", "-t", kind, "-N", "", "-C", "bxfr-test-host", "-f", key],
                           check=True)
        printed = subprocess.run(["ssh-keygen", "-l", "-f", key + ".pub"], check=True,
                                 capture_output=True, text=True).stdout.split()
        with open(os.path.join(args.dir, kind + ".fingerprint"), "w") as f:
            f.write(printed[1] + "\n")
        keys.append("SFTPHostKey " + key)
    with open(SFTP_PASSWORD_FILE) as f:
        password = f.readline().strip()
    hashed = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password, check=True,
                            capture_output=True, text=True).stdout.strip()
    users = os.path.join(args.dir, "passwd")
    with open(users, "w") as f:
        f.write("%s:%s:%d:%d::%s:/usr/sbin/nologin\n" % (SFTP_USER, hashed, account.pw_uid, account.pw_gid,
                                                          args.root))
    os.chmod(users, 0o600)
    return proftpd_conf(args, port, log, [
        'LoadModule mod_sftp.c', 'AuthOrder mod_auth_file.c', 'AuthUserFile %s' % users,
        'RequireValidShell off', 'AllowOverwrite on', 'AllowStoreRestart on', 'Umask 022',
        'SFTPEngine on', 'SFTPLog %s' % log, 'SFTPAuthMethods password', 'LogFormat requests "%r"',
        'ExtendedLog %s ALL requests' % os.path.join(args.dir, "requests.log"),
    ] + keys)


def ftps(args, port, log):
    ftp_user = pwd.getpwnam("ftp")
    # vsftpd refuses a writable anonymous root: the root is root's, pub/ is the ftp user's.
    os.chmod(args.root, 0o755)
    pub = os.path.join(args.root, "pub")
    os.makedirs(pub, exist_ok=True)
    os.chown(pub, ftp_user.pw_uid, ftp_user.pw_gid)
    cert_args = argparse.Namespace(cert_dir=args.dir, cert_name="127.0.0.1", cert_expired=False)
    pem = ftp_server.make_certificate(cert_args)
    os.chmod(pem, 0o600)
    return (proftpd if args.daemon == "proftpd" else vsftpd)(args, port, pem, log)


def main():
    args = parse_args()
    exe = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
    if args.daemon == "proftpd" or args.sftp:
        args.daemon = "proftpd"
        exe = next((p for p in PROFTPD if os.path.exists(p)), "")
    if not os.path.exists(exe) or os.geteuid() != 0:
        print("%s cannot run here (not installed, or not root)" % args.daemon, file=sys.stderr)
        sys.exit(3)
    os.chmod(args.dir, 0o755)
    port = free_port()
    log = os.path.join(args.dir, args.daemon + ".log")
    argv, env = (proftpd_sftp if args.sftp else ftps)(args, port, log)
    child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, env=env)
    # Only asks the server to end: the wait below then returns, and the script with it.
    signal.signal(signal.SIGTERM, lambda *_: child.terminate())
    deadline = time.monotonic() + 10
    while True:
        if child.poll() is not None:
            print(args.daemon + " ended at start", file=sys.stderr)
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
