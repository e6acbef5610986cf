"""Command lines of the FTP clients (bxfr, curl, lftp, rclone) for one transfer each."""

import os

from .common import BXFR, run_text


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
