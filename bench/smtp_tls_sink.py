#!/usr/bin/env python3
"""smtp_tls_sink.py PORT CERT KEY - an SMTP sink on 127.0.0.1 that offers PIPELINING, STARTTLS and
AUTH (LOGIN, PLAIN; any credentials pass), accepts every message, and prints "mesg=N" after each.
Prints "ready" once it listens."""
import asyncio
import ssl
import sys

count = 0


async def session(reader, writer, context):
    global count
    tls = False
    writer.write(b"220 sink.bench ESMTP\r\n")

    async def line():
        data = await reader.readline()
        if not data:
            raise ConnectionError("closed")
        return data.rstrip(b"\r\n")

    try:
        while True:
            command = await line()
            verb = command[:4].upper()
            if verb == b"EHLO":
                offers = [b"sink.bench", b"PIPELINING", b"AUTH LOGIN PLAIN", b"8BITMIME"]
                if not tls:
                    offers.append(b"STARTTLS")
                writer.write(b"".join(b"250-" + o + b"\r\n" for o in offers[:-1]) +
                             b"250 " + offers[-1] + b"\r\n")
            elif verb == b"STAR":
                writer.write(b"220 go ahead\r\n")
                await writer.drain()
                await writer.start_tls(context)
                tls = True
            elif verb == b"AUTH":
                words = command.split()
                mechanism = words[1].upper() if len(words) > 1 else b""
                if mechanism == b"LOGIN":
                    if len(words) < 3:
                        writer.write(b"334 VXNlcm5hbWU6\r\n")
                        await line()
                    writer.write(b"334 UGFzc3dvcmQ6\r\n")
                    await line()
                elif len(words) < 3:
                    writer.write(b"334 \r\n")
                    await line()
                writer.write(b"235 2.7.0 Authentication successful\r\n")
            elif verb == b"DATA":
                writer.write(b"354 go ahead\r\n")
                while await line() != b".":
                    pass
                count += 1
                print("mesg=%d" % count, flush=True)
                writer.write(b"250 2.0.0 queued\r\n")
            elif verb == b"QUIT":
                writer.write(b"221 2.0.0 bye\r\n")
                await writer.drain()
                break
            else:
                writer.write(b"250 2.0.0 ok\r\n")
    except (ConnectionError, OSError, ssl.SSLError):
        pass
    finally:
        writer.close()


async def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = await asyncio.start_server(lambda r, w: session(r, w, context), "127.0.0.1", port,
                                        backlog=256)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
