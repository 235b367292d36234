"""The protocol's test vectors (docs/vectors/v1.json): every case against the real daemon, and
every client case through the marlox module, synchronous and asyncio, against the vector
server."""

from __future__ import annotations

import asyncio
import json
import os
import socket
from pathlib import Path
from typing import Any, Callable, Optional

import jsonschema
import pytest

import harness
import libmarlox
import marlox
import marlox.aio

VECTORS = harness.load_vectors()
CASES = VECTORS["cases"]
CLIENT_CASES = [case for case in CASES + VECTORS["client_cases"] if "client" in case]
HELD_CONNECTIONS = 64


def name_of(case: dict[str, Any]) -> str:
    return case["name"].replace(" ", "_")


def request_host(request: bytes) -> str:
    try:
        host = json.loads(request).get("host", "h")
    except ValueError:
        host = "h"
    return host if isinstance(host, str) else "h"


def threads_reading_a_request(daemon_pid: int) -> int:
    """The daemon's threads blocked in a receive: each has admitted its connection and counted
    it against its user's cap before it reads."""
    waiting = 0
    for task in Path(f"/proc/{daemon_pid}/task").iterdir():
        try:
            waiting += (task / "wchan").read_text() == "unix_stream_read_generic"
        except FileNotFoundError:
            pass  # a thread that has just ended
    return waiting


def hold_connections_then(work: Callable[[], Any], daemon_pid: int, uid: int) -> Any:
    """Holds 64 connections of uid, each still sending its request, until the daemon reads on
    every one, then runs work (the exchange) as uid. Reading the daemon's wchan files needs
    root, so this switches only the effective uid, which is the one the daemon sees."""
    held = []
    try:
        with harness.effective_uid(uid):
            for _ in range(HELD_CONNECTIONS):
                held.append(socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))
                held[-1].connect(harness.SOCKET)
                held[-1].sendall(b"{")
        harness.wait_for(
            lambda: threads_reading_a_request(daemon_pid) >= HELD_CONNECTIONS,
            "the daemon to read on every held connection",
        )
        with harness.effective_uid(uid):
            return work()
    finally:
        for sock in held:
            sock.close()


CONNECT = b'{"cmd":"connect","host":"%s","port":"443","username":"u","ticket":"t"}\n'


def start_tunnel(host: str, script: Optional[str], held: list[socket.socket]) -> None:
    """A connect from uid 0 whose openfortivpn runs script (none: waits for SIGTERM); its
    connection is kept open in held."""
    if script is not None:
        harness.fake_script(host, script)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    held.append(sock)
    sock.connect(harness.SOCKET)
    sock.sendall(CONNECT % host.encode())


def fake_started() -> None:
    harness.wait_for(lambda: (harness.FAKE_DIR / "ready").exists(), "openfortivpn to start")


def action(name: str, held: list[socket.socket]) -> Callable[[], None]:
    """What the vector file's action name does."""

    def come_up_and_exit() -> None:
        start_tunnel("up", "notify READY=1\nexit 3\n", held)

    def connect() -> None:
        start_tunnel("h", None, held)

    def disconnect_as_1000() -> None:
        reply = harness.as_user(1000, lambda: harness.exchange(b'{"cmd":"disconnect"}\n'))
        assert reply == (b'{"ok":true}\n', "closed")

    def connect_and_go_away() -> None:
        start_tunnel("gone", None, held)
        fake_started()
        held.pop().close()

    return {
        "a tunnel that comes up and exits": come_up_and_exit,
        "a connect": connect,
        "disconnect from uid 1000": disconnect_as_1000,
        "a connect whose client goes away": connect_and_go_away,
    }[name]


def set_up(case: dict[str, Any], start_daemon, held: list[socket.socket]) -> harness.Daemon:  # type: ignore[no-untyped-def]
    """The daemon in the state the case names; connections that must stay open go to held."""
    setup = case["setup"]
    daemon = start_daemon("/nonexistent" if setup == "no openfortivpn" else None)
    if "tunnel_output" in case:
        output = harness.expand(case["tunnel_output"])
        harness.fake_script(request_host(harness.expand(case["request"])),
                            harness.fake_output_script(output))
    if setup == "tunnel running":
        start_tunnel("running", None, held)
        fake_started()
    elif setup == "configuration blocked":
        os.makedirs(harness.CONFIG + "/in-the-way")
    else:
        assert setup in ("idle", "no openfortivpn", "user holds 64 connections"), setup
    return daemon


def run_as_case_user(case: dict[str, Any], daemon: harness.Daemon, work: Callable[[], Any]) -> Any:
    uid = case.get("uid", 0)
    if case["setup"] == "user holds 64 connections":
        return hold_connections_then(work, daemon.pid, uid)
    return work() if uid == 0 else harness.as_user(uid, work)


def fake_pid() -> str:
    pid = harness.FAKE_DIR / "pid"
    return pid.read_text() if pid.exists() else "none"


@pytest.mark.parametrize("case", CASES, ids=name_of)
def test_daemon_answers_as_the_vector_says(case: dict[str, Any], start_daemon) -> None:  # type: ignore[no-untyped-def]
    request = harness.expand(case["request"])
    held: list[socket.socket] = []
    daemon = set_up(case, start_daemon, held)
    then = action(case["then"], held) if "then" in case else None
    end = case["end"]
    lines = harness.expand(case["reply"], {"pid": "0"}).count(b"\n")

    def work() -> tuple[bytes, str]:
        return harness.exchange(request, case.get("shut_write", False), end, lines, then)

    try:
        reply, end = run_as_case_user(case, daemon, work)
    finally:
        for sock in held:
            sock.close()

    assert reply == harness.expand(case["reply"], {"pid": fake_pid()})
    # A daemon that answers before it has read the whole request (admission) may leave unread
    # bytes behind when it closes: the client then sees a reset after the reply.
    assert end == case["end"] or (case["end"] == "closed" and end == "reset")


def reply_lines(case: dict[str, Any]) -> list[bytes]:
    return harness.expand(case["reply"], {"pid": "4242"}).splitlines()


def schema_for(call: str, line: bytes) -> str:
    if line.startswith(b'{"error":'):
        return "reply-error"
    return {"status": "reply-status", "disconnect": "reply-ok", "watch": "watch-line"}[call]


def test_every_reply_of_the_vectors_fits_its_schema() -> None:
    schemas = harness.ROOT / "docs" / "schema"
    validators = {
        path.stem: jsonschema.Draft202012Validator(json.loads(path.read_text()))
        for path in schemas.glob("*.json")
    }
    checked = 0
    for case in CASES:
        request = harness.expand(case["request"])
        client = case.get("client")
        if client is None or client["call"] == "connect" and "error" not in client["expect"]:
            continue  # not a JSON reply: output lines, or no reply to a malformed request
        # The request schema refuses what the daemon refuses as invalid; it cannot count bytes.
        if b"invalid field" in harness.expand(case["reply"], {"pid": "0"}):
            assert not validators["request"].is_valid(json.loads(request)), case["name"]
        elif b"request too long" not in harness.expand(case["reply"], {"pid": "0"}):
            validators["request"].validate(json.loads(request))
        for line in reply_lines(case):
            validators[schema_for(client["call"], line)].validate(json.loads(line))
            checked += 1
    assert checked >= 10


def expected_outcome(expect: dict[str, Any], pid: Optional[int] = None) -> Any:
    """The outcome expect names; the pid variable as the vector server serves it, or pid."""
    if "lines" in expect:
        return ("lines", [harness.expand(line).decode("utf-8") for line in expect["lines"]])
    if "states" in expect:
        served = {name: int(var["served_as"]) for name, var in VECTORS["vars"].items()}
        if pid is not None:
            served["pid"] = pid
        states = [
            {k: served[v["var"]] if isinstance(v, dict) else v for k, v in state.items()}
            for state in expect["states"]
        ]
        return ("states", states)
    if "error" in expect:
        return ("error", expect["error"])
    if "unexpected_reply" in expect:
        return ("unexpected_reply", None)
    return ("returns", expect["returns"])


def state_members(state: marlox.State, expected: dict[str, Any]) -> dict[str, Any]:
    """The members a State has, in the form of the expected watch line."""
    names = ("state", "uid", "pid", "by", "by_uid", "exit", "signal", "error")
    return {name: getattr(state, name) for name in names if getattr(state, name) is not None}


def connect_args(client: dict[str, Any]) -> dict[str, str]:
    return {name: harness.expand(value).decode("utf-8") for name, value in client["args"].items()}


def run_sync(client: dict[str, Any], path: str) -> Any:
    call = client["call"]
    try:
        if call == "status":
            return ("returns", marlox.status(socket_path=path))
        if call == "disconnect":
            return ("returns", marlox.disconnect(socket_path=path))
        if call == "connect":
            with marlox.connect(**connect_args(client), socket_path=path) as tunnel:
                return ("lines", list(tunnel))
        wanted = len(client["expect"]["states"])
        with marlox.watch(socket_path=path) as watch:
            return ("states", [watch.next_state(harness.TIMEOUT) for _ in range(wanted)])
    except marlox.DaemonError as error:
        return ("error", error.error)
    except marlox.UnexpectedReply:
        return ("unexpected_reply", None)


async def run_async(client: dict[str, Any], path: str) -> Any:
    call = client["call"]
    try:
        if call == "status":
            return ("returns", await marlox.aio.status(socket_path=path))
        if call == "disconnect":
            return ("returns", await marlox.aio.disconnect(socket_path=path))
        if call == "connect":
            async with await marlox.aio.connect(**connect_args(client), socket_path=path) as t:
                return ("lines", [line async for line in t])
        wanted = len(client["expect"]["states"])
        async with await marlox.aio.watch(socket_path=path) as watch:
            return ("states", [await watch.next_state(harness.TIMEOUT) for _ in range(wanted)])
    except marlox.DaemonError as error:
        return ("error", error.error)
    except marlox.UnexpectedReply:
        return ("unexpected_reply", None)


@pytest.mark.parametrize("api", ["sync", "async"])
@pytest.mark.parametrize("case", CLIENT_CASES, ids=name_of)
def test_client_makes_of_the_reply_what_the_vector_says(
    case: dict[str, Any], api: str, vector_server
) -> None:  # type: ignore[no-untyped-def]
    path = vector_server(case["name"])
    client = case["client"]
    outcome = run_sync(client, path) if api == "sync" else asyncio.run(run_async(client, path))
    expected = expected_outcome(client["expect"])
    if outcome[0] == "states" and expected[0] == "states":
        outcome = ("states", [state_members(s, e) for s, e in zip(outcome[1], expected[1])])
    assert outcome == expected


@pytest.mark.parametrize("case", [case for case in CASES if "client" in case], ids=name_of)
def test_libmarlox_makes_of_the_daemons_reply_what_the_vector_says(
    case: dict[str, Any], start_daemon
) -> None:  # type: ignore[no-untyped-def]
    if harness.SANITIZED_LIBRARY:
        pytest.skip(harness.SANITIZED_LIBRARY)
    held: list[socket.socket] = []
    daemon = set_up(case, start_daemon, held)
    then = action(case["then"], held) if "then" in case else None
    try:
        outcome = run_as_case_user(case, daemon, lambda: libmarlox.run(case["client"], then))
    finally:
        for sock in held:
            sock.close()
    pid = fake_pid()
    expected = expected_outcome(case["client"]["expect"], int(pid) if pid != "none" else None)
    assert outcome == expected
