"""The examples against the real daemon: examples/connect_async.py, the ticket fed on standard
input, and examples/glib-watch.c, built with pkg-config against an installation of the build."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest

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


GLIB_EXAMPLE = harness.ROOT / "examples" / "glib-watch.c"


def build_glib_example(out: Path) -> tuple[Path, dict[str, str]]:
    """Installs the build into the prefix out/stage, then builds the GLib example against that
    installation with pkg-config, as an application developer would. Returns the program and
    the environment that finds the installed library."""
    stage = out / "stage"
    subprocess.run(["cmake", "--install", str(harness.BUILD), "--prefix", str(stage)],
                   check=True, capture_output=True)
    pc_dirs = sorted({str(pc.parent) for pc in stage.rglob("marlox.pc")})
    assert len(pc_dirs) == 1, pc_dirs
    env = dict(os.environ, PKG_CONFIG_PATH=pc_dirs[0])
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "marlox", "glib-2.0"],
                           check=True, capture_output=True, text=True, env=env).stdout.split()
    program = out / "glib-watch"
    build = subprocess.run(["cc", "-Wall", "-Wextra", "-Werror", str(GLIB_EXAMPLE), *flags, "-o",
                            str(program)], capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    library_dir = next(stage.rglob("libmarlox.so.1")).parent
    return program, dict(os.environ, LD_LIBRARY_PATH=str(library_dir))


def test_the_glib_example_shows_the_states_of_a_tunnel(
    daemon: harness.Daemon, tmp_path: Path
) -> None:
    if harness.SANITIZED_LIBRARY:
        pytest.skip(harness.SANITIZED_LIBRARY)
    glib = subprocess.run(["pkg-config", "--exists", "glib-2.0"]).returncode == 0
    if not glib:
        if harness.must_run():
            pytest.fail("cannot run (MARLOX_TESTS_MUST_RUN=1): libglib2.0-dev is missing")
        pytest.skip("libglib2.0-dev is missing (scripts/setup installs it)")
    program, env = build_glib_example(tmp_path)
    harness.fake_script("h", "notify READY=1\nexit 3\n")
    watch = subprocess.Popen([str(program), "5"], stdout=subprocess.PIPE, text=True, env=env)
    assert watch.stdout is not None
    assert watch.stdout.readline() == "idle\n"
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as tunnel:
        tunnel.connect(harness.SOCKET)
        tunnel.sendall(b'{"cmd":"connect","host":"h","port":"443","username":"u","ticket":"t"}\n')
        out, _ = watch.communicate(timeout=harness.TIMEOUT)
    pid = (harness.FAKE_DIR / "pid").read_text()
    assert watch.returncode == 0
    assert out == (f"starting uid=0\nconnecting uid=0 pid={pid}\nup uid=0 pid={pid}\n"
                   "idle exit=3\n")
