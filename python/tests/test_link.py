"""The package against the library and the simulator in mode 2."""
import contextlib
import gc
import importlib.metadata
import logging
import os
import pickle
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

import pytest

import orma_dll
from orma_dll import MODE_USB, Kind, Link, Message, NoAnswer, OrmaError, RequestTimeout, is_notification, library_version
from orma_dll._library import load
from orma_dll.pytest_plugin import _find_simulator


def _wait_for(condition, seconds=5):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.001)


@pytest.fixture
def ini(tmp_path, monkeypatch):
    """Writes ORMA_DLL_Log.ini into a fresh current folder, where the library reads it at start."""
    monkeypatch.chdir(tmp_path)
    return lambda text: (tmp_path / "ORMA_DLL_Log.ini").write_text(text)


def test_polling_round_trips_in_order(ormasim):
    with Link(mode=2, protocol=2) as link:
        assert link.com_state == 1
        for payload in (b"\x01", b"\x40\x01\x02", b"\x02" + bytes(range(100))):
            link.send(payload)
        answers = [link.receive(timeout=5) for _ in range(3)]
    assert answers == [b"\x81", b"\x80\x01\x02", b"\x82" + bytes(range(100))]


def test_iteration_ends_when_the_module_goes_quiet(ormasim):
    with Link(idle_timeout=0.5) as link:
        link.send(b"\x01")
        link.send(b"\x03")
        assert list(link) == [b"\x81", b"\x83"]


def test_callback_gets_every_message_and_is_kept_alive(ormasim):
    got = []
    done = threading.Event()

    def on_message(message):
        got.append(message)
        if len(got) == 2:
            done.set()

    with Link(callback=on_message) as link:
        del on_message  # the Link holds the callback: no crash when the garbage collector runs
        gc.collect()
        link.send(b"\x05")
        link.send(b"\x06")  # queued behind the first: the library sends it once 85 is in, no loop() call
        assert done.wait(5)
        with pytest.raises(OrmaError, match="callback"):
            link.receive(0)
    assert got == [b"\x85", b"\x86"]


def test_callback_exceptions_are_kept_not_raised_into_the_library(ormasim):
    def broken(message):
        raise ValueError("boom")

    with Link(callback=broken) as link:
        link.send(b"\x01")
        _wait_for(lambda: link.callback_errors)
    assert [type(e) for e in link.callback_errors] == [ValueError]


@pytest.mark.ormasim("--notify", "20")
def test_notifications_come_with_the_responses(ormasim):
    with Link() as link:
        link.send(b"\x01")  # the first poll keeps later notifications
        messages = [link.receive(timeout=5) for _ in range(5)]
    assert b"\x81" in messages
    assert any(m is not None and is_notification(m) for m in messages)


# session.pcapng, beside this file: a notification 300 ms after the start, then 01 answered 81 42
# (no echo) and 40 01 answered 80 07 07 after an 85 that the library made up (left out).
@pytest.mark.ormasim("--replay", "session.pcapng")
def test_marker_replays_a_capture_found_beside_the_test(ormasim):
    with Link() as link:
        link.send(b"\x01")
        link.send(b"\x40\x09")  # no such bytes: the recorded command of the same code
        messages = [link.receive(timeout=5) for _ in range(3)]
    assert messages == [b"\x81\x42", b"\x80\x07\x07", bytes.fromhex("E0 46 00 00 00 07 00 00 00 01")]
    _wait_for(lambda: "replay: matched" in ormasim.output())
    assert "ormasim: replay: matched 2, unmatched 0, notifications sent 1" in ormasim.output()


BAD_ARGUMENTS = [
    (dict(mode="2"), TypeError, "mode must be an int"),
    (dict(mode=2.0), TypeError, "mode must be an int"),
    (dict(protocol=2**40), ValueError, "32 bits"),
    (dict(callback=42), TypeError, "callable"),
]


@pytest.mark.parametrize("kwargs, error, text", BAD_ARGUMENTS)
def test_bad_link_arguments_are_refused_before_the_library_starts(kwargs, error, text):
    with pytest.raises(error, match=text):
        Link(**kwargs)


@pytest.mark.parametrize("message, error", [
    (b"", ValueError), (bytes(256), ValueError), ("01", TypeError), ([1], TypeError), (None, TypeError)])
def test_bad_messages_are_refused(message, error):
    with Link(mode=0, require_link=False) as link:  # no link: nothing is sent, no simulator needed
        with pytest.raises(error):
            link.send(message)
        link.send(b"\x01")  # a good one still goes


# (mode, [ORMA_LINK] settings, message length, library stopped under the Link, refused)
LIBRARY_DECIDES = [
    (MODE_USB, "", 250, False, False),
    (MODE_USB, "", 251, False, True),  # longer than one device block
    (MODE_USB, "SplitLongMessages = ON", 255, False, False),
    (0, "", 255, False, False),
    (0, "", 1, True, True),
]


@pytest.mark.parametrize("mode, settings, length, stopped, refused", LIBRARY_DECIDES)
def test_send_raises_when_the_library_refuses_the_message(ini, mode, settings, length, stopped, refused):
    ini("[ORMA_LINK]\n%s\n" % settings)
    with Link(mode=mode, require_link=False) as link:  # no USB on this system: no link, nothing sent
        if stopped:
            load().ORMA_DLL_Exit()  # as another user of the library in this process would
        refusal = pytest.raises(OrmaError, match="could not queue") if refused else contextlib.nullcontext()
        with refusal:
            link.send(b"\x01" * length)


# (ms until the simulator answers, or None for no command; seconds receive() waits; answered)
RECEIVE_WAITS = [(300, 3, True), (1500, 0.5, False), (None, 2, False)]


@pytest.mark.parametrize("answer_ms, timeout, answered", RECEIVE_WAITS)
def test_receive_waits_the_seconds_it_is_given_without_polling(ormasim, answer_ms, timeout, answered):
    command = b"\x7f\x06" + (answer_ms or 0).to_bytes(2, "big")  # the simulator answers after answer_ms
    with Link() as link:
        if answer_ms is not None:
            link.send(command)
        start, cpu = time.monotonic(), time.process_time()
        message = link.receive(timeout=timeout)
        waited, cpu = time.monotonic() - start, time.process_time() - cpu
    if answered:
        assert message == b"\xbf" + command[1:]
        assert waited < answer_ms / 1000 + 0.2  # returned as the answer came, not at a later look
    else:
        assert message is None
        assert timeout <= waited < timeout + 0.3
    assert cpu < 0.05, "receive() used %.0f ms of CPU in %.1f s" % (cpu * 1000, waited)


def test_one_link_at_a_time_and_none_after_close():
    with Link(mode=0, require_link=False) as link:
        with pytest.raises(OrmaError, match="already started"):
            Link(mode=0, require_link=False)
    with pytest.raises(OrmaError, match="closed"):
        link.send(b"\x01")
    with Link(mode=0, require_link=False):
        pass  # the library can be started again


def _run_fixture(tmp_path, env=None):
    """A test that takes the ormasim fixture, run by pytest in a process of its own."""
    test = tmp_path / "test_fixture.py"
    test.write_text("def test_x(ormasim):\n    pass\n")
    return subprocess.run([sys.executable, "-m", "pytest", "-p", "no:orma_dll", "-p", "orma_dll.pytest_plugin", "-q",
                           "-p", "no:cacheprovider", str(test)],
                          capture_output=True, text=True, timeout=60, cwd=tmp_path, env=env)


def test_fixture_fails_clearly_when_the_port_is_taken(tmp_path):
    blocker = socket.socket()
    blocker.bind(("127.0.0.1", 5002))
    blocker.listen(1)
    try:
        run = _run_fixture(tmp_path)
    finally:
        blocker.close()
    assert run.returncode != 0
    assert "port 5002 on 127.0.0.1 is taken" in run.stdout


# (variables besides an empty PATH, lines the failure must show, a line it must not); {tmp} is the
# test's folder, {library} a copy of the library in {tmp}/lib, with no simulator beside it.
FIXTURE_MISSING = [
    ({"ORMA_DLL_LIBRARY": "{library}", "ORMASIM": "{tmp}/none"},
     ["ORMASIM is {tmp}/none, which is no program: set ORMASIM to the simulator's path"], "no ormasim found"),
    ({"ORMA_DLL_LIBRARY": "{tmp}/missing.so"},
     ["ORMA_DLL library not found; set ORMA_DLL_LIBRARY to its file",
      "{tmp}/missing.so (ORMA_DLL_LIBRARY): no such file",
      "ormasim is looked for next to the library; PATH ({tmp}/empty) has none either, "
      "and ORMASIM (its path) is not set"],
     "no ormasim found"),
    ({"ORMA_DLL_LIBRARY": "{library}"},
     ["no ormasim found: set ORMASIM to its path. Looked at:", "{tmp}/bin/ormasim (next to the library)",
      "{tmp}/lib/ormasim (next to the library)", "PATH ({tmp}/empty)"], "library not found"),
]


@pytest.mark.parametrize("variables, lines, absent", FIXTURE_MISSING,
                         ids=["ORMASIM names no program", "no library", "no simulator next to the library"])
def test_fixture_names_what_is_missing_and_where_it_looked(tmp_path, variables, lines, absent):
    (tmp_path / "empty").mkdir()
    (tmp_path / "lib").mkdir()
    library = tmp_path / "lib" / "libORMA_DLL.so.1"
    shutil.copy(os.environ["ORMA_DLL_LIBRARY"], library)
    env = {"PATH": str(tmp_path / "empty")}
    env.update({name: value.format(tmp=tmp_path, library=library) for name, value in variables.items()})
    run = _run_fixture(tmp_path, env)
    assert run.returncode != 0
    for line in lines:
        assert line.format(tmp=tmp_path) in run.stdout
    assert absent not in run.stdout


def _import_and_load(env, path_first):
    code = "import orma_dll._library as l; print(l.load().orma_path)"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env,
                          cwd=path_first)


# A missing ORMA_DLL_LIBRARY is refused, not passed over: the fixture's "no library" case.
def test_library_is_found_next_to_the_package_without_the_variable(tmp_path):
    package = tmp_path / "orma_dll"
    shutil.copytree(os.path.dirname(orma_dll.__file__), package)
    shutil.copy(os.environ["ORMA_DLL_LIBRARY"], package / "libORMA_DLL.so.1")
    run = _import_and_load({"PATH": os.environ.get("PATH", "")}, str(tmp_path))
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == str(package / "libORMA_DLL.so.1")


def test_a_link_opens_and_closes_as_fast_as_its_connection(ormasim):
    """With the module present a `with Link(...)` returns as soon as the link is up (StartWait =
    READY): a test rig of 50 links pays no fixed wait per link."""
    took = []
    for _ in range(20):
        begin = time.monotonic()
        with Link(mode=2, protocol=2):
            pass
        took.append(time.monotonic() - begin)
    took.sort()
    print("Link open and close: median %.1f ms of 20" % (took[10] * 1000))
    assert took[10] < 0.1



# (mode, ORMA_DLL_Log.ini or None, the OrmaError's text)
UNREACHABLE = [
    (2, None, "no module at 127.0.0.1:5002"),
    (2, "[orma_link]\nHOST = localhost ; the name as written\nport = 5003\nReconnect = OFF\n", "no module at localhost:5003"),
    (1, "[ORMA_LINK]\nComPort = /dev/orma-none\nReconnect = OFF\n", "serial port /dev/orma-none cannot be opened"),
    (9, None, "mode 9 starts no link"),
]


@pytest.mark.parametrize("mode, settings, text", UNREACHABLE)
def test_link_raises_naming_where_it_looked_and_stops_the_library(ini, mode, settings, text):
    if settings is not None:
        ini(settings)
    with pytest.raises(OrmaError, match=re.escape(text)):
        Link(mode=mode)
    assert load().ORMA_DLL_getLinkState() == -1  # stopped, not trying again
    with Link(mode=0, require_link=False):
        pass  # nothing left started


def test_require_link_false_opens_and_the_link_comes_up_with_the_module(ini):
    ini("[ORMA_LINK]\nResponseTimeout = 300\n")
    simulator = None
    try:
        with Link(require_link=False) as link:
            assert not link.link_up
            with pytest.raises(NoAnswer):
                link.request(b"\x01", timeout=5)  # the link does not take it: the library answers 85
            simulator = subprocess.Popen([_find_simulator()[0], "--tcp", "--port", "5002"], stdout=subprocess.DEVNULL)
            _wait_for(lambda: link.link_up, 10)
            assert link.link_up
            assert link.request(b"\x01", timeout=5) == b"\x81"
        assert not link.link_up
    finally:  # the simulator ends after the library closed its connection: the port is free again at once
        if simulator is not None:
            simulator.terminate()
            simulator.wait()


def test_library_lines_go_to_logging_not_the_console(ormasim, ini, caplog, capfd):
    caplog.set_level(logging.DEBUG, logger="orma_dll")
    with Link() as link:
        assert link.link_up
    assert ("orma_dll", logging.DEBUG, "Client connecting to: 127.0.0.1") in caplog.record_tuples
    caplog.clear()
    ini("[ORMA_LINK]\nPort = 5003\nReconnect = OFF\n")  # nothing listens there
    with pytest.raises(OrmaError, match=r"no module at 127\.0\.0\.1:5003; the library said: .*connect\(\) failed: 111"):
        Link()
    assert [r for r in caplog.records if r.levelno == logging.ERROR and r.getMessage().startswith("connect() failed")]
    assert capfd.readouterr() == ("", "")


def test_versions_and_the_type_marker():
    assert library_version() == orma_dll.__version__ == importlib.metadata.version("orma-dll") == "1.1.0"
    with Link(mode=0, require_link=False) as link:
        assert link.version == "1.1.0"
        assert not link.link_up
    assert os.path.isfile(os.path.join(os.path.dirname(orma_dll.__file__), "py.typed"))


# (the command, request()'s timeout, the response or the error raised, the longest time it may take)
REQUESTS = [
    pytest.param(b"\x40\x01\x02", 5, b"\x80\x01\x02", 1, id="answered"),
    pytest.param(b"\x01", 5, NoAnswer, 2, id="the library's 85 after ResponseTimeout",
                 marks=pytest.mark.ormasim("--silent")),
    pytest.param(b"\x01", 0.3, RequestTimeout, 1, id="time-out", marks=pytest.mark.ormasim("--silent")),
]


@pytest.mark.parametrize("command, timeout, outcome, longest", REQUESTS)
def test_request_returns_the_response_or_raises(ormasim, ini, command, timeout, outcome, longest):
    ini("[ORMA_LINK]\nResponseTimeout = 300\n" if outcome is NoAnswer else "")
    with Link() as link:
        begin = time.monotonic()
        if isinstance(outcome, bytes):
            response = link.request(command, timeout=timeout)
            assert response == outcome and response.kind == Kind.RESPONSE
        else:
            with pytest.raises(outcome, match=command.hex()):
                link.request(command, timeout=timeout)
            assert time.monotonic() - begin >= 0.3
        assert time.monotonic() - begin < longest


@pytest.mark.parametrize("with_callback", [False, True])
def test_request_leaves_the_notifications_before_the_response_in_order(ormasim, with_callback):
    got = []
    with Link(callback=got.append if with_callback else None) as link:
        if not with_callback:
            assert link.receive(0) is None  # the first receive keeps every later notification
        response = link.request(b"\x7f\x02\x03", timeout=5)  # three notifications, then the answer
        if not with_callback:
            got = list(iter(lambda: link.receive_message(0), None))
    assert response == b"\xbf\x02\x03"
    assert [m[:2] for m in got] == [b"\xe0\x46"] * 3
    assert [m[6:10] for m in got] == sorted(m[6:10] for m in got)  # their times since the start
    assert all(m.kind == Kind.NOTIFICATION for m in got)
    assert [m.timestamp for m in got] + [response.timestamp] == sorted([m.timestamp for m in got] + [response.timestamp])


@pytest.mark.parametrize("with_callback", [False, True])
def test_receive_message_gives_data_kind_and_time_of_arrival(ormasim, with_callback):
    called = []
    with Link(callback=(lambda m: called.append((m, time.time()))) if with_callback else None) as link:
        sent = time.time()
        link.send(b"\x7f\x06\x01\x2c")  # answered after 300 ms
        if with_callback:
            _wait_for(lambda: called)
            assert called
            message, seen = called[0]
        else:
            message = link.receive_message(timeout=5)
            seen = time.time()
    assert type(message.data) is bytes and message.data == b"\xbf\x06\x01\x2c"
    assert message.kind == Kind.RESPONSE == "response"
    assert sent + 0.3 <= message.timestamp <= seen


@pytest.mark.parametrize("data, kind", [
    (b"\x85", Kind.NO_ANSWER), (b"\x85\x00", Kind.RESPONSE), (b"\x80", Kind.RESPONSE), (b"\xbf\x01", Kind.RESPONSE),
    (b"\xc0", Kind.NOTIFICATION), (b"\xf0\x01", Kind.NOTIFICATION), (b"\x7f", Kind.OTHER)])
def test_message_kinds_and_copies(data, kind):
    message = Message(data, 12.5)
    assert message.kind is kind and message == data and message.data == data
    copy = pickle.loads(pickle.dumps(message))
    assert (copy, copy.timestamp, copy.kind) == (data, 12.5, kind)


def test_close_ends_a_wait_without_time_out(ormasim):
    link = Link()
    result = []
    waiter = threading.Thread(target=lambda: result.append(link.receive(None)), daemon=True)
    waiter.start()
    _wait_for(link._reader.locked)  # until the waiter waits in the library
    begin = time.monotonic()
    link.close()
    waiter.join(5)
    assert not waiter.is_alive() and result == [None]
    assert time.monotonic() - begin < 1
