"""The benchmark's command line: options, build, FTP server and test data, then each scenario."""

import argparse
import datetime
import os
import pwd
import re
import shutil
import sys
import tempfile
import time

from .build import build
from .clients import Clients
from .common import BENCH, BXFR, TIME, WORK, MiB, run_text, say
from .data import make_tree, remove, write_random_pair
from .loopback import big_file
from .report import report
from .results import machine_info
from .servers import Pyftpdlib, Vsftpd
from .sftp import sftp_main
from .small_files import tree_test
from .timing import Bench
from .tls import tls_file
from .wan import WAN100_FILES, WAN100_FOLDERS, WAN_BIG, wan_scenario


def main():
    parser = argparse.ArgumentParser(description="Benchmarks bxfr against curl and lftp.")
    parser.add_argument("--quick", action="store_true", help="small sizes, for a fast check")
    parser.add_argument("--wan", action="store_true", help="only the WAN scenario (20 ms round trip)")
    parser.add_argument("--runs", type=int, default=3, help="timed runs of each case (default 3)")
    parser.add_argument("--server", choices=("auto", "vsftpd", "pyftpdlib"), default="auto")
    parser.add_argument("--big", type=int, metavar="MIB", help="size of the loopback big file in MiB "
                        "(default 1024; 64 with --quick)")
    parser.add_argument("--keep", action="store_true", help="keep bench/work/data afterwards")
    parser.add_argument("--tls-only", action="store_true",
                        help="measure only the file over FTP over TLS (written to bench/results-tls.md)")
    parser.add_argument("--sftp-only", action="store_true",
                        help="measure only the SFTP cases (written to bench/results-sftp.md)")
    parser.add_argument("--output", help="Markdown file (default bench/results.md; "
                                         "bench/work/results-quick.md with --quick)")
    args = parser.parse_args()
    args.t0 = time.monotonic()
    args.runs = max(1, args.runs)
    if not args.output:
        args.output = (os.path.join(WORK, "results-sftp-quick.md") if args.quick and args.sftp_only else
                       os.path.join(BENCH, "results-sftp.md") if args.sftp_only else
                       os.path.join(WORK, "results-quick.md") if args.quick else
                       os.path.join(BENCH, "results-tls.md") if args.tls_only else
                       os.path.join(BENCH, "results-wan.md") if args.wan else os.path.join(BENCH, "results.md"))
    started = datetime.datetime.now()

    missing = [t for t in ("cmake", "ninja", "lftp") + (() if args.sftp_only else ("curl",))
               if not shutil.which(t)]
    missing += [p for p in (TIME,) if not os.access(p, os.X_OK)]
    if missing:
        sys.exit("bench/run: missing %s; run tools/install-deps" % ", ".join(missing))

    sizes = ({"big": 64 * MiB, "tls": 32 * MiB, "files": 200, "folders": 50, "wan_files": 60} if args.quick else
             {"big": 1024 * MiB, "tls": 256 * MiB, "files": 2000, "folders": 500, "wan_files": 200})
    if args.big:
        sizes["big"] = args.big * MiB
    if args.tls_only:
        sizes["big"] = MiB

    os.makedirs(WORK, exist_ok=True)
    notes = []
    build_note = build()
    if build_note:
        notes.append(build_note)
    versions = {"bxfr": run_text([BXFR, "--version"]),
                "curl": (run_text(["curl", "--version"]).splitlines() or ["curl ?"])[0].split(" (")[0],
                "lftp": "lftp " + (re.findall(r"Version ([\d.]+)", run_text(["lftp", "--version"])) or ["?"])[0],
                "rclone": (run_text(["rclone", "version"]).splitlines() or ["rclone ?"])[0]}
    if args.sftp_only:
        return sftp_main(args, versions, notes, started)

    data_dir = os.path.join(WORK, "data")
    remove(data_dir)
    tmp = tempfile.mkdtemp(prefix="bxfr-bench-")
    os.chmod(tmp, 0o755)
    srv = os.path.join(data_dir, "srv")
    local = os.path.join(data_dir, "local")
    jobs = os.path.join(data_dir, "jobs")
    for p in (os.path.join(srv, "pub", "src"), os.path.join(srv, "pub", "put"), local, jobs):
        os.makedirs(p)
    os.chmod(data_dir, 0o755)

    server = None
    try:
        kinds = {"auto": (Vsftpd, Pyftpdlib), "vsftpd": (Vsftpd,), "pyftpdlib": (Pyftpdlib,)}[args.server]
        for kind in kinds:
            candidate = kind(srv, tmp)
            try:
                candidate.start()
                server = candidate
                break
            except Exception as error:  # noqa: BLE001 - any start-up failure means: try the next
                candidate.stop()
                say("%s cannot run here (%s)" % (kind.name, error))
                if kind is Vsftpd and Pyftpdlib in kinds:
                    say("falling back to pyftpdlib (tests/support/ftp_server.py)")
                    notes.append("vsftpd could not run (%s); the pyftpdlib test server was used" % error)
        if server is None:
            sys.exit("bench/run: no FTP server could be started")
        versions["server"] = server.version()
        say("FTP server: %s on 127.0.0.1:%d (user %s)" % (versions["server"], server.port, server.user))

        say("Making test data ...")
        data = {"srv": srv, "local": local}
        if not args.wan:
            data["big_size"] = sizes["big"]
            data["big_local"] = os.path.join(local, "big.bin")
            data["big_remote"] = "/pub/src/big.bin"
            data["big_sha"] = write_random_pair([data["big_local"], os.path.join(srv, "pub", "src", "big.bin")],
                                                sizes["big"])
            data["files_expected"] = make_tree([os.path.join(local, "files"), os.path.join(srv, "pub", "src", "files")],
                                               20, sizes["files"] // 20, 4096, "f%05d.dat")
            data["tree_expected"] = make_tree([os.path.join(srv, "pub", "src", "tree")],
                                              sizes["folders"], 1, 100, "f%05d.txt")
            if isinstance(server, Vsftpd):
                u = pwd.getpwnam("ftp")
                os.chown(os.path.join(srv, "pub", "put"), u.pw_uid, u.pw_gid)
        data["wan_expected"] = make_tree([os.path.join(local, "wan"), os.path.join(srv, "pub", "src", "wan")],
                                         10, sizes["wan_files"] // 10, 4096, "w%05d.dat")
        data["wan100_expected"] = make_tree([os.path.join(local, "wan100"), os.path.join(srv, "pub", "src", "wan100")],
                                            WAN100_FOLDERS, WAN100_FILES // WAN100_FOLDERS, 4096, "w%05d.dat")
        if not args.tls_only:
            data["wanbig_size"] = WAN_BIG
            data["wanbig_local"] = os.path.join(local, "wanbig.bin")
            data["wanbig_remote"] = "/pub/src/wanbig.bin"
            data["wanbig_sha"] = write_random_pair(
                [data["wanbig_local"], os.path.join(srv, "pub", "src", "wanbig.bin")], WAN_BIG)
        bench = Bench(args, server, Clients(server, jobs), data)
        if not args.wan:
            say("Measuring (%d timed runs each; the big file after one warm-up) ..." % args.runs)
            if not args.tls_only:
                big_file(bench)
            remove(data["big_local"])
            remove(os.path.join(srv, "pub", "src", "big.bin"))
            tls_file(bench, server, data, sizes["tls"], notes)
        if not args.wan and not args.tls_only:
            tree_test(bench, "send %d files" % sizes["files"], "get %d files" % sizes["files"], "files", True)
            tree_test(bench, None, "get %d folders" % sizes["folders"], "tree", False)
        if not args.tls_only:
            wan_scenario(bench, server, jobs, tmp, sizes["wan_files"])

        info = machine_info()
        report(bench, info, versions, notes, sizes, started)
        return 1 if bench.failures else 0
    finally:
        if server:
            server.stop()
        shutil.rmtree(tmp, ignore_errors=True)
        if not args.keep:
            remove(data_dir)
        for name in ("time.txt",):
            remove(os.path.join(WORK, name))
