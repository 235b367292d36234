"""The wire format, without I/O: requests, reply lines, the line buffer and watch lines.
Both the synchronous and the asyncio client are built on these functions, so they mean the
same."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Optional, Union

from . import errors

SOCKET_PATH = "/run/marlox/helper.sock"

# The longest line the daemon sends, its line feed included: output lines leave in pieces of at
# most 65,536 bytes. A longer one means the peer is not the daemon.
MAX_LINE = 65536 + 1

STATUS_REQUEST = b'{"cmd":"status"}\n'
DISCONNECT_REQUEST = b'{"cmd":"disconnect"}\n'
WATCH_REQUEST = b'{"cmd":"watch"}\n'

RUNNING = b'{"running":true}\n'
NOT_RUNNING = b'{"running":false}\n'
OK = b'{"ok":true}\n'

_ERROR_PREFIX = b'{"error":"'
_ERROR_SUFFIX = b'"}\n'

_ERROR_CLASSES: dict[str, type[errors.DaemonError]] = {
    "unauthorized": errors.Unauthorized,
    "too many connections": errors.TooManyConnections,
    "bad json": errors.BadJson,
    "request too long": errors.RequestTooLong,
    "unknown cmd": errors.UnknownCmd,
    "already connected": errors.AlreadyConnected,
    "write conf failed": errors.WriteConfFailed,
}
_CONNECT_MEMBERS = ("host", "port", "username", "ticket", "trusted_cert", "realm")
_INVALID_FIELD = "invalid field: "
_SPAWN = "spawn: "

Secret = Union[str, bytes, bytearray, memoryview]


def error_text(line: bytes) -> Optional[str]:
    """TEXT when line is {"error":"TEXT"} and its line feed (TEXT as the daemon inserted it,
    unescaped), else None."""
    if not (line.startswith(_ERROR_PREFIX) and line.endswith(_ERROR_SUFFIX)):
        return None
    if len(line) < len(_ERROR_PREFIX) + len(_ERROR_SUFFIX):
        return None
    return line[len(_ERROR_PREFIX) : -len(_ERROR_SUFFIX)].decode("utf-8", "replace")


def is_known_error(text: str) -> bool:
    """Whether TEXT is one of the error replies of protocol version 1."""
    if text in _ERROR_CLASSES or text.startswith(_SPAWN):
        return True
    return text.startswith(_INVALID_FIELD) and text[len(_INVALID_FIELD) :] in _CONNECT_MEMBERS


def error_for(text: str) -> errors.DaemonError:
    """The exception for the error reply TEXT; DaemonError itself for a TEXT not known here."""
    if text in _ERROR_CLASSES:
        return _ERROR_CLASSES[text](text)
    if text.startswith(_SPAWN):
        return errors.SpawnFailed(text)
    if text.startswith(_INVALID_FIELD) and text[len(_INVALID_FIELD) :] in _CONNECT_MEMBERS:
        return errors.InvalidField(text)
    return errors.DaemonError(text)


def connect_error(first_line: bytes) -> Optional[errors.DaemonError]:
    """The daemon's error if the first line of a connect stream is one; None when it is the
    tunnel's output. Only a line that is byte for byte an error reply of this version counts:
    anything else, an error text a later daemon might add included, is output."""
    text = error_text(first_line)
    if text is None or not is_known_error(text):
        return None
    return error_for(text)


def status_reply(line: Optional[bytes]) -> bool:
    if line == RUNNING:
        return True
    if line == NOT_RUNNING:
        return False
    raise _unexpected_or_error(line, "not a status reply")


def ok_reply(line: Optional[bytes]) -> None:
    if line != OK:
        raise _unexpected_or_error(line, "not a disconnect reply")


def _unexpected_or_error(line: Optional[bytes], why: str) -> errors.MarloxError:
    if line is None:
        return errors.UnexpectedReply(b"", "the daemon closed the connection without a reply")
    text = error_text(line)
    return error_for(text) if text is not None else errors.UnexpectedReply(line, why)


def output_line(line: bytes) -> str:
    """A relayed output line as text, without its line feed. The daemon sends valid UTF-8 only;
    anything else is repaired, never an error."""
    return line[:-1].decode("utf-8", "replace")


class LineBuffer:
    """Bytes received so far, cut at line feeds; refuses a line longer than the daemon sends."""

    def __init__(self) -> None:
        self._data = bytearray()

    def feed(self, data: bytes) -> None:
        self._data += data

    def next_line(self) -> Optional[bytes]:
        """The next whole line with its line feed, or None until more bytes arrive."""
        end = self._data.find(b"\n")
        if end < 0:
            if len(self._data) >= MAX_LINE:
                raise errors.UnexpectedReply(bytes(self._data[:64]), "a line too long")
            return None
        line = bytes(self._data[: end + 1])
        del self._data[: end + 1]
        return line

    def rest(self) -> bytes:
        """What came after the last line feed (at the end of the stream: a cut-off line)."""
        return bytes(self._data)


# -- requests ---------------------------------------------------------------------------------


def _json_string(value: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"expected str, got {type(value).__name__}")
    try:
        return json.dumps(value, ensure_ascii=False).encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError("a lone surrogate cannot be sent as UTF-8") from None


def _is_utf8(data: memoryview) -> bool:
    """Whether data is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF),
    checked without making a copy of it."""
    i, n = 0, len(data)
    while i < n:
        b = data[i]
        if b < 0x80:
            i += 1
            continue
        if 0xC2 <= b <= 0xDF:
            need, low, high = 1, 0x80, 0xBF
        elif b == 0xE0:
            need, low, high = 2, 0xA0, 0xBF
        elif 0xE1 <= b <= 0xEC or 0xEE <= b <= 0xEF:
            need, low, high = 2, 0x80, 0xBF
        elif b == 0xED:
            need, low, high = 2, 0x80, 0x9F
        elif b == 0xF0:
            need, low, high = 3, 0x90, 0xBF
        elif 0xF1 <= b <= 0xF3:
            need, low, high = 3, 0x80, 0xBF
        elif b == 0xF4:
            need, low, high = 3, 0x80, 0x8F
        else:
            return False
        if i + need >= n:
            return False
        if not low <= data[i + 1] <= high:
            return False
        for k in range(2, need + 1):
            if not 0x80 <= data[i + k] <= 0xBF:
                return False
        i += need + 1
    return True


def _escaped_size(secret: memoryview) -> int:
    size = 2
    for b in secret:
        size += 2 if b in (0x22, 0x5C) else 6 if b < 0x20 else 1
    return size


def _write_escaped(secret: memoryview, out: memoryview, at: int) -> int:
    """Writes secret as a JSON string into out from at on; returns where it ended."""
    out[at] = 0x22
    at += 1
    for b in secret:
        if b in (0x22, 0x5C):
            out[at] = 0x5C
            out[at + 1] = b
            at += 2
        elif b < 0x20:
            out[at : at + 6] = b"\\u00%02x" % b
            at += 6
        else:
            out[at] = b
            at += 1
    out[at] = 0x22
    return at + 1


def connect_request(
    host: str,
    port: Union[str, int],
    username: str,
    ticket: Secret,
    trusted_cert: Optional[str] = None,
    realm: Optional[str] = None,
) -> bytearray:
    """The connect request line, built in one buffer of its final size so the ticket is copied
    exactly once: into the buffer that the caller wipes (wipe()) once it is sent."""
    head = bytearray(b'{"cmd":"connect"')
    for name, value in (("host", host), ("port", str(port)), ("username", username)):
        head += b',"' + name.encode() + b'":' + _json_string(value)
    head += b',"ticket":'
    tail = bytearray()
    for name, optional in (("trusted_cert", trusted_cert), ("realm", realm)):
        if optional is not None:
            tail += b',"' + name.encode() + b'":' + _json_string(optional)
    tail += b"}\n"

    if isinstance(ticket, str):
        # A str cannot be wiped, nor can its UTF-8 form: pass a bytearray to keep the ticket
        # out of memory that outlives the request.
        try:
            ticket = ticket.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError("a lone surrogate cannot be sent as UTF-8") from None
    with memoryview(ticket) as raw, raw.cast("B") as view:
        if not _is_utf8(view):
            raise ValueError("the ticket is not UTF-8")
        return _assemble(head, view, tail)


def _assemble(head: bytes, secret: memoryview, tail: bytes) -> bytearray:
    request = bytearray(len(head) + _escaped_size(secret) + len(tail))
    with memoryview(request) as out:
        out[: len(head)] = head
        at = _write_escaped(secret, out, len(head))
        out[at:] = tail
    return request


def wipe(buffer: bytearray) -> None:
    """Overwrites buffer with zero bytes in place (its size stays: shrinking it could hand the
    memory back unwiped)."""
    with memoryview(buffer) as view:
        view[:] = bytes(len(buffer))


# -- watch lines --------------------------------------------------------------------------------


@dataclass(frozen=True)
class State:
    """One line of the watch stream. state is "idle", "starting", "connecting", "up" or
    "stopping", or a state a later daemon adds; the other members are None where the line has
    none. line is the line as received (without its line feed), members this version does not
    know included."""

    state: str
    uid: Optional[int] = None
    pid: Optional[int] = None
    by: Optional[str] = None
    by_uid: Optional[int] = None
    exit: Optional[int] = None
    signal: Optional[int] = None
    error: Optional[str] = None
    line: str = ""


_INT_MEMBERS = ("uid", "pid", "by_uid", "exit", "signal")
_STR_MEMBERS = ("by", "error")


def watch_state(line: bytes) -> State:
    """A watch line as a State; an error reply raises its DaemonError."""
    text = error_text(line)
    if text is not None:
        raise error_for(text)
    try:
        value = json.loads(line)
    except ValueError:
        raise errors.UnexpectedReply(line, "a watch line that is not JSON") from None
    if not isinstance(value, dict) or not isinstance(value.get("state"), str):
        raise errors.UnexpectedReply(line, "a watch line without a state")
    members: dict[str, object] = {}
    for name in _INT_MEMBERS:
        if name in value:
            member = value[name]
            if not isinstance(member, int) or isinstance(member, bool):
                raise errors.UnexpectedReply(line, f"a watch line whose {name} is no integer")
            members[name] = member
    for name in _STR_MEMBERS:
        if name in value:
            if not isinstance(value[name], str):
                raise errors.UnexpectedReply(line, f"a watch line whose {name} is no string")
            members[name] = value[name]
    return State(state=value["state"], line=line[:-1].decode("utf-8", "replace"), **members)  # type: ignore[arg-type]


class ConnectStream:
    """Turns the lines of a connect stream into output lines, raising the daemon's error when
    the first line is one."""

    def __init__(self) -> None:
        self._first = True

    def line(self, line: Optional[bytes]) -> Optional[str]:
        """line is the next line received, None at the end; returns the output line, or None
        once the tunnel has ended."""
        if line is None:
            if self._first:
                raise errors.UnexpectedReply(b"", "the stream ended before its first byte")
            return None
        if self._first:
            self._first = False
            error = connect_error(line)
            if error is not None:
                raise error
        return output_line(line)


class WatchStream:
    """Turns the lines of a watch stream into States."""

    def __init__(self) -> None:
        self._first = True

    def line(self, line: Optional[bytes]) -> Optional[State]:
        """line is the next line received, None at the end; returns the State, or None once the
        stream has ended."""
        if line is None:
            if self._first:
                raise errors.UnexpectedReply(b"", "the stream ended before its first line")
            return None
        state = watch_state(line)
        self._first = False
        return state

    def cut_off(self, error: errors.UnexpectedReply) -> None:
        """The stream ended inside a line: the end, once states have come (the daemon closes a
        watcher that falls behind wherever its sending stopped); raises error otherwise."""
        if self._first:
            raise error
