"""Fault-injection TCP proxy for FTP on loopback, for the engine tests and benchmarks.

Run with /usr/bin/python3 (standard library only). It forwards control connections
to --target-host:--target-port, rewrites 227/229 replies so passive data connections
also pass through it, and can cut data or control connections and delay traffic.
With --raw it reads nothing of what it forwards (SSH): every connection is then cut and
counted as the data connections are.
The chosen port is written to --ready-file once it listens.
"""

import argparse
import asyncio
import fcntl
import re
import signal
import socket
import struct
import termios

from ready_file import announce

CHUNK = 65536
# Bounds what one direction holds while it waits out the delay.
QUEUE_CHUNKS = 1024
# Every connection attempt and unused passive listener gives up after this.
TIMEOUT = 30.0
MAX_LINE = 65536
EOF, CUT, ABORT = "eof", "cut", "abort"
PASV_227 = re.compile(rb"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)")
EPSV_229 = re.compile(rb"\((.)\1\1(\d+)\1\)")


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen-host", default="127.0.0.1")
    parser.add_argument("--listen-port", type=int, default=0)
    parser.add_argument("--target-host", default="127.0.0.1")
    parser.add_argument("--target-port", type=int, required=True)
    parser.add_argument("--ready-file")
    parser.add_argument("--log")
    parser.add_argument("--cut-data-every", type=int, default=0)
    parser.add_argument("--cut-after", type=int, default=0)
    parser.add_argument("--cut-mode", choices=("close", "reset"), default="close")
    parser.add_argument("--cut-control-on", default="")
    parser.add_argument("--delay-ms", type=int, default=0)
    parser.add_argument("--raw", action="store_true")
    parser.add_argument("--later-target-port", type=int, default=0)
    return parser.parse_args()


async def flushed(writer):
    """Waits until what was written has reached the peer, so a cut loses none of it."""
    sock = writer.get_extra_info("socket")
    loop = asyncio.get_running_loop()
    deadline = loop.time() + 2.0
    while loop.time() < deadline and not writer.is_closing():
        queued = writer.transport.get_write_buffer_size()
        if queued == 0 and sock is not None:
            try:
                queued = struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]
            except OSError:
                return
        if queued == 0:
            return
        await asyncio.sleep(0.005)


class Link:
    """A client and a server connection joined in both directions."""

    def __init__(self, proxy, client, server):
        self.proxy = proxy
        self.client = client
        self.server = server
        self.closed = False
        # The event logged when a CUT item reaches the sender.
        self.fault = None
        self.faulted = False
        self.on_cut = None

    async def run(self, up, down):
        await asyncio.gather(self._direction(self.client[0], self.server[1], up),
                             self._direction(self.server[0], self.client[1], down))
        self.close()

    async def _direction(self, reader, writer, transform):
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue(QUEUE_CHUNKS)
        sender = asyncio.create_task(self._send(queue, writer))
        while True:
            try:
                data = await reader.read(CHUNK)
                items = await transform(data)
                if not data:
                    items.append(EOF)
            except OSError:
                items = [ABORT]
            due = loop.time() + self.proxy.delay
            for item in items:
                await queue.put((due, item))
            if items and items[-1] in (EOF, CUT, ABORT):
                break
        await sender

    async def _send(self, queue, writer):
        # Runs until the reader's last item, so the reader never blocks on a full queue.
        loop = asyncio.get_running_loop()
        while True:
            due, item = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if item == CUT:
                await flushed(writer)
                self.cut(self.fault)
                return
            if item == ABORT:
                self.close(abort=True)
                return
            if self.closed:
                if item == EOF:
                    return
                continue
            try:
                if item != EOF:
                    writer.write(item)
                    await writer.drain()
                elif writer.can_write_eof():
                    writer.write_eof()
            except OSError:
                # Also when the peer has gone before our half-close reached it.
                self.close(abort=True)
            if item == EOF:
                return

    def cut(self, fault=None):
        """Ends both sides the way the proxy cuts; logs fault if this is an injected one."""
        if self.closed:
            return
        self.closed = True
        if fault:
            self.faulted = True
            self.proxy.log(fault)
        for _, writer in (self.client, self.server):
            if self.proxy.reset:
                sock = writer.get_extra_info("socket")
                if sock is not None:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                writer.transport.abort()
            else:
                try:
                    writer.write_eof()
                except OSError:
                    pass
                writer.close()
        if self.on_cut:
            self.on_cut()

    def close(self, abort=False):
        if self.closed:
            return
        self.closed = True
        for _, writer in (self.client, self.server):
            if abort:
                writer.transport.abort()
            else:
                writer.close()


def line_buffer(handle_line):
    """A transform that hands whole lines to handle_line, keeping a partial one."""
    pending = bytearray()

    async def transform(data):
        pending.extend(data)
        items = []
        while True:
            end = pending.find(b"\n")
            if end < 0:
                break
            line = bytes(pending[:end + 1])
            del pending[:end + 1]
            items.extend(await handle_line(line))
            if items and items[-1] == CUT:
                return items
        # A peer that sends no newline is passed through rather than held forever.
        if pending and (not data or len(pending) > MAX_LINE):
            items.append(bytes(pending))
            pending.clear()
        return items

    return transform


class Session:
    """One control connection and the passive data connections opened through it."""

    def __init__(self, proxy, number):
        self.proxy = proxy
        self.number = number
        self.dead = False
        self.listeners = []
        self.data_links = set()
        self.control = None

    async def run(self, client):
        proxy = self.proxy
        try:
            server = await asyncio.wait_for(
                asyncio.open_connection(proxy.target_host, proxy.port_for(self.number)), TIMEOUT)
        except (OSError, asyncio.TimeoutError):
            proxy.log("control %d failed to reach the server" % self.number)
            client[1].close()
            return
        self.control = Link(proxy, client, server)
        self.control.on_cut = self.kill
        proxy.log("control %d opened" % self.number)
        await self.control.run(line_buffer(self.command), line_buffer(self.reply))
        self.close_listeners()
        if not self.dead:
            proxy.log("control %d closed" % self.number)

    async def command(self, line):
        words = line.split(None, 1)
        verb = words[0].decode("latin-1").upper() if words else ""
        if self.proxy.cut_control_on and verb == self.proxy.cut_control_on:
            # Once per proxy lifetime, so a client's reconnect and retry can succeed.
            self.proxy.cut_control_on = ""
            # From here on the client must hear nothing more of this session.
            self.dead = True
            self.control.fault = "control %d cut after %s" % (self.number, verb)
            return [line, CUT]
        return [line]

    async def reply(self, line):
        if self.dead:
            return []
        if line.startswith(b"227 "):
            match = PASV_227.search(line)
            if match:
                port = await self.open_passive(match.group(5), match.group(6))
                if port:
                    host, local = port
                    numbers = host.replace(".", ",") + ",%d,%d" % (local >> 8, local & 255)
                    return [line[:match.start()] + numbers.encode() + line[match.end():]]
        elif line.startswith(b"229 "):
            match = EPSV_229.search(line)
            if match:
                port = await self.open_passive(match.group(2))
                if port:
                    delim = match.group(1)
                    middle = delim * 3 + str(port[1]).encode() + delim
                    return [line[:match.start(0) + 1] + middle + line[match.end(0) - 1:]]
        return [line]

    async def open_passive(self, high, low=None):
        real_port = int(high) * 256 + int(low) if low is not None else int(high)
        if self.dead:
            return None
        taken = False

        async def accepted(reader, writer):
            nonlocal taken
            if taken or self.dead:
                writer.close()
                return
            taken = True
            listener.close()
            await self.proxy.run_data(self, (reader, writer), real_port)

        listener = await asyncio.start_server(accepted, self.proxy.listen_host, 0)
        self.listeners.append(listener)
        asyncio.get_running_loop().call_later(TIMEOUT, listener.close)
        return listener.sockets[0].getsockname()[:2]

    def kill(self):
        """After a control cut: nothing of this session may carry on."""
        self.dead = True
        self.close_listeners()
        for link in list(self.data_links):
            link.cut()

    def close_listeners(self):
        for listener in self.listeners:
            listener.close()
        self.listeners.clear()


class Proxy:
    def __init__(self, args):
        self.listen_host = args.listen_host
        self.target_host = args.target_host
        self.target_port = args.target_port
        self.cut_every = args.cut_data_every
        self.cut_after = args.cut_after
        self.reset = args.cut_mode == "reset"
        self.cut_control_on = args.cut_control_on.upper()
        self.delay = args.delay_ms / 1000.0
        self.raw = args.raw
        self.later_port = args.later_target_port
        self.log_file = open(args.log, "a", encoding="utf-8") if args.log else None
        self.sessions = 0
        self.data_count = 0

    def port_for(self, session):
        """Sessions after the first may meet another server, as through a man in the middle."""
        return self.later_port if self.later_port and session > 1 else self.target_port

    def log(self, line):
        if self.log_file:
            self.log_file.write(line + "\n")
            self.log_file.flush()

    async def accept_control(self, reader, writer):
        self.sessions += 1
        session = Session(self, self.sessions)
        if self.raw:
            await self.run_data(session, (reader, writer), self.port_for(session.number))
        else:
            await session.run((reader, writer))

    async def run_data(self, session, client, real_port):
        self.data_count += 1
        number = self.data_count
        try:
            server = await asyncio.wait_for(
                asyncio.open_connection(self.target_host, real_port), TIMEOUT)
        except (OSError, asyncio.TimeoutError):
            self.log("data %d failed to reach the server" % number)
            client[1].close()
            return
        link = Link(self, client, server)
        link.fault = "data %d cut after %d bytes" % (number, self.cut_after)
        session.data_links.add(link)
        self.log("data %d opened" % number)
        budget = None
        if self.cut_every > 0 and number % self.cut_every == 0:
            budget = self.cut_after

        async def count(data):
            nonlocal budget
            if session.dead:
                return []
            if budget is None:
                return [data] if data else []
            # Both directions share one budget: whichever carries the data uses it.
            taken = data[:budget]
            budget -= len(taken)
            items = [taken] if taken else []
            return items + [CUT] if budget == 0 else items

        if session.dead:
            link.cut()
        elif budget == 0:
            link.cut(link.fault)
        else:
            await link.run(count, count)
        if session.dead and not link.faulted:
            self.log("data %d closed with control %d" % (number, session.number))
        elif not link.faulted:
            self.log("data %d closed" % number)
        session.data_links.discard(link)


async def main():
    args = parse_args()
    proxy = Proxy(args)
    server = await asyncio.start_server(proxy.accept_control, args.listen_host, args.listen_port)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    if args.ready_file:
        announce(args.ready_file, server.sockets[0].getsockname()[1])
    await stop.wait()
    # Open connections end with the process.
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
