"""Builds bxfr (Release, no GUI, no tests) in build-bench/ for the benchmark."""

import os
import subprocess
import sys

from .common import BUILD, REPO, WORK, say


def build():
    base = ["cmake", "-S", REPO, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
            "-DBXFR_BUILD_GUI=OFF", "-DBXFR_BUILD_TESTS=OFF"]
    make = ["cmake", "--build", BUILD, "--target", "bxfr"]
    log = os.path.join(WORK, "build.log")

    def attempt(extra):
        with open(log, "w") as out:
            for cmd in (base + extra, make):
                if subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT).returncode != 0:
                    return False
        return True

    say("Building bxfr (Release) in build-bench/ ...")
    if attempt([]):
        return None
    sys.exit("bench/run: bxfr does not build; see " + log)
