"""A proxy on loopback for the tests: SOCKS5 (no authentication, CONNECT only) and HTTP CONNECT,
told apart by the first byte a client sends. Every tunnel it opens is logged to --log as
"socks5 HOST PORT" or "connect HOST PORT", so a test sees each connection that went through it.
Targets other than loopback are refused (SOCKS5 reply 2, HTTP 403): the tests talk to 127.0.0.1
and ::1 alone. The port is written to --ready-file once it listens. Standard library only.
"""

import argparse
import asyncio
import ipaddress
import socket
import struct

from ready_file import announce

TIMEOUT = 30.0


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen-host", default="127.0.0.1")
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--log", required=True)
    return parser.parse_args()


def loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


async def pipe(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def socks5(reader, writer):
    """The greeting's first byte is read; the target comes back, or None after a refusal."""
    methods = await reader.readexactly((await reader.readexactly(1))[0])
    if 0 not in methods:
        writer.write(b"\x05\xff")
        return None
    writer.write(b"\x05\x00")
    version, command, _, kind = await reader.readexactly(4)
    if kind == 1:
        host = socket.inet_ntop(socket.AF_INET, await reader.readexactly(4))
    elif kind == 4:
        host = socket.inet_ntop(socket.AF_INET6, await reader.readexactly(16))
    else:
        host = (await reader.readexactly((await reader.readexactly(1))[0])).decode("idna")
    port = struct.unpack(">H", await reader.readexactly(2))[0]
    if version != 5 or command != 1 or not loopback(host):
        writer.write(b"\x05\x02\x00\x01\0\0\0\0\0\0")
        return None
    return host, port


async def http_connect(first, reader, writer):
    head = first + await reader.readuntil(b"\r\n\r\n")
    words = head.split(b"\r\n", 1)[0].decode("latin-1").split()
    if len(words) != 3 or words[0] != "CONNECT":
        writer.write(b"HTTP/1.1 405 Only CONNECT\r\n\r\n")
        return None
    host, _, port = words[1].rpartition(":")
    host = host.strip("[]")
    if not loopback(host):
        writer.write(b"HTTP/1.1 403 Loopback only\r\n\r\n")
        return None
    return host, int(port)


async def serve(reader, writer, log):
    try:
        first = await asyncio.wait_for(reader.readexactly(1), TIMEOUT)
        kind = "socks5" if first == b"\x05" else "connect"
        target = await asyncio.wait_for(
            socks5(reader, writer) if kind == "socks5" else http_connect(first, reader, writer), TIMEOUT)
        if target is None:
            await writer.drain()
            writer.close()
            return
        with open(log, "a") as out:
            out.write("%s %s %d\n" % (kind, target[0], target[1]))
        try:
            up_reader, up_writer = await asyncio.wait_for(asyncio.open_connection(*target), TIMEOUT)
        except OSError:
            writer.write(b"\x05\x05\x00\x01\0\0\0\0\0\0" if kind == "socks5"
                         else b"HTTP/1.1 502 Cannot connect\r\n\r\n")
            await writer.drain()
            writer.close()
            return
        writer.write(b"\x05\x00\x00\x01\x7f\0\0\x01\0\0" if kind == "socks5"
                     else b"HTTP/1.1 200 Connection established\r\n\r\n")
        await writer.drain()
        await asyncio.gather(pipe(reader, up_writer), pipe(up_reader, writer))
    except (asyncio.IncompleteReadError, asyncio.TimeoutError, asyncio.LimitOverrunError,
            ConnectionError, OSError, ValueError):
        writer.close()


async def main():
    args = parse_args()
    open(args.log, "w").close()
    server = await asyncio.start_server(lambda r, w: serve(r, w, args.log), args.listen_host, 0)
    announce(args.ready_file, server.sockets[0].getsockname()[1])
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
