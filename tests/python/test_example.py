"""examples/connect_async.py against the real daemon, the ticket fed on standard input."""

from __future__ import annotations

import os
import subprocess
import sys

import harness

EXAMPLE = harness.ROOT / "examples" / "connect_async.py"


def test_the_async_example_prints_the_lines_and_when_the_tunnel_is_up(
    daemon: harness.Daemon,
) -> None:
    # The tunnel's line comes well after "up", which the example sees on its watch stream.
    harness.fake_script("example", "notify READY=1\nsleep 500\nout after up\nexit 0\n")
    run = subprocess.run(
        [sys.executable, str(EXAMPLE), "--host", "example", "--username", "alice",
         "--socket", harness.SOCKET],
        input=b"secret\r\n", capture_output=True, timeout=harness.TIMEOUT,
        env=dict(os.environ, PYTHONPATH=str(harness.ROOT / "python")))
    assert run.returncode == 0, run.stderr
    pid = (harness.FAKE_DIR / "pid").read_text()
    lines = run.stdout.decode().splitlines()
    assert lines == [f"tunnel is up (pid {pid})", "after up", "tunnel ended"]
    assert "password = secret\n" in (harness.FAKE_DIR / "config").read_text()
