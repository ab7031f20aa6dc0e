"""pytest plugin: the `ormasim` fixture starts the module simulator on 127.0.0.1:5002.

    def test_command(ormasim):
        with Link() as link: ...

Options for the simulator: @pytest.mark.ormasim("--noise", "8", "--notify", "100").
The simulator is found through ORMASIM, next to the library (../bin/ormasim), then PATH.
"""
from __future__ import annotations

import os
import shutil
import socket
import subprocess
import time
from pathlib import Path
from typing import Iterator, List, Optional

import pytest

PORT = 5002
ENV_SIMULATOR = "ORMASIM"


def _find_simulator() -> Optional[str]:
    env = os.environ.get(ENV_SIMULATOR)
    if env:
        return env
    try:
        from ._library import load
        lib_dir = os.path.dirname(os.path.abspath(load().orma_path))
        beside = os.path.join(os.path.dirname(lib_dir), "bin", "ormasim")
        if os.path.exists(beside):
            return beside
        beside = os.path.join(lib_dir, "ormasim")
        if os.path.exists(beside):
            return beside
    except OSError:
        pass
    return shutil.which("ormasim")


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


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "ormasim(*args): extra command-line options for the ormasim fixture")


@pytest.fixture
def ormasim(request: pytest.FixtureRequest, tmp_path: Path) -> Iterator[Simulator]:
    """ormasim --tcp --port 5002 for one test, stopped after it."""
    taken = _port_taken()
    if taken is not None:
        pytest.fail("ormasim fixture: port %d on 127.0.0.1 is taken (%s): stop the program that holds it "
                    "(another ormasim or a module's TCP peer) before running these tests" % (PORT, taken),
                    pytrace=False)
    program = _find_simulator()
    if not program:
        pytest.fail("ormasim fixture: no ormasim found; set %s to its path" % ENV_SIMULATOR, pytrace=False)
    marker = request.node.get_closest_marker("ormasim")
    args = [program, "--tcp", "--port", str(PORT)] + [str(a) for a in (marker.args if marker else ())]
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
