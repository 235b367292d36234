"""The asyncio client: the same calls as the synchronous one, with the same meaning, as
coroutines. Every wait is on the running event loop; no thread is started."""

from __future__ import annotations

import asyncio
import socket
from typing import AsyncIterator, Awaitable, Optional, TypeVar, Union

from . import _protocol as p
from . import errors
from ._sync import DEFAULT_TIMEOUT

__all__ = ["status", "disconnect", "connect", "watch", "Tunnel", "Watch"]

T = TypeVar("T")


async def _within(timeout: Optional[float], awaitable: Awaitable[T], what: str) -> T:
    try:
        return await asyncio.wait_for(awaitable, timeout)
    except asyncio.TimeoutError:
        raise errors.Timeout(what) from None


async def _open_and_send(path: str, request: Union[bytes, bytearray]) -> socket.socket:
    loop = asyncio.get_running_loop()
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.setblocking(False)
    try:
        try:
            await loop.sock_connect(sock, path)
        except OSError as error:
            raise errors.DaemonUnreachable(path, error) from None
        try:
            await loop.sock_sendall(sock, request)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the daemon may have answered early and closed: its reply is still readable
    except BaseException:
        sock.close()
        raise
    return sock


class _Reader:
    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.buffer = p.LineBuffer()
        self.ended = False

    async def _line(self) -> Optional[bytes]:
        loop = asyncio.get_running_loop()
        while True:
            line = self.buffer.next_line()
            if line is not None:
                return line
            if self.ended:
                rest = self.buffer.rest()
                if rest:
                    raise errors.UnexpectedReply(rest, "the stream ended inside a line")
                return None
            try:
                data = await loop.sock_recv(self.sock, 65536)
            except OSError as error:
                raise errors.ConnectionLost(error.errno, f"receiving: {error.strerror}") from None
            if not data:
                self.ended = True
            self.buffer.feed(data)

    async def line(self, timeout: Optional[float]) -> Optional[bytes]:
        return await _within(timeout, self._line(), "no line from the daemon in time")


async def _exchange(request: bytes, socket_path: str, timeout: Optional[float]) -> Optional[bytes]:
    async def run() -> Optional[bytes]:
        sock = await _open_and_send(socket_path, request)
        with sock:
            return await _Reader(sock)._line()

    return await _within(timeout, run(), "the daemon did not answer in time")


async def status(
    *, socket_path: str = p.SOCKET_PATH, timeout: Optional[float] = DEFAULT_TIMEOUT
) -> bool:
    """As marlox.status()."""
    return p.status_reply(await _exchange(p.STATUS_REQUEST, socket_path, timeout))


async def disconnect(
    *, socket_path: str = p.SOCKET_PATH, timeout: Optional[float] = DEFAULT_TIMEOUT
) -> None:
    """As marlox.disconnect()."""
    p.ok_reply(await _exchange(p.DISCONNECT_REQUEST, socket_path, timeout))


class Tunnel:
    """As marlox.Tunnel, iterated with async for; aclose() (or leaving an async with block)
    ends the tunnel. Use from one task at a time."""

    def __init__(self, sock: socket.socket) -> None:
        self._sock = sock
        self._reader = _Reader(sock)
        self._stream = p.ConnectStream()

    async def next_line(self, timeout: Optional[float] = None) -> Optional[str]:
        return self._stream.line(await self._reader.line(timeout))

    async def __aiter__(self) -> AsyncIterator[str]:
        while (line := await self.next_line()) is not None:
            yield line

    def end_tunnel(self) -> None:
        try:
            self._sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    async def aclose(self) -> None:
        self._sock.close()

    async def __aenter__(self) -> "Tunnel":
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()


async def connect(
    host: str,
    port: Union[str, int],
    username: str,
    ticket: p.Secret,
    *,
    trusted_cert: Optional[str] = None,
    realm: Optional[str] = None,
    socket_path: str = p.SOCKET_PATH,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
) -> Tunnel:
    """As marlox.connect(): the ticket's buffer is wiped once the request has been sent."""
    request = p.connect_request(host, port, username, ticket, trusted_cert, realm)
    try:
        sock = await _within(
            timeout, _open_and_send(socket_path, request), "sending the request timed out"
        )
    finally:
        p.wipe(request)
    return Tunnel(sock)


class Watch:
    """As marlox.Watch, iterated with async for. Use from one task at a time."""

    def __init__(self, sock: socket.socket) -> None:
        self._sock = sock
        self._reader = _Reader(sock)
        self._stream = p.WatchStream()

    async def next_state(self, timeout: Optional[float] = None) -> Optional[p.State]:
        try:
            line = await self._reader.line(timeout)
        except errors.UnexpectedReply as error:
            if not self._reader.ended:
                raise
            self._stream.cut_off(error)
            return None
        return self._stream.line(line)

    async def __aiter__(self) -> AsyncIterator[p.State]:
        while (state := await self.next_state()) is not None:
            yield state

    async def aclose(self) -> None:
        self._sock.close()

    async def __aenter__(self) -> "Watch":
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()


async def watch(
    *, socket_path: str = p.SOCKET_PATH, timeout: Optional[float] = DEFAULT_TIMEOUT
) -> Watch:
    """As marlox.watch()."""
    sock = await _within(
        timeout, _open_and_send(socket_path, p.WATCH_REQUEST), "sending the request timed out"
    )
    return Watch(sock)
