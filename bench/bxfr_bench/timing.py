"""One client run timed under /usr/bin/time, and the repeated, checked runs of each case."""

import os
import re
import subprocess
import time

from .common import TIME, TRANSFER_TIMEOUT, WORK, say


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
        if hasattr(self.server, "settle"):
            self.server.settle()
        else:
            time.sleep(0.2)  # the server logs the last replies after the client is gone
        logins, verbs = self.server.parse(self.server.log_since(offset))
        details = self.server.describe(offset) if hasattr(self.server, "describe") else {}
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
                dict(details, seconds=seconds, rss=rss, cpu=cpu, logins=logins, verbs=verbs))

    def repeat(self, test, cases, warm_up=False):
        """cases: [(tool, prepare, command, verify, cleanup)]; the order of the tools turns
        each run so neither always goes first."""
        say("  " + test)
        first = 0 if warm_up else 1
        for n in range(first, self.args.runs + 1):
            order = cases if n % 2 == 0 else list(reversed(cases))
            for tool, prepare, command, verify, cleanup in order:
                self.case(test, tool, prepare, command, verify, cleanup, warm=(n == 0))
