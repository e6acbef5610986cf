"""The loopback scenario: one big file sent and got by bxfr and by curl (plain, or over TLS)."""

import os
import pwd

from .common import MiB
from .data import remove, sha256_of
from .servers import Vsftpd


def big_file(bench, key="big", tls=False, clients=None, label=None):
    d = bench.data
    size, digest = d[key + "_size"], d[key + "_sha"]
    local_src, remote_src = d[key + "_local"], d[key + "_remote"]
    remote_dst = "/pub/put/big.bin"
    server_dst = os.path.join(d["srv"], "pub", "put", "big.bin")
    local_dst = os.path.join(d["local"], "got", "big.bin")
    checked = set()

    def check(path, tool, name):
        if not os.path.isfile(path) or os.path.getsize(path) != size:
            got = os.path.getsize(path) if os.path.isfile(path) else "none"
            return "%s has %s bytes, not %d" % (path, got, size)
        if (tool, name) not in checked:
            checked.add((tool, name))
            if sha256_of(path) != digest:
                return "checksum of %s differs" % path
        return None

    def clear_put():
        remove(server_dst)
        os.makedirs(os.path.dirname(server_dst), exist_ok=True)
        if isinstance(bench.server, Vsftpd):
            u = pwd.getpwnam("ftp")
            os.chown(os.path.dirname(server_dst), u.pw_uid, u.pw_gid)

    def clear_get():
        remove(local_dst)
        os.makedirs(os.path.dirname(local_dst), exist_ok=True)

    c = clients or bench.clients
    mib = size // MiB
    if label is None:
        label = " over TLS" if tls else ""
    bench.repeat("send %d MiB%s" % (mib, label), [
        ("bxfr", clear_put, lambda: c.bxfr(remote_dst, local_src, get=False, single=True, tls=tls),
         lambda: check(server_dst, "bxfr", "send"), lambda: remove(server_dst)),
        ("curl", clear_put, lambda: c.curl_send(local_src, remote_dst, tls=tls),
         lambda: check(server_dst, "curl", "send"), lambda: remove(server_dst)),
    ], warm_up=True)
    bench.repeat("get %d MiB%s" % (mib, label), [
        ("bxfr", clear_get, lambda: c.bxfr(remote_src, local_dst, get=True, single=True, tls=tls),
         lambda: check(local_dst, "bxfr", "get"), lambda: remove(local_dst)),
        ("curl", clear_get, lambda: c.curl_get(remote_src, local_dst, tls=tls),
         lambda: check(local_dst, "curl", "get"), lambda: remove(local_dst)),
    ], warm_up=True)
