"""The demo transfer: a loopback FTP server, a sample tree sent with bxfr and got back.

Usage: demo.py PATH-TO-BXFR [--keep]
Exits 0 when the tree that came back is the one that was sent.
"""

import filecmp
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "tests", "support", "ftp_server.py")
USER, PASSWORD = "demo", "demo-secret"


def make_tree(root):
    """A few hundred files, some megabytes, subfolders and a name with a blank."""
    rng = random.Random(3)
    count, size = 0, 0
    for folder in ["", "css", "img", "img/photos", "docs", "docs/old pages", "js/lib"]:
        path = os.path.join(root, folder)
        os.makedirs(path, exist_ok=True)
        for i in range(45):
            name = os.path.join(path, "page %d.html" % i if i % 9 == 0 else "file%03d.dat" % i)
            length = rng.choice([0, 17, 900, 4096, 20000, 65536]) if i % 15 else 300000
            with open(name, "wb") as out:
                if name.endswith(".html"):
                    # Pages go as ASCII, so they hold text lines as pages do.
                    line = b"<p>Brindle FTP Wizard demo page, line %d</p>\n"
                    body = b"".join(line % n for n in range(length // 40))
                    out.write(body)
                    length = len(body)
                else:
                    out.write(rng.randbytes(length))
            count += 1
            size += length
    return count, size


def start_server(work):
    root = os.path.join(work, "server")
    os.makedirs(root)
    ready = os.path.join(work, "ready")
    log = open(os.path.join(work, "server.log"), "w")
    server = subprocess.Popen(
        [sys.executable, SERVER, "--root", root, "--user", USER, "--password", PASSWORD, "--ready-file", ready],
        stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 15
    while not os.path.exists(ready):
        if server.poll() is not None or time.monotonic() > deadline:
            server.kill()
            sys.exit("demo: the FTP server did not start; see " + log.name)
        time.sleep(0.05)
    with open(ready) as f:
        return server, int(f.read().strip()), root


def write_bxt(path, port, local, remote, get, log):
    with open(path, "w", newline="\r\n") as out:
        out.write("; Brindle FTP Wizard transfer file written by the demo\n")
        out.write("[BXFR]\n")
        out.write("SERVER=127.0.0.1\nPORT=%d\nUSER=%s\nPASS=%s\nPASSIVE=1\n" % (port, USER, PASSWORD))
        out.write("SERVERPATH=%s\nLOCALPATH=%s\nLOG=%s\nGET=%d\n" % (remote, local, log, 1 if get else 0))


def same_trees(a, b):
    cmp = filecmp.dircmp(a, b)
    if cmp.left_only or cmp.right_only or cmp.funny_files:
        print("  only in %s: %s" % (a, cmp.left_only))
        print("  only in %s: %s" % (b, cmp.right_only))
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, cmp.common_files, shallow=False)
    if mismatch or errors:
        print("  different in %s: %s" % (a, mismatch + errors))
        return False
    return all(same_trees(os.path.join(a, d), os.path.join(b, d)) for d in cmp.common_dirs)


def run(bxfr, bxt):
    started = time.monotonic()
    result = subprocess.run([bxfr, bxt], stdout=subprocess.DEVNULL)
    return result.returncode, time.monotonic() - started


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    bxfr = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="bxfr-demo-")
    server, port, server_root = start_server(work)
    try:
        sent = os.path.join(work, "site")
        got = os.path.join(work, "fetched")
        log = os.path.join(work, "transfer.log")
        count, size = make_tree(sent)
        print("demo: FTP server on 127.0.0.1:%d serving %s" % (port, server_root))
        print("demo: sample tree %s: %d files, %.1f MB" % (sent, count, size / 1048576))

        steps = [
            ("send", sent, False, os.path.join(server_root, "www"), "the server's copy differs from the sample tree"),
            ("get", got, True, got, "the tree that came back differs from the one sent"),
        ]
        os.makedirs(got)
        for name, local, get, copy, differs in steps:
            bxt = os.path.join(work, name + ".bxt")
            write_bxt(bxt, port, local, "/www", get, log)
            code, seconds = run(bxfr, bxt)
            print("demo: bxfr %s -> exit %d in %.2f s" % (bxt, code, seconds))
            if code != 0:
                return fail(work, log)
            if not same_trees(sent, copy):
                print("demo: " + differs)
                return fail(work, log)
        print("demo: the tree that came back in %s is the one sent: OK" % got)
        print("demo: the transfer log is %s" % log)
        return 0
    finally:
        server.terminate()
        server.wait(10)


def fail(work, log):
    print("demo: FAILED; the transfer log is %s, the files are under %s" % (log, work))
    return 1


if __name__ == "__main__":
    sys.exit(main())
