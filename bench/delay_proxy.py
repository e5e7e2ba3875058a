#!/usr/bin/env python3
"""delay_proxy.py LISTEN_PORT TARGET_PORT RTT_MS - a TCP forwarder on 127.0.0.1 that behaves like a
long network path: every byte (and the connect, and each close) reaches the other side half the
round-trip time after it left, in the order it left. Prints "ready" once it listens."""
import asyncio
import socket
import sys


async def forward(reader, writer, delay, ready=None):
    """Copies reader to writer, each chunk delivered `delay` seconds after it was read."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        if ready is not None:
            await ready.wait()
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                try:
                    writer.write_eof()
                except (OSError, RuntimeError):
                    pass
                return
            writer.write(data)

    deliverer = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            queue.put_nowait((loop.time() + delay, data or None))
            if not data:
                break
    except (ConnectionError, OSError):
        queue.put_nowait((loop.time() + delay, None))
    await deliverer


def nodelay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def main():
    listen_port, target_port, rtt_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    delay = rtt_ms / 2000.0

    async def serve(client_reader, client_writer):
        nodelay(client_writer)
        upstream = {}
        ready = asyncio.Event()

        async def connect():
            # The connect takes half the round trip to reach the server, like a SYN.
            await asyncio.sleep(delay)
            upstream["r"], upstream["w"] = await asyncio.open_connection("127.0.0.1", target_port)
            nodelay(upstream["w"])
            ready.set()

        class Late:
            """The upstream writer, once connected."""
            def write(self, data):
                upstream["w"].write(data)

            def write_eof(self):
                upstream["w"].write_eof()

        connector = asyncio.ensure_future(connect())
        upward = asyncio.ensure_future(forward(client_reader, Late(), delay, ready))
        await connector
        downward = asyncio.ensure_future(forward(upstream["r"], client_writer, delay))
        await asyncio.gather(upward, downward, return_exceptions=True)
        for w in (client_writer, upstream["w"]):
            w.close()

    server = await asyncio.start_server(serve, "127.0.0.1", listen_port, backlog=256)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
