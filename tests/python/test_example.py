"""examples/connect_async.py against the real daemon, the ticket fed on standard input."""

from __future__ import annotations

import os
import subprocess
import sys

import harness

EXAMPLE = harness.ROOT / "examples" / "connect_async.py"


def test_the_async_example_prints_the_tunnel_lines_until_the_end(daemon: harness.Daemon) -> None:
    harness.fake_script("example", "out first line\nsleep 300\nout last line\nexit 0\n")
    run = subprocess.run(
        [sys.executable, str(EXAMPLE), "--host", "example", "--username", "alice",
         "--socket", harness.SOCKET],
        input=b"secret\r\n", capture_output=True, timeout=harness.TIMEOUT,
        env=dict(os.environ, PYTHONPATH=str(harness.ROOT / "python")))
    assert run.returncode == 0, run.stderr
    lines = run.stdout.decode().splitlines()
    assert lines == ["first line", "last line", "tunnel ended"]
    assert "password = secret\n" in (harness.FAKE_DIR / "config").read_text()
