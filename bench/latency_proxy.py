#!/usr/bin/env python3
"""A server far away, on loopback: forwards TCP connections from LISTEN_PORT to
TARGET_PORT on 127.0.0.1, holding every chunk of bytes DELAY_MS before passing
it on, in each direction, so that a round trip costs 2 x DELAY_MS more.

    bench/latency_proxy.py LISTEN_PORT TARGET_PORT DELAY_MS [SECONDS]

It ends by itself after SECONDS (default 600)."""
import asyncio
import sys


async def pipe(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def send():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            await asyncio.sleep(max(0.0, due - loop.time()))
            writer.write(data)
            await writer.drain()
        writer.close()

    sender = asyncio.create_task(send())
    try:
        while data := await reader.read(65536):
            queue.put_nowait((loop.time() + delay, data))
    except ConnectionError:
        pass
    queue.put_nowait((0, None))
    await sender


async def main():
    listen, target, delay_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 600
    delay = delay_ms / 1000

    async def serve(client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        await asyncio.gather(pipe(client_reader, server_writer, delay),
                             pipe(server_reader, client_writer, delay),
                             return_exceptions=True)

    server = await asyncio.start_server(serve, "127.0.0.1", listen)
    async with server:
        await asyncio.sleep(seconds)


if __name__ == "__main__":
    asyncio.run(main())
