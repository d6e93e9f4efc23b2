#!/usr/bin/env python3
"""A real SMTP server for the mail tests.

Listens on 127.0.0.1 at a free port, writes the port to --port-file once it
accepts connections, and stores every message it takes as mailNNNN.eml in
--folder: the envelope as X-Envelope-From / X-Envelope-To lines, then the
message exactly as received. With --auth USER:PASSWORD it offers AUTH on the
plain connection and accepts only that login. With --hang-after-data it
stores each message but never answers its end of data (a server that hangs
at the last step). Ends on SIGTERM.
"""
import argparse
import asyncio
import os
import signal

from aiosmtpd.smtp import SMTP, AuthResult


class Store:
    def __init__(self, folder, hang):
        self.folder = folder
        self.count = 0
        self.hang = hang
        self.release = asyncio.Event()  # set at the end: hung answers may go

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        name = os.path.join(self.folder, "mail%04d.eml" % self.count)
        data = envelope.original_content or envelope.content
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        head = "X-Envelope-From: %s\r\n" % envelope.mail_from
        head += "".join("X-Envelope-To: %s\r\n" % r for r in envelope.rcpt_tos)
        with open(name + ".tmp", "wb") as f:
            f.write(head.encode("utf-8", "surrogateescape") + data)
        os.replace(name + ".tmp", name)  # a reader never sees half a message
        if self.hang:
            await self.release.wait()
        return "250 OK"


def make_authenticator(user, password):
    def check(server, session, envelope, mechanism, auth_data):
        login = getattr(auth_data, "login", b"") or b""
        secret = getattr(auth_data, "password", b"") or b""
        ok = login.decode() == user and secret.decode() == password
        # handled=False makes the server answer a failure with 535 itself.
        return AuthResult(success=ok, handled=False)
    return check


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--folder", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--auth", default="")
    parser.add_argument("--hang-after-data", action="store_true")
    args = parser.parse_args()

    options = {"hostname": "sink.test", "decode_data": False}
    if args.auth:
        user, _, password = args.auth.partition(":")
        options.update(authenticator=make_authenticator(user, password),
                       auth_require_tls=False, auth_required=True)
    store = Store(args.folder, args.hang_after_data)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: SMTP(store, **options), "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(args.port_file + ".tmp", "w") as f:
        f.write("%d\n" % port)
    os.replace(args.port_file + ".tmp", args.port_file)

    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    await stop.wait()
    store.release.set()
    server.close()
    await server.wait_closed()


if __name__ == "__main__":
    asyncio.run(main())
