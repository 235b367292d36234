"""A client for marlox-helper, the daemon that runs one openfortivpn tunnel for local users.

Synchronous calls live here; marlox.aio has the same calls as coroutines, with the same
meaning. The protocol they speak is docs/protocol.md (version 1)::

    import marlox

    print(marlox.status())                      # True while a tunnel starts or runs
    with marlox.connect("vpn.example.com", 443, "alice", ticket) as tunnel:
        for line in tunnel:                     # openfortivpn's output, until the tunnel ends
            print(line)
    for state in marlox.watch():                # the current state, then every change
        print(state.state, state.pid)

Every call takes socket_path (default /run/marlox/helper.sock) and timeout (seconds, None for
no limit; for connect and watch it bounds connecting and sending, and next_line/next_state
take their own). Failures raise a MarloxError: one DaemonError subclass per error reply of the
daemon, DaemonUnreachable, ConnectionLost, Timeout or UnexpectedReply.

The ticket: connect() copies it once, into the buffer of the request, and overwrites that
buffer with zeros as soon as the request has been sent (or has failed to be). Pass it as a
bytearray and wipe that yourself afterwards (marlox.wipe) to keep it out of memory that outlives
the call. Python cannot promise more: a ticket given as str (what getpass returns) is immutable
and cannot be wiped, nor can the copies the interpreter or the kernel make on the way.
"""

from __future__ import annotations

from ._protocol import SOCKET_PATH, State, wipe
from ._sync import DEFAULT_TIMEOUT, Tunnel, Watch, connect, disconnect, status, watch
from .errors import (
    AlreadyConnected,
    BadJson,
    ConnectionLost,
    DaemonError,
    DaemonUnreachable,
    InvalidField,
    MarloxError,
    RequestTooLong,
    SpawnFailed,
    Timeout,
    TooManyConnections,
    Unauthorized,
    UnexpectedReply,
    UnknownCmd,
    WriteConfFailed,
)

__version__ = "0.1.0"
PROTOCOL_VERSION = 1

__all__ = [
    "SOCKET_PATH",
    "DEFAULT_TIMEOUT",
    "PROTOCOL_VERSION",
    "State",
    "Tunnel",
    "Watch",
    "status",
    "disconnect",
    "connect",
    "watch",
    "wipe",
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
