"""The synchronous client: blocking calls on one socket per request."""

from __future__ import annotations

import socket
import time
from typing import Iterator, Optional, Union

from . import _protocol as p
from . import errors

DEFAULT_TIMEOUT = 5.0


class _Deadline:
    def __init__(self, timeout: Optional[float]) -> None:
        self._end = None if timeout is None else time.monotonic() + timeout

    def remaining(self) -> Optional[float]:
        if self._end is None:
            return None
        left = self._end - time.monotonic()
        if left <= 0:
            raise errors.Timeout("the daemon did not answer in time")
        return left


def _open(path: str, deadline: _Deadline) -> socket.socket:
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)  # close-on-exec, as every Python fd
    try:
        sock.settimeout(deadline.remaining())
        sock.connect(path)
    except socket.timeout:
        sock.close()
        raise errors.Timeout(f"connecting to {path} timed out") from None
    except OSError as error:
        sock.close()
        raise errors.DaemonUnreachable(path, error) from None
    return sock


def _send(sock: socket.socket, request: Union[bytes, bytearray], deadline: _Deadline) -> None:
    try:
        sock.settimeout(deadline.remaining())
        sock.sendall(request)
    except socket.timeout:
        raise errors.Timeout("sending the request timed out") from None
    except (BrokenPipeError, ConnectionResetError):
        # The daemon may answer before it has read the whole request (admission, a request
        # too long) and close: its reply is still there to be read.
        pass


class _Reader:
    """Reads one connection line by line."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.buffer = p.LineBuffer()
        self.ended = False

    def line(self, timeout: Optional[float]) -> Optional[bytes]:
        """The next line with its line feed; None at the end of the stream. A cut-off last
        line raises UnexpectedReply."""
        deadline = _Deadline(timeout)
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
                self.sock.settimeout(deadline.remaining())
                data = self.sock.recv(65536)
            except socket.timeout:
                raise errors.Timeout("no line from the daemon in time") from None
            except OSError as error:
                raise errors.ConnectionLost(error.errno, f"receiving: {error.strerror}") from None
            if not data:
                self.ended = True
            self.buffer.feed(data)


def _exchange(request: bytes, socket_path: str, timeout: Optional[float]) -> Optional[bytes]:
    deadline = _Deadline(timeout)
    with _open(socket_path, deadline) as sock:
        _send(sock, request, deadline)
        return _Reader(sock).line(deadline.remaining())


def status(*, socket_path: str = p.SOCKET_PATH, timeout: Optional[float] = DEFAULT_TIMEOUT) -> bool:
    """Whether a tunnel is starting or running. Raises a DaemonError subclass on an error
    reply, DaemonUnreachable, Timeout, ConnectionLost or UnexpectedReply."""
    return p.status_reply(_exchange(p.STATUS_REQUEST, socket_path, timeout))


def disconnect(
    *, socket_path: str = p.SOCKET_PATH, timeout: Optional[float] = DEFAULT_TIMEOUT
) -> None:
    """Asks the daemon to end the tunnel (SIGTERM to openfortivpn), if one runs. Returns once the
    daemon has answered, not once the tunnel has ended: watch() for that. Raises as status()."""
    p.ok_reply(_exchange(p.DISCONNECT_REQUEST, socket_path, timeout))


class Tunnel:
    """A started connect: iterate over it for the tunnel's output lines (str, without the line
    feed) until the tunnel has ended. The first read raises the daemon's error if it refused
    the connect. Closing it (close(), or leaving a with block) ends the tunnel; end_tunnel() asks
    for that while the last lines can still be read. Not thread-safe."""

    def __init__(self, sock: socket.socket) -> None:
        self._sock = sock
        self._reader = _Reader(sock)
        self._stream = p.ConnectStream()

    def next_line(self, timeout: Optional[float] = None) -> Optional[str]:
        """The next output line, or None once the tunnel has ended. timeout bounds the wait
        (None: for ever; a tunnel may stay quiet for hours) and raises Timeout."""
        return self._stream.line(self._reader.line(timeout))

    def __iter__(self) -> Iterator[str]:
        while (line := self.next_line()) is not None:
            yield line

    def end_tunnel(self) -> None:
        """Asks the daemon to end the tunnel (it shuts down this side's sending half): the
        remaining lines and the end still arrive."""
        try:
            self._sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self) -> None:
        """Closes the connection: the daemon ends the tunnel."""
        self._sock.close()

    def __enter__(self) -> "Tunnel":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def connect(
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
    """Sends a connect request and returns the Tunnel whose lines follow. timeout bounds
    connecting and sending. The ticket is copied into one buffer, which is wiped as soon as the
    request has been sent; pass it as a bytearray (UTF-8) and wipe that yourself to keep it out
    of memory that outlives the call. Raises ValueError for a value that cannot be sent,
    DaemonUnreachable and Timeout; the daemon's refusal comes with the first line read."""
    request = p.connect_request(host, port, username, ticket, trusted_cert, realm)
    try:
        deadline = _Deadline(timeout)
        sock = _open(socket_path, deadline)
        try:
            _send(sock, request, deadline)
        except BaseException:
            sock.close()
            raise
    finally:
        p.wipe(request)
    return Tunnel(sock)


class Watch:
    """A watch stream: iterate over it for States, the current one first, then every change.
    The iteration ends when the daemon closes the stream (it stops, or this reader fell more
    than a few KiB behind); close() ends it from this side. Not thread-safe."""

    def __init__(self, sock: socket.socket) -> None:
        self._sock = sock
        self._reader = _Reader(sock)
        self._stream = p.WatchStream()

    def next_state(self, timeout: Optional[float] = None) -> Optional[p.State]:
        """The next state, or None at the end. timeout bounds the wait (None: for ever)."""
        try:
            line = self._reader.line(timeout)
        except errors.UnexpectedReply as error:
            if not self._reader.ended:
                raise
            self._stream.cut_off(error)
            return None
        return self._stream.line(line)

    def __iter__(self) -> Iterator[p.State]:
        while (state := self.next_state()) is not None:
            yield state

    def close(self) -> None:
        self._sock.close()

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def watch(
    *, socket_path: str = p.SOCKET_PATH, timeout: Optional[float] = DEFAULT_TIMEOUT
) -> Watch:
    """Sends a watch request and returns the Watch whose states follow. timeout bounds
    connecting and sending. An error reply (unauthorized, too many connections, unknown cmd
    from a daemon older than watch) is raised by the first read."""
    deadline = _Deadline(timeout)
    sock = _open(socket_path, deadline)
    try:
        _send(sock, p.WATCH_REQUEST, deadline)
    except BaseException:
        sock.close()
        raise
    return Watch(sock)
