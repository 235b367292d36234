#!/usr/bin/python3
"""Connects the VPN tunnel through marlox-helper with asyncio: asks for the password, prints
the tunnel's output as it comes, and says when the tunnel is up.

    examples/connect_async.py --host vpn.example.com --port 443 --username alice

The password is asked for without echo when standard input is a terminal; otherwise the first
line of standard input is taken. Ctrl-C ends the tunnel. Needs the marlox module (the
python3-marlox package, or PYTHONPATH=python in the source tree).
"""

from __future__ import annotations

import argparse
import asyncio
import getpass
import os
import sys
from typing import Union

import marlox
import marlox.aio


def read_ticket() -> Union[str, bytearray]:
    if sys.stdin.isatty():
        return getpass.getpass("Password: ")  # a str: Python cannot wipe it
    line = bytearray(sys.stdin.buffer.readline())
    while line and line[-1] in b"\r\n":
        line[-1] = 0  # wiped before it is dropped
        del line[-1]
    return line


async def announce_up(watch: marlox.aio.Watch) -> None:
    """Prints a line when this user's tunnel comes up, as the daemon's watch stream tells."""
    try:
        async for state in watch:
            if state.state == "up" and state.uid == os.getuid():
                print(f"tunnel is up (pid {state.pid})", flush=True)
    except marlox.MarloxError as error:
        print(f"cannot watch the tunnel: {error}", file=sys.stderr, flush=True)


async def run(args: argparse.Namespace) -> int:
    ticket = read_ticket()
    # Watch first, so the change to "up" cannot come before the watch has started.
    watch = await marlox.aio.watch(socket_path=args.socket)
    watcher = asyncio.create_task(announce_up(watch))
    try:
        tunnel = await marlox.aio.connect(
            args.host, args.port, args.username, ticket,
            realm=args.realm, trusted_cert=args.trusted_cert, socket_path=args.socket)
        if isinstance(ticket, bytearray):
            marlox.wipe(ticket)
        async with tunnel:
            async for line in tunnel:
                print(line, flush=True)
        print("tunnel ended", flush=True)
        return 0
    finally:
        watcher.cancel()
        await watch.aclose()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", required=True)
    parser.add_argument("--port", default="443")
    parser.add_argument("--username", required=True)
    parser.add_argument("--realm")
    parser.add_argument("--trusted-cert", help="SHA-256 digest of the gateway's certificate")
    parser.add_argument("--socket", default=marlox.SOCKET_PATH, help=argparse.SUPPRESS)
    args = parser.parse_args()
    try:
        return asyncio.run(run(args))
    except marlox.MarloxError as error:
        print(f"connect_async: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
