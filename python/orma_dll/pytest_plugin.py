"""pytest plugin: the `ormasim` fixture starts the module simulator on 127.0.0.1:5002.

    def test_command(ormasim):
        with Link() as link: ...

Options for the simulator: @pytest.mark.ormasim("--noise", "8", "--notify", "100"). A capture to
play again: @pytest.mark.ormasim("--replay", "session.pcapng"), a relative path being taken from
the test file's folder.
The simulator is found through ORMASIM, next to the library (../bin/ormasim), then PATH; when
it is not, the test fails with a message that names what is missing (the library, found through
ORMA_DLL_LIBRARY, or the simulator) and where it was looked for.
"""
from __future__ import annotations

import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator, List, Optional, Tuple

import pytest

from ._library import LibraryNotFound, load

PORT = 5002
ENV_SIMULATOR = "ORMASIM"
SIMULATOR = "ormasim.exe" if sys.platform == "win32" else "ormasim"


def _find_simulator() -> Tuple[Optional[str], Optional[str]]:
    """(path, None), or (None, a message that names what is missing and where it was looked for)."""
    env = os.environ.get(ENV_SIMULATOR)
    if env:
        if os.path.isfile(env) and os.access(env, os.X_OK):
            return env, None
        return None, "%s is %s, which is no program: set %s to the simulator's path" % (ENV_SIMULATOR, env,
                                                                                        ENV_SIMULATOR)
    try:
        library = load().orma_path
    except LibraryNotFound as error:
        library, no_library = None, error
    looked = []
    if library and os.path.dirname(library):  # a bare name was found by the system's search: no folder
        lib_dir = os.path.dirname(os.path.abspath(library))
        for beside in (os.path.join(os.path.dirname(lib_dir), "bin", SIMULATOR), os.path.join(lib_dir, SIMULATOR)):
            if os.path.isfile(beside):
                return beside, None
            looked.append("%s (next to the library)" % beside)
    on_path = shutil.which(SIMULATOR)
    if on_path:
        return on_path, None
    path = "PATH (%s)" % os.environ.get("PATH", "")
    if library is None:
        return None, ("%s\n%s is looked for next to the library; %s has none either, and %s (its path) is not set"
                      % (no_library, SIMULATOR, path, ENV_SIMULATOR))
    return None, "no %s found: set %s to its path. Looked at:\n  %s" % (SIMULATOR, ENV_SIMULATOR,
                                                                        "\n  ".join(looked + [path]))


def _port_taken() -> Optional[OSError]:
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        probe.bind(("127.0.0.1", PORT))
        return None
    except OSError as error:
        return error
    finally:
        probe.close()


class Simulator:
    """A running ormasim: its process, arguments and what it printed so far."""

    def __init__(self, process: subprocess.Popen[bytes], args: List[str], log_path: Path) -> None:
        self.process, self.args, self.log_path = process, args, log_path

    def output(self) -> str:
        with open(self.log_path, encoding="utf-8", errors="replace") as log:
            return log.read()


def _beside_test(request: pytest.FixtureRequest, args: List[str]) -> List[str]:
    """The marker's arguments, with the capture of --replay taken from the test file's folder when relative."""
    folder = Path(str(request.node.fspath)).parent
    out = []
    for arg in args:
        if out and out[-1] == "--replay" and not os.path.isabs(arg):
            arg = str(folder / arg)
        elif arg.startswith("--replay=") and not os.path.isabs(arg[len("--replay="):]):
            arg = "--replay=" + str(folder / arg[len("--replay="):])
        out.append(arg)
    return out


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "ormasim(*args): extra command-line options for the ormasim fixture")


@pytest.fixture
def ormasim(request: pytest.FixtureRequest, tmp_path: Path) -> Iterator[Simulator]:
    """ormasim --tcp --port 5002 for one test, stopped after it."""
    program, missing = _find_simulator()
    if missing:
        pytest.fail("ormasim fixture: %s" % missing, pytrace=False)
    taken = _port_taken()
    if taken is not None:
        pytest.fail("ormasim fixture: port %d on 127.0.0.1 is taken (%s): stop the program that holds it "
                    "(another ormasim or a module's TCP peer) before running these tests" % (PORT, taken),
                    pytrace=False)
    marker = request.node.get_closest_marker("ormasim")
    args = [program, "--tcp", "--port", str(PORT)] + _beside_test(request, [str(a) for a in (marker.args if marker else ())])
    log_path = tmp_path / "ormasim.out"
    log = open(log_path, "wb")
    process = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT)
    simulator = Simulator(process, args, log_path)
    try:
        deadline = time.monotonic() + 10
        while "ormasim: ready" not in simulator.output():
            if process.poll() is not None or time.monotonic() > deadline:
                pytest.fail("ormasim fixture: %s did not get ready:\n%s" % (" ".join(args), simulator.output()),
                            pytrace=False)
            time.sleep(0.02)
        yield simulator
    finally:
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        log.close()
