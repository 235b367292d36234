"""The exceptions of the marlox module: one class per daemon error reply, and the ways a
connection can fail."""

from __future__ import annotations

__all__ = [
    "MarloxError",
    "DaemonUnreachable",
    "ConnectionLost",
    "Timeout",
    "UnexpectedReply",
    "DaemonError",
    "Unauthorized",
    "TooManyConnections",
    "BadJson",
    "RequestTooLong",
    "UnknownCmd",
    "InvalidField",
    "AlreadyConnected",
    "WriteConfFailed",
    "SpawnFailed",
]


class MarloxError(Exception):
    """Base of every exception this module raises."""


class DaemonUnreachable(MarloxError, ConnectionError):
    """The socket could not be connected to: most often the daemon is not running."""

    def __init__(self, path: str, cause: OSError) -> None:
        super().__init__(cause.errno, f"cannot reach {path}: {cause.strerror or cause}")
        self.path = path


class ConnectionLost(MarloxError, ConnectionError):
    """The connection broke while the daemon's answer was still expected."""


class Timeout(MarloxError, TimeoutError):
    """The daemon did not answer within the time-out."""


class UnexpectedReply(MarloxError):
    """A reply this protocol does not know: cut off, not JSON, or no reply at all."""

    def __init__(self, reply: bytes, why: str) -> None:
        super().__init__(f"{why}: {reply!r}")
        self.reply = reply


class DaemonError(MarloxError):
    """The daemon answered {"error":TEXT}. A TEXT this version does not know (a later daemon
    may add some) raises DaemonError itself; each known one raises its own subclass."""

    def __init__(self, error: str) -> None:
        super().__init__(error)
        self.error = error  # TEXT, as the daemon sent it

    @property
    def reply(self) -> bytes:
        """The reply line, byte for byte."""
        return b'{"error":"' + self.error.encode() + b'"}\n'


class Unauthorized(DaemonError):
    """This user is not admitted by the daemon."""


class TooManyConnections(DaemonError):
    """This user already holds the daemon's per-user maximum of connections (64)."""


class BadJson(DaemonError):
    """The request was not one valid JSON value."""


class RequestTooLong(DaemonError):
    """The request line passed 64 KiB."""


class UnknownCmd(DaemonError):
    """The daemon does not know the command (a daemon older than the command, say)."""


class InvalidField(DaemonError):
    """connect refused a value, named by name ("host", "ticket", ...); nothing was started."""

    def __init__(self, error: str) -> None:
        super().__init__(error)
        self.name = error[len("invalid field: ") :]


class AlreadyConnected(DaemonError):
    """connect while a tunnel is starting or running."""


class WriteConfFailed(DaemonError):
    """The daemon could not write openfortivpn's configuration file."""


class SpawnFailed(DaemonError):
    """openfortivpn could not be started; text is the system's reason."""

    def __init__(self, error: str) -> None:
        super().__init__(error)
        self.text = error[len("spawn: ") :]
