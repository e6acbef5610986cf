"""Test data: random files and trees, their sizes and checksums, and their removal."""

import hashlib
import os
import shutil

from .common import MiB


def write_random_pair(paths, size):
    digest = hashlib.sha256()
    outs = [open(p, "wb") for p in paths]
    left = size
    while left:
        block = os.urandom(min(left, 16 * MiB))
        digest.update(block)
        for out in outs:
            out.write(block)
        left -= len(block)
    for out in outs:
        out.close()
    return digest.hexdigest()


def make_tree(roots, folders, per_folder, size, name_fmt):
    """The same tree of random files under each root; returns {relative path: size}."""
    expected = {}
    for d in range(folders):
        for f in range(per_folder):
            rel = os.path.join("d%03d" % d, name_fmt % (d * per_folder + f))
            data = os.urandom(size)
            for root in roots:
                os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
                with open(os.path.join(root, rel), "wb") as out:
                    out.write(data)
            expected[rel] = size
    return expected


def tree_sizes(root):
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = os.path.getsize(path)
    return found


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(16 * MiB)
            if not block:
                return digest.hexdigest()
            digest.update(block)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.unlink(path)
