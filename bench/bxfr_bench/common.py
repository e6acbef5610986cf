"""Paths, constants and the small helpers every part of the benchmark uses."""

import os
import subprocess


REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BENCH = os.path.join(REPO, "bench")
WORK = os.path.join(BENCH, "work")
BUILD = os.path.join(REPO, "build-bench")
BXFR = os.path.join(BUILD, "src", "app", "bxfr")
PY = "/usr/bin/python3"
TIME = "/usr/bin/time"
MiB = 1024 * 1024
TRANSFER_TIMEOUT = 600


def say(text=""):
    print(text, flush=True)


def run_text(cmd, **kw):
    try:
        out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             timeout=30, **kw)
        return out.stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return ""
