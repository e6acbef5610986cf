"""The SFTP report (bench/results-sftp.md): the big file on loopback, the WAN tree and the WAN file,
with requests and round trips per file and the algorithms each client agreed on."""

import os
import time

from .common import MiB, say
from .results import fmt, md_table, median, ratio


SFTP_KINDS = ("open", "close", "read", "write", "opendir", "readdir", "mkdir", "stat", "lstat", "fstat",
              "setstat", "fsetstat", "realpath", "rename", "posix-rename", "remove", "limits")


def sftp_kind_summary(kinds, nfiles):
    parts = ["%s %.2f" % (k, kinds[k] / nfiles) for k in SFTP_KINDS if kinds.get(k)]
    parts += ["%s %.2f" % (k, v / nfiles) for k, v in sorted(kinds.items()) if k not in SFTP_KINDS]
    return ", ".join(parts)


def sftp_report(bench, info, versions, notes, sizes, started, counting):
    R = bench.results
    mib = sizes["sftp_big"] // MiB
    wan_mib = sizes["sftp_wan_big"] // MiB
    nfiles = sizes["wan_files"]

    def sec(test, tool):
        return median([r["seconds"] for r in R.get((test, tool), [])])

    def rss(test, tool):
        v = [r["rss"] for r in R.get((test, tool), []) if r["rss"] is not None]
        return max(v) / 1024 if v else None

    def cpu_of(test, tool):
        return median([r.get("cpu") for r in R.get((test, tool), [])])

    def file_table(where, size_mib, with_requests):
        rows = []
        for what in ("put", "get"):
            test = "%s %s %d MiB" % (where, what, size_mib)
            a, b = sec(test, "bxfr"), sec(test, "sftp")
            row = ["%d MiB file, %s" % (size_mib, what), fmt(a and size_mib / a), fmt(b and size_mib / b),
                   ratio(b, a), fmt(cpu_of(test, "bxfr"), 2), fmt(cpu_of(test, "sftp"), 2),
                   fmt(rss(test, "bxfr")), fmt(rss(test, "sftp"))]
            if with_requests:
                row += ["%s/%s" % (fmt(requests(test, "bxfr"), 0), fmt(requests(test, "sftp"), 0)),
                        "%s/%s" % (fmt(waits(test, "bxfr"), 0), fmt(waits(test, "sftp"), 0))]
            rows.append(row)
        head = ["Test", "bxfr MiB/s", "sftp MiB/s", "bxfr / sftp", "bxfr CPU s", "sftp CPU s",
                "bxfr peak RSS MiB", "sftp peak RSS MiB"]
        if with_requests:
            head += ["requests bxfr/sftp", "round trips bxfr/sftp"]
        return md_table(head, rows)

    def requests(test, tool):
        v = [sum(r["verbs"].values()) for r in R.get((test, tool), [])]
        return median(v) if v and counting else None

    def waits(test, tool):
        return median([r.get("waits") for r in R.get((test, tool), [])]) if counting else None

    big = file_table("SFTP", mib, False)
    wan_big = file_table("SFTP WAN", wan_mib, True)

    send, get = "SFTP WAN send %d files" % nfiles, "SFTP WAN get %d files" % nfiles
    tools = sorted({tool for (test, tool) in R if test in (send, get)},
                   key=lambda name: (not name.startswith("bxfr"), name))

    def per_file(test, tool):
        v = [sum(r["verbs"].values()) for r in R.get((test, tool), [])]
        return median(v) / nfiles if v and counting else None

    def sessions(test, tool):
        v = [r["logins"] for r in R.get((test, tool), [])]
        return fmt(max(v), 0) if v and counting else "n/a"

    def cpu(test, tool):
        v = [r["cpu"] for r in R.get((test, tool), []) if r.get("cpu") is not None]
        return fmt(median(v), 2) if v else "n/a"

    def trips(test, tool):
        v = waits(test, tool)
        return None if v is None else v / nfiles

    wan_rows = [(tool, fmt(sec(send, tool), 2), fmt(sec(get, tool), 2), fmt(per_file(send, tool), 2),
                 fmt(per_file(get, tool), 2), "%s/%s" % (fmt(trips(send, tool), 2), fmt(trips(get, tool), 2)),
                 "%s/%s" % (sessions(send, tool), sessions(get, tool)),
                 "%s/%s" % (cpu(send, tool), cpu(get, tool)))
                for tool in tools]
    wan = md_table(("Tool", "send s", "get s", "send requests/file", "get requests/file",
                    "round trips/file send/get", "sessions send/get", "CPU s send/get"), wan_rows)

    def best(test, names):
        found = [(sec(test, n), n) for n in names if sec(test, n)]
        return min(found) if found else (None, "none")

    wan.append("")
    for test, label in ((send, "send"), (get, "get")):
        for n in (4, 1):
            peer_s, peer = best(test, ("lftp-%d" % n, "rclone-%d" % n))
            wan.append("- %s, %d connection%s: bxfr is %sx the best peer (%s) (speed ratio, higher is better)." %
                       (label, n, "s" if n > 1 else "", ratio(peer_s, sec(test, "bxfr-%d" % n)), peer))

    say()
    for t in big + [""] + wan + [""] + wan_big:
        say(t)
    md = ["# bxfr benchmark: SFTP", "",
          "Made by `bench/run --sftp-only%s` on %s, in %.0f s." % (" --quick" if bench.args.quick else "",
                                                               started.strftime("%Y-%m-%d %H:%M"),
                                                               time.monotonic() - bench.args.t0), "",
          "Machine: %s cores (nproc), %s, %s RAM, %s." % (info["nproc"], info["cpu"], info["ram"], info["os"]),
          "", "Versions: %s (%s); %s; %s; %s; server %s." % (
              versions["bxfr"], versions["ssh_library"], versions["openssh"], versions["lftp"],
              versions.get("rclone", "rclone ?"), versions["server"]), "",
          "## A %d MiB file on loopback" % mib, "",
          "bxfr against OpenSSH's `sftp` in batch mode, one after the other against the same sshd on "
          "127.0.0.1 (requests not logged there), median of %d timed runs after one untimed warm-up "
          "each; every run's copy was checked (size and SHA-256) before its time counted. Times are "
          "wall-clock for the whole client process (start, key exchange, login, transfer); peak "
          "memory is the largest `Maximum resident set size` of `/usr/bin/time -v`; CPU is user and "
          "system seconds of the client's processes (ssh included for sftp), median over the runs."
          % bench.args.runs, ""]
    md += big
    md += ["", "## %d files of 4 KiB in 10 folders, 10 ms each way" % nfiles, "",
           "Through our own proxy (tests/support/fault_proxy.py --raw --delay-ms 10) on 127.0.0.2, which "
           "relays the SSH connection's bytes unread and delays every chunk 10 ms each way (20 ms round "
           "trip); the kernel here has no netem. Median of %d timed runs. bxfr with `--connections 4` "
           "and 1, lftp `mirror --parallel=4` and 1, rclone copy `--transfers 4` and 1. Requests per "
           "file: every SFTP request the server saw in a run, divided by the number of files (median "
           "over the runs); round trips per file: how often a session's next request came 10 ms or more "
           "after its last message, that is, the server waited a round trip for the client (from the "
           "times the sink received internal-sftp's messages; median over the runs, divided by the "
           "number of files); sessions: the most SFTP sessions it saw in a run; CPU: user and system "
           "seconds of the client's processes (`/usr/bin/time`, ssh included for lftp), median over "
           "the runs." % bench.args.runs, ""]
    md += wan
    md += ["", "## A %d MiB file, 10 ms each way" % wan_mib, "",
           "The same proxy and the same sshd as the small files (requests logged), bxfr against "
           "OpenSSH's `sftp`, median of %d timed runs after one untimed warm-up each, every copy "
           "checked. Requests and round trips as above, for the one file (median over the runs)."
           % bench.args.runs, ""]
    md += wan_big
    md += ["", "Algorithms each client agreed on with sshd (client->server cipher [+ MAC], key "
           "exchange, host key; from sshd's log, first timed run):", ""]
    seen = {}
    for (test, tool), r in sorted(R.items()):
        if r and r[0].get("algorithms"):
            seen.setdefault(tool, set()).add(r[0]["algorithms"])
    md += ["- %s: %s" % (tool, "; ".join(sorted(algos))) for tool, algos in sorted(seen.items())]
    if counting:
        md += ["", "SFTP requests per file of the first timed run, by kind:", ""]
        for test in (send, get):
            for tool in tools:
                r = R.get((test, tool))
                if r:
                    md.append("- %s, %s: %s" % (test.replace("SFTP WAN ", ""), tool,
                                                sftp_kind_summary(r[0]["verbs"], nfiles)))
        for what in ("put", "get"):
            test = "SFTP WAN %s %d MiB" % (what, wan_mib)
            for tool in ("bxfr", "sftp"):
                r = R.get((test, tool))
                if r:
                    md.append("- %s, %s: %s" % (test.replace("SFTP WAN ", ""), tool,
                                                sftp_kind_summary(r[0]["verbs"], 1)))
    md += ["", "Clients as run:", "",
           "- bxfr: `bxfr -q [--connections N] JOB.bxt` (PROTOCOL=sftp, USER and PASS of the test "
           "account, FINGERPRINT of the server's host key, FORCEBIN=1; SINGLE=1 for the big file)",
           "- sftp: `sftp -q -b BATCH -P PORT -i KEY -o StrictHostKeyChecking=no "
           "-o UserKnownHostsFile=/dev/null USER@127.0.0.1`, the batch `put SRC DST` or `get SRC DST`",
           "- lftp: `lftp -e 'set sftp:connect-program \"ssh -a -x -o StrictHostKeyChecking=no "
           "-o UserKnownHostsFile=/dev/null -i KEY\"; set net:max-retries 1; set net:timeout 60; "
           "set cmd:parallel N; set mirror:parallel-transfer-count N; mirror [-R] --parallel=N SRC DST; "
           "bye' sftp://USER:@127.0.0.2:PORT`",
           "- rclone: `rclone copy --transfers N --checkers N --sftp-disable-hashcheck --config /dev/null "
           "-q SRC DST` with the remote `:sftp,host=127.0.0.2,port=PORT,user=USER,pass=OBSCURED,"
           "known_hosts_file=FILE:PATH`", ""]
    md += ["Seconds of each timed run:", ""]
    for (test, tool), r in sorted(R.items()):
        md.append("- %s, %s: %s" % (test, tool, ", ".join("%.2f" % x["seconds"] for x in r)))
    md += ["", "Server: OpenSSH's sshd as the tests start it (tests/support/sshd_server.py), SFTP only "
           "(internal-sftp), listening on 127.0.0.1. For the small files its `--syslog-sink` stands in "
           "for the machine's missing syslog daemon and internal-sftp logs every request (DEBUG3), the "
           "same for every client; the big file goes through a second sshd that logs requests nowhere."]
    if notes or bench.failures:
        md += ["", "Notes:", ""] + ["- " + n for n in notes]
        md += ["- failed run (not counted): " + f for f in bench.failures]
    with open(bench.args.output, "w") as f:
        f.write("\n".join(md) + "\n")
    say()
    say("Wrote " + os.path.relpath(bench.args.output, os.getcwd()))
    if bench.failures:
        say("%d run(s) failed and were not counted:" % len(bench.failures))
        for f in bench.failures:
            say("  " + f)
