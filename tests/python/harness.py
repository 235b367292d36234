"""The real daemon for the Python tests, run as the C++ integration tests run it: in a private
mount namespace with its own tmpfs on /run, with the fake openfortivpn first on its PATH."""

from __future__ import annotations

import ctypes
import json
import os
import pickle
import signal
import socket
import subprocess
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Callable, Iterator, Optional

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("MARLOX_BUILD_DIR", ROOT / "build"))
DAEMON = os.environ.get("MARLOX_TEST_DAEMON") or str(BUILD / "marlox-helper")
FAKE_BIN = os.environ.get("MARLOX_FAKE_BIN_DIR") or str(BUILD / "fake-bin")
SOCKET = "/run/marlox/helper.sock"
CONFIG = "/run/marlox/of.conf"
FAKE_DIR = Path("/run/marlox-fake")
TIMEOUT = 10.0

_libc = ctypes.CDLL(None, use_errno=True)
_CLONE_NEWNS = 0x00020000
_MS_NOSUID, _MS_NODEV, _MS_REC, _MS_PRIVATE = 2, 4, 16384, 1 << 18
_PR_SET_PDEATHSIG = 1


def _error(what: str) -> str:
    return f"{what}: {os.strerror(ctypes.get_errno())}"


def _mount_run() -> str:
    if _libc.mount(b"tmpfs", b"/run", b"tmpfs", _MS_NOSUID | _MS_NODEV, b"mode=0755") < 0:
        return _error("mounting a tmpfs on /run")
    return ""


def _enter() -> str:
    if os.geteuid() != 0:
        return "not running as root"
    if _libc.unshare(_CLONE_NEWNS) < 0:
        return _error("unshare(CLONE_NEWNS)")
    # The mount holding /run is made private with all below it, so the tmpfs never shows up in
    # the machine's namespace; in a chroot neither / nor /run may be a mount point.
    for path in (b"/", b"/run"):
        if _libc.mount(b"none", path, None, _MS_REC | _MS_PRIVATE, None) == 0:
            return _mount_run()
        if ctypes.get_errno() != 22:  # EINVAL: not a mount point
            return _error(f"making {path.decode()} private")
    return "neither / nor /run is a mount point (a chroot?)"


# Entered once, when the test process starts and has no thread yet (unshare refuses a threaded
# process): why the tests cannot run here, or an empty string.
PROBLEM = _enter()


def must_run() -> bool:
    return os.environ.get("MARLOX_TESTS_MUST_RUN") == "1"


# A libmarlox built with sanitizers needs their runtime loaded before anything else, which an
# ordinary python3 (or the GLib example) cannot give it: the tests that load the library into
# this process skip there. The C++ tests exercise the library under the sanitizers instead.
SANITIZED_LIBRARY = (
    "libmarlox is built with sanitizers and cannot be loaded into an unsanitized process"
    if os.environ.get("MARLOX_SANITIZED_LIBRARY") == "1"
    else None
)


def renew_run() -> None:
    """A new empty tmpfs over the private /run, so every test starts alike."""
    problem = _mount_run()
    assert not problem, problem


def expand(value: Any, variables: Optional[dict[str, str]] = None) -> bytes:
    """A byte string of the vector file (its format.bytes) as bytes."""
    if isinstance(value, str):
        return value.encode("utf-8")
    out = bytearray()
    for part in value:
        if isinstance(part, str):
            out += part.encode("utf-8")
        elif "hex" in part:
            out += bytes.fromhex(part["hex"])
        elif "repeat" in part:
            out += part["repeat"].encode("utf-8") * part["times"]
        else:
            out += (variables or {})[part["var"]].encode("utf-8")
    return bytes(out)


def load_vectors() -> dict[str, Any]:
    return json.loads((ROOT / "docs" / "vectors" / "v1.json").read_text(encoding="utf-8"))


class Daemon:
    """build/marlox-helper, started for one test; killed with the test process at the latest."""

    def __init__(self, path_variable: Optional[str] = None) -> None:
        FAKE_DIR.mkdir(exist_ok=True)
        env = {
            "PATH": path_variable or f"{FAKE_BIN}:/usr/bin:/bin",
            "MARLOX_FAKE_DIR": str(FAKE_DIR),
        }
        # A sanitized build's settings reach the daemon, so its reports land with the others.
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        self.stderr_path = FAKE_DIR / "daemon-stderr"
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(
                [DAEMON],
                env=env,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=stderr,
                preexec_fn=lambda: _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL),
            )
        deadline = time.monotonic() + TIMEOUT
        while not (os.path.exists(SOCKET) and os.stat(SOCKET).st_mode & 0o777 == 0o666):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"the daemon did not start: {self.stderr_path.read_text()}")
            time.sleep(0.005)

    @property
    def pid(self) -> int:
        return self.process.pid

    def stop(self) -> None:
        self.process.kill()
        self.process.wait(TIMEOUT)


def fake_script(host: str, script: str) -> None:
    """The script the fake openfortivpn runs when started for host (see tests/fake)."""
    (FAKE_DIR / f"script-{host}").write_text(script)


def fake_output_script(output: bytes) -> str:
    """A fake's script that prints output on standard output, then exits with status 0."""
    escaped = "".join(
        chr(b) if 0x20 < b < 0x7F and b != 0x5C else f"\\x{b:02x}" for b in output
    )
    return f"out-raw {escaped}\nexit 0\n" if output else "exit 0\n"


def wait_for(condition: Callable[[], bool], what: str, timeout: float = TIMEOUT) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.005)


def exchange(
    request: bytes,
    shut_write: bool = False,
    end: str = "closed",
    lines: int = 0,
    after_first_line: Optional[Callable[[], None]] = None,
) -> tuple[bytes, str]:
    """Connects as this process's user, sends request and reads what comes back: until the
    daemon closes ("closed"), or, for end "open", until that many lines have arrived and then a
    moment more. after_first_line runs once the first line is in. Returns the bytes and how the
    stream looked: "closed", "open" or "reset"."""
    received = bytearray()
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.settimeout(TIMEOUT)
        sock.connect(SOCKET)
        try:
            sock.sendall(request)
        except (BrokenPipeError, ConnectionResetError):
            pass
        if shut_write:
            sock.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            if after_first_line is not None and b"\n" in received:
                after_first_line()
                after_first_line = None
            if end == "open" and received.count(b"\n") >= lines:
                sock.settimeout(0.2)  # nothing more, and no end, should follow
            try:
                data = sock.recv(65536)
            except socket.timeout:
                return bytes(received), "open"
            except ConnectionResetError:
                return bytes(received), "reset"
            if not data:
                return bytes(received), "closed"
            received += data
    return bytes(received), "open"


@contextmanager
def effective_uid(uid: int) -> Iterator[None]:
    """This process's effective uid and gid are uid meanwhile: the peer the daemon sees in a
    connection made now."""
    os.setegid(uid)
    os.seteuid(uid)
    try:
        yield
    finally:
        os.seteuid(0)
        os.setegid(0)


def as_user(uid: int, work: Callable[[], Any]) -> Any:
    """Runs work in a forked child that has dropped to uid (gid uid, no supplementary groups)
    and returns its result."""
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
            result: Any = ("value", work())
        except BaseException as error:  # the parent reports it
            result = ("error", repr(error))
        with os.fdopen(write_end, "wb") as out:
            pickle.dump(result, out)
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as reader:
        data = reader.read()
    os.waitpid(child, 0)
    kind, value = pickle.loads(data)
    if kind == "error":
        raise AssertionError(f"as uid {uid}: {value}")
    return value
