"""libmarlox, the C library, called through ctypes the way the vector tests call the Python
module: run(client) makes the case's call and returns its outcome in the form of
test_vectors.expected_outcome."""

from __future__ import annotations

import ctypes
import errno
import os
import select
from typing import Any, Callable, Optional

import harness

MARLOX_E_DAEMON = -10001
MARLOX_E_UNEXPECTED = -10002
LINE, ERROR, STATE, END = 1, 2, 3, 4
ABSENT = -1
TIMEOUT_MS = int(harness.TIMEOUT * 1000)
BY_WORDS = {1: "disconnect", 2: "app"}


class Reply(ctypes.Structure):
    _fields_ = [("error", ctypes.c_int), ("text", ctypes.c_void_p), ("length", ctypes.c_size_t),
                ("detail", ctypes.c_char_p), ("reached", ctypes.c_bool)]


class Event(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("text", ctypes.c_void_p), ("length", ctypes.c_size_t),
                ("error", ctypes.c_int), ("detail", ctypes.c_char_p), ("state", ctypes.c_int),
                ("state_name", ctypes.c_char_p), ("uid", ctypes.c_int64),
                ("pid", ctypes.c_int64), ("by", ctypes.c_int), ("by_uid", ctypes.c_int64),
                ("exit_status", ctypes.c_int64), ("signal_number", ctypes.c_int64),
                ("start_error", ctypes.c_char_p), ("reserved_", ctypes.c_void_p * 8)]


_lib: Any = None


def _load() -> Any:
    global _lib
    if _lib is None:
        lib = ctypes.CDLL(os.environ.get("MARLOX_LIBMARLOX") or str(harness.BUILD / "lib" / "libmarlox.so.1"))
        lib.marlox_status.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_bool), ctypes.POINTER(Reply)]
        lib.marlox_disconnect.argtypes = [ctypes.c_int, ctypes.POINTER(Reply)]
        lib.marlox_reply_clear.argtypes = [ctypes.POINTER(Reply)]
        lib.marlox_connect.argtypes = [ctypes.c_char_p] * 4 + [ctypes.c_size_t] + [ctypes.c_char_p] * 2 + [
            ctypes.c_int, ctypes.POINTER(ctypes.c_void_p)]
        lib.marlox_watch.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_void_p)]
        lib.marlox_session_fd.argtypes = [ctypes.c_void_p]
        lib.marlox_session_next.argtypes = [ctypes.c_void_p, ctypes.POINTER(Event)]
        lib.marlox_session_free.argtypes = [ctypes.c_void_p]
        _lib = lib
    return _lib


def _text(pointer: Optional[int], length: int) -> str:
    return ctypes.string_at(pointer, length).decode("utf-8", "replace") if length else ""


def _reply_outcome(result: int, reply: Reply, value: Any) -> Any:
    if result == 0:
        return ("returns", value)
    if result == MARLOX_E_DAEMON:
        return ("error", _text(reply.text, reply.length))
    if result == MARLOX_E_UNEXPECTED:
        return ("unexpected_reply", None)
    return ("failed", -result)


def _state(event: Event) -> dict[str, Any]:
    state: dict[str, Any] = {"state": event.state_name.decode()}
    for name in ("uid", "pid", "by_uid"):
        if getattr(event, name) != ABSENT:
            state[name] = getattr(event, name)
    if event.exit_status != ABSENT:
        state["exit"] = event.exit_status
    if event.signal_number != ABSENT:
        state["signal"] = event.signal_number
    if event.by:
        state["by"] = BY_WORDS.get(event.by, "?")
    if event.start_error is not None:
        state["error"] = event.start_error.decode()
    return state


def _stream(session: ctypes.c_void_p, wanted: Optional[int], then: Optional[Callable[[], None]]) -> Any:
    """Events until the end (connect) or the wanted number of states (watch), each wait a poll
    on the session's descriptor; then runs once the first state is in."""
    lines: list[str] = []
    states: list[dict[str, Any]] = []
    poller = select.poll()
    poller.register(_load().marlox_session_fd(session), select.POLLIN)
    event = Event()
    while wanted is None or len(states) < wanted:
        result = _load().marlox_session_next(session, ctypes.byref(event))
        if result == -errno.EAGAIN:
            assert poller.poll(TIMEOUT_MS), "no event from the daemon in time"
            continue
        if result == MARLOX_E_UNEXPECTED:
            return ("unexpected_reply", None)
        assert result == 0, f"marlox_session_next: {result}"
        if event.type == ERROR:
            return ("error", _text(event.text, event.length))
        if event.type == END:
            break
        if event.type == LINE:
            lines.append(_text(event.text, event.length))
        else:
            states.append(_state(event))
            if then is not None:
                then()
                then = None
    return ("lines", lines) if wanted is None else ("states", states)


def run(client: dict[str, Any], then: Optional[Callable[[], None]] = None) -> Any:
    call = client["call"]
    reply = Reply()
    if call in ("status", "disconnect"):
        running = ctypes.c_bool()
        result = (_load().marlox_status(TIMEOUT_MS, ctypes.byref(running), ctypes.byref(reply))
                  if call == "status" else _load().marlox_disconnect(TIMEOUT_MS, ctypes.byref(reply)))
        outcome = _reply_outcome(result, reply, running.value if call == "status" else None)
        _load().marlox_reply_clear(ctypes.byref(reply))
        return outcome
    session = ctypes.c_void_p()
    if call == "connect":
        args = {name: harness.expand(value) for name, value in client["args"].items()}
        ticket = args["ticket"]
        result = _load().marlox_connect(args["host"], args["port"], args["username"], ticket,
                                     len(ticket), args.get("trusted_cert"), args.get("realm"),
                                     TIMEOUT_MS, ctypes.byref(session))
        wanted = None
    else:
        result = _load().marlox_watch(TIMEOUT_MS, ctypes.byref(session))
        wanted = len(client["expect"]["states"])
    assert result == 0, f"marlox_{call}: {result}"
    try:
        return _stream(session, wanted, then)
    finally:
        _load().marlox_session_free(session)
