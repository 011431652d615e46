#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that adds a round-trip time, for
bench/network-benchmark.sh.

    latency_proxy.py --target-port PORT --rtt-ms RTT [--listen-port PORT]
                     [--handshake] [--buffer-mib MIB] [--lifetime SECONDS]
                     [--log FILE]

Listens on 127.0.0.1:--listen-port (0, the default, takes a free port) and prints
the port it listens on as the first line of its standard output. Every connection
it accepts is forwarded to 127.0.0.1:--target-port. Each chunk read from either
side is written to the other side RTT/2 after it was read: a chunk read at time t
leaves at t + RTT/2, in the order read. The delays are not added one after
another: while one chunk waits its RTT/2 the next ones are already being read, so
a steady stream keeps flowing at the speed of the two ends, only shifted in time
(up to --buffer-mib per direction, default 64, is held in flight; beyond that the
proxy stops reading and TCP pushes back on the sender). An end of stream (FIN) is
delayed like data, a reset is passed on once the data before it has gone.

Over loopback the TCP handshake costs nothing, and a client's first request
leaves at once. With --handshake a new connection carries nothing in either
direction before one RTT has passed since it was accepted, which is what a
client connecting over a real network pays before its first byte can leave:
a request on a fresh connection then takes 2 RTT to its first reply byte, as over
a real network, instead of 1 RTT.

With --log, a line "SECONDS open N" is appended to FILE when a connection is
accepted and "SECONDS close N" when it is over, N being how many are open then.

Every socket is set TCP_NODELAY, so that no coalescing of small writes adds its
own wait. The proxy stops by itself after --lifetime seconds (default 3600) or as
soon as the process that started it is gone. Python 3 standard library only.
"""

import argparse
import asyncio
import os
import socket
import sys

CHUNK = 256 * 1024
RESET = object()


def no_delay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass


class Connection:
    """One accepted connection and its upstream twin."""

    def __init__(self, loop, delay, open_at, limit):
        self.loop = loop
        self.delay = delay
        self.open_at = open_at
        self.limit = limit
        self.writers = []

    def abort(self):
        for writer in self.writers:
            writer.transport.abort()

    async def pump(self, reader, writer):
        """Copies reader to writer, every chunk RTT/2 late, in order."""
        queue = asyncio.Queue()
        room = asyncio.Event()
        room.set()
        pending = 0

        async def read_side():
            nonlocal pending
            marker = None
            try:
                while True:
                    data = await reader.read(CHUNK)
                    if not data:
                        break
                    queue.put_nowait((self.loop.time(), data))
                    pending += len(data)
                    if pending > self.limit:
                        room.clear()
                        await room.wait()
            except (ConnectionError, OSError):
                marker = RESET
            finally:
                queue.put_nowait((self.loop.time(), marker))

        async def write_side():
            nonlocal pending
            while True:
                read_at, data = await queue.get()
                due = max(read_at, self.open_at) + self.delay
                # The event loop waits in whole milliseconds, rounded up, so a
                # timer fires up to 1 ms late; aimed half a millisecond early it
                # fires within half a millisecond of the time it is meant for.
                wait = due - self.loop.time() - 0.0005
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    if not writer.transport.is_closing() and writer.can_write_eof():
                        try:
                            writer.write_eof()
                        except (ConnectionError, OSError):
                            pass
                    return
                if data is RESET or writer.transport.is_closing():
                    self.abort()
                    return
                writer.write(data)
                pending -= len(data)
                if pending <= self.limit // 2:
                    room.set()
                try:
                    await writer.drain()
                except (ConnectionError, OSError):
                    self.abort()
                    return

        reading = asyncio.ensure_future(read_side())
        try:
            await write_side()
        finally:
            # A writer that gave up leaves the reader waiting for room or data;
            # the aborted transports end it.
            room.set()
            await reading


async def serve(args):
    loop = asyncio.get_running_loop()
    delay = args.rtt_ms / 2000.0
    handshake = args.rtt_ms / 1000.0 if args.handshake else 0.0
    limit = args.buffer_mib * 1024 * 1024
    tasks = set()
    started = loop.time()
    log = open(args.log, "a", buffering=1) if args.log else None

    def note(event):
        if log:
            log.write("%.6f %s %d\n" % (loop.time() - started, event, len(tasks)))

    async def accepted(client_reader, client_writer):
        task = asyncio.current_task()
        tasks.add(task)
        note("open")
        opened = loop.time()
        no_delay(client_writer)
        try:
            server_reader, server_writer = await asyncio.open_connection(
                "127.0.0.1", args.target_port, limit=2 * CHUNK)
        except OSError:
            client_writer.transport.abort()
            tasks.discard(task)
            note("close")
            return
        no_delay(server_writer)
        conn = Connection(loop, delay, opened + handshake, limit)
        conn.writers = [client_writer, server_writer]
        try:
            await asyncio.gather(conn.pump(client_reader, server_writer),
                                 conn.pump(server_reader, client_writer))
        finally:
            for writer in conn.writers:
                writer.close()
            tasks.discard(task)
            note("close")

    server = await asyncio.start_server(accepted, "127.0.0.1", args.listen_port,
                                        limit=2 * CHUNK, backlog=128)
    port = server.sockets[0].getsockname()[1]
    sys.stdout.write("%d\n" % port)
    sys.stdout.flush()

    parent = os.getppid()
    async with server:
        while loop.time() - started < args.lifetime and os.getppid() == parent:
            await asyncio.sleep(1)
    for task in list(tasks):
        task.cancel()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--listen-port", type=int, default=0,
                        help="port on 127.0.0.1 to listen on, 0 for a free one")
    parser.add_argument("--target-port", type=int, required=True,
                        help="port on 127.0.0.1 every connection is forwarded to")
    parser.add_argument("--rtt-ms", type=float, required=True,
                        help="round-trip time to add, in milliseconds")
    parser.add_argument("--handshake", action="store_true",
                        help="a new connection carries data only one RTT after it was accepted")
    parser.add_argument("--buffer-mib", type=int, default=64,
                        help="bytes held in flight per direction before reading stops")
    parser.add_argument("--log", help="file to note every connection opened and closed in")
    parser.add_argument("--lifetime", type=float, default=3600,
                        help="seconds after which the proxy stops")
    args = parser.parse_args()
    if args.rtt_ms < 0 or args.buffer_mib < 1 or not 0 <= args.listen_port < 65536 \
            or not 0 < args.target_port < 65536:
        parser.error("out-of-range value")
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
