"""The marlox module's own cases: each error reply raises its own exception, and the ticket's
buffer is wiped once the request is sent."""

from __future__ import annotations

import asyncio
from typing import Any

import pytest

import marlox
import marlox.aio
from marlox import _protocol

# Every error reply of the protocol: its exception, and the attributes it carries.
ERROR_REPLIES = [
    ("unauthorized", marlox.Unauthorized, {}),
    ("too many connections", marlox.TooManyConnections, {}),
    ("bad json", marlox.BadJson, {}),
    ("request too long", marlox.RequestTooLong, {}),
    ("unknown cmd", marlox.UnknownCmd, {}),
    ("invalid field: trusted_cert", marlox.InvalidField, {"name": "trusted_cert"}),
    ("already connected", marlox.AlreadyConnected, {}),
    ("write conf failed", marlox.WriteConfFailed, {}),
    ("spawn: Permission denied (os error 13)", marlox.SpawnFailed,
     {"text": "Permission denied (os error 13)"}),
]


@pytest.mark.parametrize("text, kind, attributes", ERROR_REPLIES, ids=[e[0] for e in ERROR_REPLIES])
def test_each_error_reply_raises_its_own_exception(
    text: str, kind: type, attributes: dict[str, Any]
) -> None:
    line = b'{"error":"' + text.encode() + b'"}\n'
    for raised in (_protocol.error_for(text), _protocol.connect_error(line)):
        assert type(raised) is kind
        assert raised.error == text and raised.reply == line
        assert {name: getattr(raised, name) for name in attributes} == attributes
    with pytest.raises(kind):
        _protocol.status_reply(line)
    with pytest.raises(kind):
        _protocol.watch_state(line)


@pytest.mark.parametrize("api", ["sync", "async"])
def test_the_ticket_buffer_is_wiped_once_sent(api: str, vector_server, monkeypatch) -> None:  # type: ignore[no-untyped-def]
    built: list[bytearray] = []
    build = _protocol.connect_request

    def spy(*args: Any) -> bytearray:
        built.append(build(*args))
        return built[-1]

    path = vector_server("connect relays the tunnel's lines")
    monkeypatch.setattr(_protocol, "connect_request", spy)
    ticket = bytearray(b"t")
    if api == "sync":
        with marlox.connect("h", "443", "u", ticket, socket_path=path) as tunnel:
            assert built[0] == bytes(len(built[0]))  # before the first line is read
            assert list(tunnel) == ["a", "b", "c"]
    else:
        async def run() -> list[str]:
            async with await marlox.aio.connect("h", 443, "u", ticket, socket_path=path) as t:
                assert built[0] == bytes(len(built[0]))
                return [line async for line in t]

        assert asyncio.run(run()) == ["a", "b", "c"]
    assert len(built) == 1 and len(built[0]) > 60
    assert ticket == b"t"  # the caller's own buffer is the caller's to wipe
