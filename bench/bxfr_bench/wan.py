"""The WAN scenario: the small-file tree through the delaying proxy, bxfr against lftp and rclone."""

import os
import pwd
import shutil
import time

from .clients import Clients
from .common import MiB, say
from .data import remove, tree_sizes
from .results import fmt, median, ratio
from .loopback import big_file
from .servers import DelayProxy, Vsftpd

# The 100 ms tree: few files, as a user across the world would still move them.
WAN100_FILES = 60
WAN100_FOLDERS = 6
# The big file at 100 ms, where the set-up's round trips and TCP's window decide.
WAN_BIG = 64 * MiB


def wan_names(delay_ms, nfiles):
    """The send and get cases of one delay; the 20 ms ones keep their old names."""
    tag = "WAN" if delay_ms == 10 else "WAN %d ms" % (2 * delay_ms)
    return "%s send %d files" % (tag, nfiles), "%s get %d files" % (tag, nfiles)


def wan_test(bench, clients, key, nfiles, names):
    """The small-file tree through the delaying proxy, send and get, every tool."""
    d = bench.data
    expected = d[key + "_expected"]
    remote_src = "/pub/src/" + key
    remote_dst = "/pub/put/" + key
    server_dst = os.path.join(d["srv"], "pub", "put", key)
    local_src = os.path.join(d["local"], key)
    local_dst = os.path.join(d["local"], "got", key)

    def check(root):
        found = tree_sizes(root) if os.path.isdir(root) else {}
        return None if found == expected else "%s: %d of %d files as expected" % (
            root, sum(1 for k in expected if found.get(k) == expected[k]), len(expected))

    def clear_put():
        remove(server_dst)
        os.makedirs(os.path.dirname(server_dst), exist_ok=True)
        if isinstance(bench.server, Vsftpd):
            u = pwd.getpwnam("ftp")
            os.chown(os.path.dirname(server_dst), u.pw_uid, u.pw_gid)

    def clear_get():
        remove(local_dst)
        os.makedirs(os.path.dirname(local_dst), exist_ok=True)

    c = clients
    tools = [("bxfr", None), ("bxfr-1", 1)]
    sends = [(name, lambda n=n: c.bxfr(remote_dst, local_src, get=False, single=False, connections=n))
             for name, n in tools]
    gets = [(name, lambda n=n: c.bxfr(remote_src, local_dst, get=True, single=False, connections=n))
            for name, n in tools]
    for n in (1, 4):
        sends.append(("lftp-%d" % n, lambda n=n: c.lftp_send(local_src, remote_dst, n)))
        gets.append(("lftp-%d" % n, lambda n=n: c.lftp_get(remote_src, local_dst, n)))
        if shutil.which("rclone"):
            sends.append(("rclone-%d" % n, lambda n=n: c.rclone_send(local_src, remote_dst, n)))
            gets.append(("rclone-%d" % n, lambda n=n: c.rclone_get(remote_src, local_dst, n)))
    bench.repeat(names[0],
                 [(name, clear_put, cmd, lambda: check(server_dst), lambda: remove(server_dst))
                  for name, cmd in sends])
    bench.repeat(names[1],
                 [(name, clear_get, cmd, lambda: check(local_dst), lambda: remove(local_dst))
                  for name, cmd in gets])


def wan_scenario(bench, server, jobs, tmp, nfiles):
    """The WAN cases through a delaying proxy in front of the server, stopped afterwards: the
    tree at 20 ms, then at 100 ms the smaller tree and one big file, bxfr against curl."""
    for delay, key, count in ((10, "wan", nfiles), (50, "wan100", WAN100_FILES)):
        say("WAN scenario: %d ms each way through tests/support/fault_proxy.py on 127.0.0.2 ..." % delay)
        proxy = DelayProxy(server.port, tmp, delay)
        try:
            clients = Clients(server, jobs, "127.0.0.2", proxy.port)
            wan_test(bench, clients, key, count, wan_names(delay, count))
            if delay == 50:
                big_file(bench, "wanbig", clients=clients, label=" at 100 ms")
        finally:
            proxy.stop()


def wan_table(bench, nfiles, delay_ms=10):
    """Rows of one delay of the WAN scenario: seconds, commands per file and logins for every tool."""
    R = bench.results
    send, get = wan_names(delay_ms, nfiles)
    tools = sorted({tool for (test, tool) in R if test in (send, get)},
                   key=lambda name: (not name.startswith("bxfr"), name))
    if not tools:
        return []

    def sec(test, tool):
        return median([r["seconds"] for r in R.get((test, tool), [])])

    def per_file(test, tool):
        v = [sum(r["verbs"].values()) for r in R.get((test, tool), [])]
        return None if not v else median(v) / nfiles

    def logins(test, tool):
        v = [r["logins"] for r in R.get((test, tool), [])]
        return None if not v else max(v)

    head = ("Tool", "send s", "get s", "send commands/file", "get commands/file", "logins send/get")
    rows = [(tool, fmt(sec(send, tool), 2), fmt(sec(get, tool), 2), fmt(per_file(send, tool), 2),
             fmt(per_file(get, tool), 2), "%s/%s" % (fmt(logins(send, tool), 0), fmt(logins(get, tool), 0)))
            for tool in tools]
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"

    out = [line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + [line(r) for r in rows]

    def best(test, names):
        found = [sec(test, n) for n in names if sec(test, n)]
        return min(found) if found else None

    out.append("")
    for test, label in ((send, "send"), (get, "get")):
        peers = best(test, ("lftp-4", "rclone-4"))
        out.append("- %s: bxfr (defaults) is %sx the faster of lftp --parallel=4 and rclone --transfers 4; "
                   "bxfr with 1 connection is %sx lftp with 1 (speed ratios, higher is better)." %
                   (label, ratio(peers, sec(test, "bxfr")), ratio(sec(test, "lftp-1"), sec(test, "bxfr-1"))))
    return out


WAN_TEXT = [
    "Through our own proxy (tests/support/fault_proxy.py) on 127.0.0.2, which delays every chunk "
    "10 ms (or 50 ms) each way on the control connection and on every data connection (20 ms "
    "or 100 ms round trip); "
    "the kernel here has no netem. Median of the timed runs. bxfr runs with its defaults "
    "(4 connections) and with CONNECTIONS=1; lftp mirror with --parallel 1 and 4; rclone copy "
    "with --transfers 1 and 4. Commands per file are all the commands the server saw in one run, "
    "divided by the number of files.",
]


def big_table(bench, label=" at 100 ms"):
    """The big file at 100 ms: bxfr against curl, both ways."""
    R = bench.results
    rows = []
    for way in ("send", "get"):
        test = [t for (t, tool) in R if t.startswith(way + " ") and t.endswith(label)]
        if not test:
            continue
        b = median([r["seconds"] for r in R.get((test[0], "bxfr"), [])])
        c = median([r["seconds"] for r in R.get((test[0], "curl"), [])])
        rows.append("- %s: bxfr %s s, curl %s s: bxfr is %sx curl (speed ratio)." %
                    (test[0], fmt(b, 2), fmt(c, 2), ratio(c, b)))
    return rows


def wan_tables(bench, nfiles):
    """Both delays' tables under their headings, and the big file's line."""
    out = []
    for delay, count, folders in ((10, nfiles, 10), (50, WAN100_FILES, WAN100_FOLDERS)):
        table = wan_table(bench, count, delay)
        if table:
            out += ["", "### %d ms round trip: %d files of 4 KiB in %d folders" % (2 * delay, count, folders),
                    ""] + table
    big = big_table(bench)
    if big:
        out += ["", "### %d MiB file at 100 ms round trip" % (bench.data["wanbig_size"] // MiB), ""] + big
    return out


def wan_report(bench, info, versions, notes, sizes, started):
    table = wan_tables(bench, sizes["wan_files"])
    say()
    for t in table:
        say(t)
    md = ["# bxfr benchmark: WAN scenario", "",
          "Made by `bench/run --wan` on %s, in %.0f s." % (started.strftime("%Y-%m-%d %H:%M"),
                                                         time.monotonic() - bench.args.t0), "",
          "Machine: %s cores (nproc), %s, %s RAM, %s." % (info["nproc"], info["cpu"], info["ram"], info["os"]),
          "", "Versions: %s; %s; %s; %s; server %s." % (versions["bxfr"], versions["curl"], versions["lftp"],
                                                      versions.get("rclone", "rclone ?"), versions["server"]), ""] + WAN_TEXT + [""] + table
    md += ["", "Seconds of each timed run:", ""]
    for (test, tool), r in sorted(bench.results.items()):
        md.append("- %s, %s: %s" % (test, tool, ", ".join("%.2f" % x["seconds"] for x in r)))
    if notes or bench.failures:
        md += ["", "Notes:", ""] + ["- " + n for n in notes] + ["- failed run (not counted): " + f for f in bench.failures]
    with open(bench.args.output, "w") as f:
        f.write("\n".join(md) + "\n")
    say()
    say("Wrote " + os.path.relpath(bench.args.output, os.getcwd()))
