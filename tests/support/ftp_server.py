"""pyftpdlib server on 127.0.0.1 for the tests, with the faulty modes they need.

Run with /usr/bin/python3 (Debian's python3-pyftpdlib). The chosen port is written
to --ready-file once the server listens.
"""

import argparse
import os
import signal
import socket
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.log import logger
from pyftpdlib.servers import FTPServer

from ready_file import announce

PERMS = "elradfmwMT"


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--anonymous", action="store_true")
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--no-mlsd", action="store_true")
    parser.add_argument("--reply-delay", type=float, default=0.0)
    parser.add_argument("--silent", action="store_true")
    parser.add_argument("--drop-data-after", type=int, default=-1)
    parser.add_argument("--max-cons-per-ip", type=int, default=0)
    parser.add_argument("--max-cons", type=int, default=0)
    parser.add_argument("--command-log")
    parser.add_argument("--site-chmod", action="store_true")
    parser.add_argument("--max-rate", type=int, default=0)
    parser.add_argument("--refuse", default="")
    parser.add_argument("--no-rename-over", action="store_true")
    parser.add_argument("--tls", choices=("explicit", "implicit"))
    parser.add_argument("--cert-dir", help="where the made certificate and its fingerprint go")
    parser.add_argument("--cert-name", default="127.0.0.1")
    parser.add_argument("--cert-expired", action="store_true")
    parser.add_argument("--lose-login", type=int, default=0)
    parser.add_argument("--ipv6", action="store_true", help="listen on ::1 instead of 127.0.0.1")
    parser.add_argument("--quit-delay", type=float, default=0.0)
    return parser.parse_args()


def run_silent(args):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    held = []

    def stop(*_):
        for conn in held:
            conn.close()
        listener.close()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    announce(args.ready_file, listener.getsockname()[1])
    while True:
        conn, _ = listener.accept()
        # Keep it open and say nothing: a server that never greets.
        held.append(conn)


def make_command_log(path):
    if not path:
        return lambda line: None

    def write(line):
        with open(path, "a", encoding="utf-8", errors="replace") as out:
            out.write(line + "\n")
            out.flush()

    return write


def make_certificate(args):
    """A self-signed certificate for --cert-name; writes cert.pem and its fingerprint."""
    import base64
    import hashlib
    import ipaddress

    from OpenSSL import crypto

    key = crypto.PKey()
    key.generate_key(crypto.TYPE_RSA, 2048)
    cert = crypto.X509()
    cert.set_version(2)
    cert.set_serial_number(int.from_bytes(os.urandom(8), "big"))
    cert.get_subject().CN = args.cert_name
    cert.get_subject().O = "Brindle test server"
    cert.set_issuer(cert.get_subject())
    cert.set_pubkey(key)
    if args.cert_expired:
        cert.gmtime_adj_notBefore(-10 * 86400)
        cert.gmtime_adj_notAfter(-86400)
    else:
        cert.gmtime_adj_notBefore(-3600)
        cert.gmtime_adj_notAfter(86400)
    try:
        ipaddress.ip_address(args.cert_name)
        alt = "IP:" + args.cert_name
    except ValueError:
        alt = "DNS:" + args.cert_name
    cert.add_extensions([crypto.X509Extension(b"subjectAltName", False, alt.encode())])
    cert.sign(key, "sha256")
    pem = os.path.join(args.cert_dir, "cert.pem")
    with open(pem, "wb") as out:
        out.write(crypto.dump_certificate(crypto.FILETYPE_PEM, cert))
        out.write(crypto.dump_privatekey(crypto.FILETYPE_PEM, key))
    der = crypto.dump_certificate(crypto.FILETYPE_ASN1, cert)
    digest = base64.b64encode(hashlib.sha256(der).digest()).decode().rstrip("=")
    with open(os.path.join(args.cert_dir, "fingerprint"), "w") as out:
        out.write("SHA256:" + digest + "\n")
    return pem


def tls_base(args):
    if not args.tls:
        return FTPHandler
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class EarlyHandshakeDTPHandler(TLS_DTPHandler):
        """Takes the client's TLS handshake before the transfer command.

        pyftpdlib closes a data connection that turns readable before RETR or STOR, but
        clients like curl start TLS on it as soon as it is connected.
        """

        def readable(self):
            if not self.receive and not self._initialized:
                return self._ssl_accepting or self._ssl_want_read
            return super().readable()

    class Base(TLS_FTPHandler):
        certfile = make_certificate(args)
        tls_control_required = True
        tls_data_required = True
        dtp_handler = EarlyHandshakeDTPHandler

    if args.tls == "implicit":
        class Implicit(Base):
            def handle(self):
                # TLS from the first byte; the greeting waits in the queue for the handshake.
                self.secure_connection(self.ssl_context)
                super().handle()

        return Implicit
    return Base


def make_handler(args):
    log_line = make_command_log(args.command_log)
    base = tls_base(args)
    drop_after = args.drop_data_after
    delay = args.reply_delay
    refused = args.refuse
    no_rename_over = args.no_rename_over
    lose_login = args.lose_login
    quit_delay = args.quit_delay
    logins = [0]

    class CuttingDTPHandler(DTPHandler):
        """Closes the data connection of a RETR or STOR after drop_after bytes."""

        def _cutting(self):
            return self.cmd in ("RETR", "STOR", "STOU", "APPE")

        def _cut(self):
            self._resp = ("426 Connection closed; transfer aborted.", logger.info)
            self.close()

        def send(self, data):
            if not self._cutting():
                return super().send(data)
            left = drop_after - self.tot_bytes_sent
            if left <= 0:
                self._cut()
                return 0
            sent = super().send(data[:left])
            if self.tot_bytes_sent >= drop_after:
                self._cut()
            return sent

        def handle_read(self):
            if not self._cutting():
                return super().handle_read()
            left = drop_after - self.tot_bytes_received
            if left <= 0:
                self._cut()
                return
            # Read no more than the cut allows, so the file holds exactly that much.
            self.ac_in_buffer_size = min(DTPHandler.ac_in_buffer_size, left)
            super().handle_read()
            if not self._closed and self.tot_bytes_received >= drop_after:
                self._cut()

        handle_read_event = handle_read

    class Handler(base):
        # A failed login answers at once; the tests need no brute-force pause.
        auth_failed_timeout = 0
        # sendfile would bypass the cutting data handler.
        use_sendfile = False

        def pre_process_command(self, line, cmd, arg):
            if cmd == "PASS":
                log_line("PASS ****")
            else:
                log_line(line)
            if lose_login and cmd == "PASS" and logins[0] >= lose_login:
                return self.respond("530 Login incorrect.")
            if cmd == "STOR" and getattr(self, "doomed", False):
                # The session is gone without a word, and its login with it.
                return self.close()
            if cmd == "QUIT" and quit_delay > 0:
                return self.ioloop.call_later(quit_delay, super().pre_process_command, line, cmd, arg)
            return super().pre_process_command(line, cmd, arg)

        def _refused(self, path):
            return refused and os.path.basename(path.rstrip("/")) == refused

        def ftp_LIST(self, path):
            if self._refused(path):
                return self.respond("550 Permission denied.")
            return super().ftp_LIST(path)

        def ftp_MLSD(self, path):
            if self._refused(path):
                return self.respond("550 Permission denied.")
            return super().ftp_MLSD(path)

        def ftp_STOR(self, file, mode="w"):
            if self._refused(file):
                return self.respond("550 Permission denied.")
            return super().ftp_STOR(file, mode)

        def ftp_RNTO(self, path):
            # Some servers will not rename over an existing file.
            if no_rename_over and self._rnfr and os.path.exists(path):
                self._rnfr = None
                return self.respond("550 File exists.")
            return super().ftp_RNTO(path)

        def on_login(self, username):
            log_line("LOGIN " + username)
            logins[0] += 1
            self.doomed = logins[0] == lose_login

        def respond(self, resp, logfun=None):
            if delay > 0:
                time.sleep(delay)
            if logfun is None:
                return super().respond(resp)
            return super().respond(resp, logfun)

    if drop_after >= 0:
        Handler.dtp_handler = CuttingDTPHandler
    elif args.tls:
        pass  # the TLS handler's own data handler
    elif args.max_rate > 0:
        # Slow enough that a test can act while a file is still moving.
        class SlowDTPHandler(ThrottledDTPHandler):
            read_limit = args.max_rate
            write_limit = args.max_rate

        Handler.dtp_handler = SlowDTPHandler
    if args.no_mlsd:
        Handler.proto_cmds = {
            name: value
            for name, value in base.proto_cmds.items()
            if name not in ("MLSD", "MLST")
        }
    if not args.site_chmod:
        Handler.proto_cmds = {
            name: value
            for name, value in Handler.proto_cmds.items()
            if name != "SITE CHMOD"
        }
    return Handler


class ControlLimitedServer(FTPServer):
    """Counts only control connections against --max-cons.

    pyftpdlib's own limit also counts the listener and every data socket, so a
    limit of N would allow fewer than N sessions.
    """

    max_control_cons = 0

    def _accept_new_cons(self):
        if not self.max_control_cons:
            return True
        sessions = sum(1 for channel in self.ioloop.socket_map.values()
                       if isinstance(channel, FTPHandler))
        # The connection being accepted is already in the map.
        return sessions <= self.max_control_cons


def main():
    args = parse_args()
    if args.silent:
        run_silent(args)
        return

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm=PERMS)
    if args.anonymous:
        authorizer.add_anonymous(args.root, perm=PERMS)

    handler = make_handler(args)
    handler.authorizer = authorizer
    server = ControlLimitedServer(("::1" if args.ipv6 else "127.0.0.1", 0), handler)
    server.max_control_cons = args.max_cons
    server.max_cons = 0
    if args.max_cons_per_ip > 0:
        server.max_cons_per_ip = args.max_cons_per_ip

    def stop(*_):
        server.close_all()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    announce(args.ready_file, server.socket.getsockname()[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
