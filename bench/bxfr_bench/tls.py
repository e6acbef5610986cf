"""The FTP over TLS scenario: the big-file case over explicit TLS, where the server has a certificate."""

import os

from .data import remove, write_random_pair
from .loopback import big_file


def tls_file(bench, server, data, size, notes):
    """A file of its own sent and got over TLS, then removed; or a note why it was not."""
    local, srv = data["local"], data["srv"]
    if server.cert_path:
        data["tls_size"] = size
        data["tls_local"] = os.path.join(local, "tls.bin")
        data["tls_remote"] = "/pub/src/tls.bin"
        data["tls_sha"] = write_random_pair(
            [data["tls_local"], os.path.join(srv, "pub", "src", "tls.bin")], size)
        big_file(bench, "tls", tls=True)
        remove(data["tls_local"])
        remove(os.path.join(srv, "pub", "src", "tls.bin"))
    else:
        notes.append("FTP over TLS was not measured: " + server.tls_problem)
