#!/usr/bin/env python3
"""A TCP proxy in front of one server on 127.0.0.1 that makes each of its ports a slower server.

Usage: throttle_proxy.py --upstream PORT --rate RATE [--rate RATE ...] --ports FILE

Listens on one free port of 127.0.0.1 per --rate (bytes a second; K and M are 1024 and 1024^2)
and writes those ports to FILE, one a line, once all of them listen. What the upstream sends back
through a port is paced by one token bucket per port, shared by every connection to it, so that
the port behaves like a server whose uplink carries RATE in total however many connections a
client opens (nginx's limit_rate is per connection). Requests go upstream unpaced. When a
connection closes, "PORT BYTES" (the bytes sent back on it) is printed to standard output, for
the caller to see how much each port served. Only the standard library: the benches need
nothing else.
"""

import argparse
import asyncio
import os
import socket
import sys
import time


CHUNK_MAX = 256 * 1024


def parse_rate(text):
    units = {"K": 1024, "M": 1024 * 1024}
    if text and text[-1].upper() in units:
        return int(float(text[:-1]) * units[text[-1].upper()])
    return int(text)


class Bucket:
    """Bytes a port may send. A sender takes before it writes and sleeps off any debt while it
    holds the lock; asyncio's lock wakes its waiters in order, so the connections of a port take
    turns chunk by chunk, as on a shared link."""

    def __init__(self, rate):
        self.rate = rate
        # About 10 ms of bytes a turn: small enough that the pacing is smooth and a new
        # connection gets its share at once, large enough that Python's work per turn stays
        # a small part of a core at 24 MiB/s.
        self.chunk = max(4096, min(CHUNK_MAX, rate // 100))
        self.tokens = self.chunk
        self.stamp = time.monotonic()
        self.lock = asyncio.Lock()

    async def take(self, count):
        async with self.lock:
            now = time.monotonic()
            # An idle port saves up at most one chunk, so that no burst beats the rate.
            self.tokens = min(self.chunk, self.tokens + (now - self.stamp) * self.rate)
            self.stamp = now
            self.tokens -= count
            if self.tokens < 0:
                await asyncio.sleep(-self.tokens / self.rate)


async def pump(reader, writer, bucket=None):
    sent = 0
    size = bucket.chunk if bucket else CHUNK_MAX
    try:
        while True:
            data = await reader.read(size)
            if not data:
                break
            if bucket:
                await bucket.take(len(data))
            writer.write(data)
            await writer.drain()
            sent += len(data)
        if writer.can_write_eof():
            writer.write_eof()
    except (ConnectionError, OSError):
        pass
    return sent


def no_delay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def serve(client_reader, client_writer, upstream, bucket, port):
    try:
        server_reader, server_writer = await asyncio.open_connection(
            "127.0.0.1", upstream, limit=2 * CHUNK_MAX
        )
    except OSError:
        client_writer.close()
        return
    no_delay(client_writer)
    no_delay(server_writer)
    _, sent = await asyncio.gather(
        pump(client_reader, server_writer), pump(server_reader, client_writer, bucket)
    )
    for writer in (client_writer, server_writer):
        writer.close()
    print(port, sent, flush=True)


async def main():
    parser = argparse.ArgumentParser(description="TCP proxy with one rate limit per port")
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--rate", action="append", required=True, type=parse_rate)
    parser.add_argument("--ports", required=True)
    args = parser.parse_args()
    servers, ports = [], []
    for rate in args.rate:
        bucket = Bucket(rate)
        holder = {}

        def handler(reader, writer, bucket=bucket, holder=holder):
            return serve(reader, writer, args.upstream, bucket, holder["port"])

        server = await asyncio.start_server(handler, "127.0.0.1", 0, backlog=256, limit=2 * CHUNK_MAX)
        holder["port"] = server.sockets[0].getsockname()[1]
        servers.append(server)
        ports.append(holder["port"])
    # Written whole and renamed, so the caller never reads half of it.
    with open(args.ports + ".tmp", "w") as out:
        out.write("".join(f"{port}\n" for port in ports))
    os.replace(args.ports + ".tmp", args.ports)
    await asyncio.gather(*(server.serve_forever() for server in servers))


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(130)
