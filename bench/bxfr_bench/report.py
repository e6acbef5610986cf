"""The report of the FTP run (bench/results.md, or --tls-only's): the table on screen and in Markdown."""

import os
import time

from .common import MiB, say
from .results import fmt, median, ratio, verb_summary
from .wan import WAN_TEXT, wan_report, wan_tables


def report(bench, info, versions, notes, sizes, started):
    if bench.args.wan:
        return wan_report(bench, info, versions, notes, sizes, started)
    R = bench.results
    runs = bench.args.runs
    mib = sizes["big"] // MiB
    nfiles = sizes["files"]

    def vals(test, tool, key):
        return [r[key] for r in R.get((test, tool), [])]

    def sec(test, tool):
        return median(vals(test, tool, "seconds"))

    def rss(test, tool):
        v = [x for x in vals(test, tool, "rss") if x is not None]
        return max(v) / 1024 if v else None

    def rate(amount, test, tool):
        s = sec(test, tool)
        return None if not s else amount / s

    def logins(test, tool):
        v = vals(test, tool, "logins")
        return None if not v else max(v)

    def commands(test, tool):
        v = [sum(r["verbs"].values()) for r in R.get((test, tool), [])]
        return median(v)

    rows = []
    send_big, get_big = "send %d MiB" % mib, "get %d MiB" % mib
    send_f = "send %d files" % nfiles
    get_f = "get %d files" % nfiles
    get_t = "get %d folders" % sizes["folders"]
    files_label = "%d files of 4 KiB in 20 folders" % nfiles
    for test, what in ((send_big, "%d MiB file, send" % mib), (get_big, "%d MiB file, get" % mib)):
        a, b = rate(mib, test, "bxfr"), rate(mib, test, "curl")
        rows.append((what, "throughput MiB/s (higher is better)", fmt(a), fmt(b),
                     "curl -T" if "send" in test else "curl -o", ratio(a, b)))
    tls_mib = sizes["tls"] // MiB
    for test, what in (("send %d MiB over TLS" % tls_mib, "%d MiB file over FTP over TLS (explicit), send" % tls_mib),
                       ("get %d MiB over TLS" % tls_mib, "%d MiB file over FTP over TLS (explicit), get" % tls_mib)):
        if (test, "bxfr") not in R:
            continue
        a, b = rate(tls_mib, test, "bxfr"), rate(tls_mib, test, "curl")
        rows.append((what, "throughput MiB/s (higher is better)", fmt(a), fmt(b),
                     "curl --ssl-reqd -T" if "send" in test else "curl --ssl-reqd -o", ratio(a, b)))
    for test, what in ((send_f, files_label + ", send"), (get_f, files_label + ", get")):
        a, b = rate(nfiles, test, "bxfr"), rate(nfiles, test, "lftp")
        rows.append((what, "files/s (higher is better)", fmt(a), fmt(b),
                     "lftp mirror -R" if "send" in test else "lftp mirror", ratio(a, b)))
    for test, what, ref in ((send_big, "%d MiB file, send" % mib, "curl"),
                            (get_big, "%d MiB file, get" % mib, "curl"),
                            (send_f, files_label + ", send", "lftp"),
                            (get_f, files_label + ", get", "lftp")):
        a, b = rss(test, "bxfr"), rss(test, ref)
        rows.append((what, "peak resident memory MiB", fmt(a), fmt(b), ref, ratio(a, b)))
    for test, what in ((send_f, files_label + ", send"), (get_f, files_label + ", get"),
                       (get_t, "tree of %d folders, get" % sizes["folders"])):
        a, b = commands(test, "bxfr"), commands(test, "lftp")
        rows.append((what, "FTP commands the server saw", fmt(a, 0), fmt(b, 0), "lftp", ratio(a, b)))
    a, b = sec(get_t, "bxfr"), sec(get_t, "lftp")
    rows.append(("tree of %d folders, get" % sizes["folders"], "time s (lower is better)",
                 fmt(a, 2), fmt(b, 2), "lftp mirror", ratio(a, b)))
    a, b = logins(get_t, "bxfr"), logins(get_t, "lftp")
    rows.append(("tree of %d folders, get" % sizes["folders"], "logins the server saw",
                 fmt(a, 0), fmt(b, 0), "lftp mirror", ratio(a, b)))

    if bench.args.tls_only:
        rows = [r for r in rows if "over TLS" in r[0]]
    head = ("Test", "Measure", "bxfr", "Reference", "Reference tool", "bxfr / ref")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"

    table = [line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + [line(r) for r in rows]

    say()
    say("Results (median of %d runs each; server: %s)" % (runs, versions["server"]))
    for t in table:
        say(t)

    md = ["# bxfr benchmark", "",
          "Made by `bench/run%s` on %s, in %.0f s." % (" --quick" if bench.args.quick else "",
                                                       started.strftime("%Y-%m-%d %H:%M"),
                                                       time.monotonic() - bench.args.t0), "",
          "Machine: %s cores (nproc), %s, %s RAM, %s." % (info["nproc"], info["cpu"], info["ram"], info["os"]),
          "",
          "Versions: %s; %s; %s; server %s." % (versions["bxfr"], versions["curl"], versions["lftp"],
                                                versions["server"]), "",
          "Every figure is the median of %d timed runs (the big file's after one untimed warm-up "
          "run each, so the page cache is alike for both clients); each run's "
          "bytes were checked (sizes of every file; SHA-256 of the big file once per client and "
          "direction) before its time counted. Times are wall-clock for the whole client process "
          "(start, login, transfer, quit) against the same server on 127.0.0.1, with `sync` "
          "before each run. Peak memory is the largest `Maximum resident set size` of "
          "`/usr/bin/time -v` over the runs." % runs, ""]
    md += table + [""]
    md += ["Server commands of one run, by verb:", ""]
    for test in (send_f, get_f, get_t):
        for tool in ("bxfr", "lftp"):
            r = R.get((test, tool))
            if r:
                md.append("- %s, %s: %s" % (test, tool, verb_summary(r[0]["verbs"])))
    md += ["", "Clients as run:", "",
           "- bxfr: `bxfr -q JOB.bxt` (PASSIVE=1, FORCEBIN=1; SINGLE=1 for the big file; PROTOCOL=ftpes "
           "and FINGERPRINT of the server's self-signed certificate over TLS)",
           "- curl over TLS: the same with `--ssl-reqd --cacert CERT` (vsftpd with `require_ssl_reuse=YES`)",
           "- curl: `curl -sS -u USER:PASS --ftp-create-dirs -T FILE URL` and `curl -sS -u USER:PASS -o FILE URL`",
           "- lftp: `lftp -u USER,PASS -p PORT -e 'set ftp:ssl-allow no; set net:max-retries 1; "
           "set net:timeout 60; set cmd:parallel 1; set mirror:parallel-transfer-count 1; "
           "mirror [-R] SRC DST; bye' 127.0.0.1` (one connection)", ""]
    md += ["Seconds of each timed run:", ""]
    for (test, tool), r in sorted(R.items()):
        md.append("- %s, %s: %s" % (test, tool, ", ".join("%.2f" % x["seconds"] for x in r)))
    wan = wan_tables(bench, sizes["wan_files"])
    if wan:
        md += ["", "## WAN", ""] + WAN_TEXT + wan
    md += ["", "Server: standalone, listening on 127.0.0.1 only, its own config and log in a "
           "temporary folder; passive mode on 127.0.0.1. Logins and commands are counted from "
           "its log (vsftpd `log_ftp_protocol`, or the `LOGIN ` lines of pyftpdlib's "
           "`--command-log`)."]
    if notes or bench.failures:
        md += ["", "Notes:", ""]
        md += ["- " + n for n in notes]
        md += ["- failed run (not counted): " + f for f in bench.failures]
    out = bench.args.output
    with open(out, "w") as f:
        f.write("\n".join(md) + "\n")
    say()
    say("Wrote " + os.path.relpath(out, os.getcwd()))
    if bench.failures:
        say("%d run(s) failed and were not counted:" % len(bench.failures))
        for f in bench.failures:
            say("  " + f)
