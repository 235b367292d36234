"""Fixtures of the Python tests: the real daemon in the private /run, and the vector server."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path
from typing import Iterator, Optional

import pytest

import harness

sys.path.insert(0, str(harness.ROOT / "python"))


@pytest.fixture
def private_run() -> None:
    """The test's own empty /run; skipped (failed when tests must run) where there is none."""
    if harness.PROBLEM:
        if harness.must_run():
            pytest.fail(f"cannot run (MARLOX_TESTS_MUST_RUN=1): {harness.PROBLEM}")
        pytest.skip(harness.PROBLEM)
    harness.renew_run()


@pytest.fixture
def start_daemon(private_run: None) -> Iterator:
    """start_daemon(path_variable=None): the real daemon, stopped after the test."""
    started: list[harness.Daemon] = []

    def start(path_variable: Optional[str] = None) -> harness.Daemon:
        started.append(harness.Daemon(path_variable))
        return started[-1]

    yield start
    for daemon in started:
        daemon.stop()


@pytest.fixture
def daemon(start_daemon) -> harness.Daemon:  # type: ignore[no-untyped-def]
    return start_daemon()


@pytest.fixture
def vector_server(tmp_path: Path) -> Iterator:
    """vector_server(name) serves that client case on a socket path it returns."""
    servers: list[subprocess.Popen[str]] = []

    def serve(name: str) -> str:
        path = str(tmp_path / "vectors.sock")
        server = subprocess.Popen(
            [sys.executable, str(harness.ROOT / "scripts" / "vector-server"),
             "--socket", path, "--case", name],
            stdout=subprocess.PIPE, text=True)
        servers.append(server)
        assert server.stdout is not None
        ready = server.stdout.readline()
        assert ready.startswith("serving"), ready
        return path

    yield serve
    for server in servers:
        try:
            out, _ = server.communicate(timeout=harness.TIMEOUT)
        except subprocess.TimeoutExpired:
            server.kill()
            out, _ = server.communicate()
            pytest.fail("the vector server still waited for a connection")
        assert server.returncode == 0, out
