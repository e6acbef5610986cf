"""A scripted FTP server whose listings try to escape the target folder.

Anyone logs in. Every folder lists "../x", "/etc/x", "a\\..\\b", a name with terminal
escapes, "good.txt" and
a folder "loop"; a folder whose path ends in "loop" lists "loop" again, so the
tree never ends. RETR sends b"hostile\\n" (of "stall.bin": nothing, ever); STOR is read and
thrown away. The user "nobody" is refused at once.
Run with /usr/bin/python3; the port is written to --ready-file.
"""

import argparse
import signal
import socket
import sys
import threading

from ready_file import announce

# The last but one would retitle a terminal that printed it raw.
HOSTILE_FILES = ["../x", "/etc/x", "a\\..\\b", "x\x1b]0;pwned\x07y", "good.txt"]
FILE_BODY = b"hostile\n"


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--command-log")
    parser.add_argument("--mlsd", action="store_true")
    return parser.parse_args()


class Session(threading.Thread):
    def __init__(self, conn, args, log_lock):
        super().__init__(daemon=True)
        self.conn = conn
        self.args = args
        self.log_lock = log_lock
        self.cwd = "/"
        self.passive = None
        self.reader = conn.makefile("rb")

    def log(self, line):
        if not self.args.command_log:
            return
        with self.log_lock:
            with open(self.args.command_log, "a", encoding="utf-8",
                      errors="replace") as out:
                out.write(line + "\n")
                out.flush()

    def reply(self, text):
        self.conn.sendall((text + "\r\n").encode("utf-8"))

    def entries(self):
        names = [(name, False) for name in HOSTILE_FILES]
        names.append(("loop", True))
        return names

    def listing(self, verb):
        lines = []
        for name, folder in self.entries():
            if verb == "MLSD":
                kind = "dir" if folder else "file"
                size = 0 if folder else len(FILE_BODY)
                lines.append("type=%s;size=%d;modify=20240101120000; %s"
                             % (kind, size, name))
            else:
                mode = "drwxr-xr-x" if folder else "-rw-r--r--"
                size = 0 if folder else len(FILE_BODY)
                lines.append("%s 1 owner group %8d Jan 01 12:00 %s"
                             % (mode, size, name))
        return "".join(line + "\r\n" for line in lines).encode("utf-8")

    def open_passive(self):
        if self.passive is not None:
            self.passive.close()
        self.passive = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.passive.bind(("127.0.0.1", 0))
        self.passive.listen(1)
        self.passive.settimeout(10)
        return self.passive.getsockname()[1]

    def data_connection(self):
        if self.passive is None:
            self.reply("425 Use PASV or EPSV first.")
            return None
        self.reply("150 Opening data connection.")
        try:
            data, _ = self.passive.accept()
        except OSError:
            self.reply("425 Can't open data connection.")
            return None
        finally:
            self.passive.close()
            self.passive = None
        data.settimeout(10)
        return data

    def send_data(self, payload):
        data = self.data_connection()
        if data is None:
            return
        try:
            data.sendall(payload)
        finally:
            data.close()
        self.reply("226 Transfer complete.")

    def receive_data(self):
        data = self.data_connection()
        if data is None:
            return
        try:
            while data.recv(65536):
                pass
        except OSError:
            pass
        finally:
            data.close()
        self.reply("226 Transfer complete.")

    def change_folder(self, arg):
        if arg == "..":
            self.cwd = self.cwd.rstrip("/").rsplit("/", 1)[0] or "/"
        elif arg.startswith("/"):
            self.cwd = arg
        elif arg:
            self.cwd = self.cwd.rstrip("/") + "/" + arg
        self.reply("250 CWD command successful.")

    def feat(self):
        lines = ["211-Features:", " EPSV", " PASV", " SIZE", " UTF8"]
        if self.args.mlsd:
            lines.append(" MLST type*;size*;modify*;")
        lines.append("211 End")
        self.reply("\r\n".join(lines))

    def handle(self, line):
        verb, _, arg = line.partition(" ")
        verb = verb.upper()
        if verb == "USER":
            self.reply("530 No such user." if arg == "nobody" else "331 Password required.")
        elif verb == "PASS":
            self.reply("230 Logged in.")
        elif verb == "SYST":
            self.reply("215 UNIX Type: L8")
        elif verb == "FEAT":
            self.feat()
        elif verb in ("OPTS", "TYPE", "NOOP", "MODE", "STRU", "ALLO"):
            self.reply("200 OK.")
        elif verb in ("PWD", "XPWD"):
            self.reply('257 "%s" is the current directory.'
                       % self.cwd.replace('"', '""'))
        elif verb in ("CWD", "XCWD"):
            self.change_folder(arg)
        elif verb in ("CDUP", "XCUP"):
            self.change_folder("..")
        elif verb in ("MKD", "XMKD"):
            self.reply('257 "%s" created.' % arg.replace('"', '""'))
        elif verb == "SIZE":
            self.reply("213 %d" % len(FILE_BODY))
        elif verb == "MDTM":
            self.reply("213 20240101120000")
        elif verb == "PASV":
            port = self.open_passive()
            self.reply("227 Entering Passive Mode (127,0,0,1,%d,%d)."
                       % (port >> 8, port & 0xFF))
        elif verb == "EPSV":
            port = self.open_passive()
            self.reply("229 Entering Extended Passive Mode (|||%d|)." % port)
        elif verb in ("LIST", "NLST"):
            self.send_data(self.listing("LIST"))
        elif verb == "MLSD" and self.args.mlsd:
            self.send_data(self.listing("MLSD"))
        elif verb == "RETR" and arg.endswith("stall.bin"):
            self.reply("150 Here it comes, some day.")
        elif verb == "RETR":
            self.send_data(FILE_BODY)
        elif verb in ("STOR", "APPE", "STOU"):
            self.receive_data()
        elif verb in ("DELE", "RMD", "XRMD", "RNTO", "SITE"):
            self.reply("250 OK.")
        elif verb == "RNFR":
            self.reply("350 Ready.")
        elif verb == "REST":
            self.reply("350 Restarting.")
        elif verb == "QUIT":
            self.reply("221 Goodbye.")
            return False
        else:
            self.reply("502 Command not implemented.")
        return True

    def run(self):
        try:
            self.reply("220 Welcome.")
            for raw in self.reader:
                line = raw.decode("utf-8", errors="replace").rstrip("\r\n")
                self.log("PASS ****" if line.upper().startswith("PASS") else line)
                if not self.handle(line):
                    break
        except OSError:
            pass
        finally:
            if self.passive is not None:
                self.passive.close()
            self.conn.close()


def main():
    args = parse_args()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def stop(*_):
        listener.close()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    log_lock = threading.Lock()
    announce(args.ready_file, listener.getsockname()[1])
    while True:
        conn, _ = listener.accept()
        Session(conn, args, log_lock).start()


if __name__ == "__main__":
    main()
