"""The many-small-files scenario: a tree of small files and a tree of folders, bxfr against lftp."""

import os

from .data import remove, tree_sizes


def tree_test(bench, test_send, test_get, key, with_send):
    d = bench.data
    expected = d[key + "_expected"]
    remote_src = "/pub/src/" + key
    remote_dst = "/pub/put/" + key
    server_dst = os.path.join(d["srv"], "pub", "put", key)
    local_src = os.path.join(d["local"], key)
    local_dst = os.path.join(d["local"], "got", key)

    def check(root):
        found = tree_sizes(root) if os.path.isdir(root) else {}
        if found == expected:
            return None
        missing = len(set(expected) - set(found))
        wrong = sum(1 for k in expected if k in found and found[k] != expected[k])
        extra = len(set(found) - set(expected))
        return "%s: %d of %d files missing, %d of wrong size, %d unexpected" % (
            root, missing, len(expected), wrong, extra)

    def clear_put():
        remove(server_dst)
        os.makedirs(os.path.dirname(server_dst), exist_ok=True)

    def clear_get():
        remove(local_dst)
        os.makedirs(os.path.dirname(local_dst), exist_ok=True)

    c = bench.clients
    if with_send:
        bench.repeat(test_send, [
            ("bxfr", clear_put, lambda: c.bxfr(remote_dst, local_src, get=False, single=False),
             lambda: check(server_dst), lambda: remove(server_dst)),
            ("lftp", clear_put, lambda: c.lftp_send(local_src, remote_dst),
             lambda: check(server_dst), lambda: remove(server_dst)),
        ])
    bench.repeat(test_get, [
        ("bxfr", clear_get, lambda: c.bxfr(remote_src, local_dst, get=True, single=False),
         lambda: check(local_dst), lambda: remove(local_dst)),
        ("lftp", clear_get, lambda: c.lftp_get(remote_src, local_dst),
         lambda: check(local_dst), lambda: remove(local_dst)),
    ])
