"""Pure-Python access to the ORMA_DLL host library (ctypes), for test rigs and scripts.

    from orma_dll import Link
    with Link(mode=2, protocol=2) as link:       # the module (or ormasim) at 127.0.0.1:5002
        print(link.request(b"\\x01", timeout=2).hex())   # 81

Link() raises OrmaError when the module cannot be reached. receive() and request() wait without
polling: they return as soon as the library hands a message over. Each received message is a
Message: its bytes, with the time it arrived (``timestamp``) and its ``kind``.

The library's console lines go to the logger "orma_dll" (level 0 as ERROR, 1 as INFO, the link's
progress as DEBUG), never to the console; ``logging.basicConfig(level=logging.DEBUG)`` shows
them all.

The library is one per process: one Link at a time.
"""
from __future__ import annotations

import atexit
import ctypes
import enum
import math
import threading
import time
from collections import deque
from typing import Any, Callable, Deque, Iterator, List, Optional, Union

from . import _settings
from ._library import CALLBACK, ENV_LIBRARY, LibraryNotFound, error_lines, load, restore_console

__all__ = ["Link", "Message", "Kind", "OrmaError", "NoAnswer", "RequestTimeout", "LibraryNotFound", "ENV_LIBRARY",
           "MODE_COM", "MODE_TCP", "MODE_USB", "PROTOCOL_FLOW", "NO_ANSWER", "is_response", "is_notification",
           "library_version"]
__version__ = "1.1.0"

MODE_COM = 1
MODE_TCP = 2
MODE_USB = 3
PROTOCOL_FLOW = 2
# The library's response to a command that got no answer (deadline passed, link lost).
NO_ANSWER = b"\x85"

# The library's waits are cut into slices of this many seconds, so that Ctrl+C gets through a long
# receive(); a message ends a slice at once.
_WAIT_SLICE = 0.25
_MAX_WAIT_MS = 2**32 - 1

Bytes = Union[bytes, bytearray, memoryview]


class OrmaError(RuntimeError):
    """The library refused a call, the module cannot be reached, or the Link is used in a way it
    cannot be."""


class NoAnswer(OrmaError):
    """request(): the library answered the command with 0x85: its response deadline ([ORMA_LINK]
    ResponseTimeout) passed, or the link failed."""


class RequestTimeout(OrmaError, TimeoutError):
    """request(): no response within the time-out given (the command may still be answered later)."""


class Kind(str, enum.Enum):
    """What a received message is, by its code; each compares equal to its string."""

    RESPONSE = "response"  # codes 0x80 to 0xBF, except the one-byte 0x85
    NOTIFICATION = "notification"  # codes 0xC0 to 0xFF
    NO_ANSWER = "no answer"  # the one-byte 0x85: the library's answer to a command nobody answered
    OTHER = "other"  # codes below 0x80, which a module does not send


def is_response(message: Bytes) -> bool:
    """Codes 0x80 to 0xBF (the library's 0x85 among them)."""
    return 0x80 <= message[0] <= 0xBF


def is_notification(message: Bytes) -> bool:
    """Codes 0xC0 and above."""
    return message[0] >= 0xC0


def _kind(data: bytes) -> Kind:
    if data == NO_ANSWER:
        return Kind.NO_ANSWER
    if is_response(data):
        return Kind.RESPONSE
    return Kind.NOTIFICATION if is_notification(data) else Kind.OTHER


class Message(bytes):
    """A received message: the bytes themselves (it compares equal to them), with

    - data: the bytes as a plain bytes object;
    - timestamp: time.time() when the library handed the message over: when the callback was
      called, or when receive()'s wait returned with it. A message that the library had stored
      before receive() was called gets the time it was taken out;
    - kind: Kind.RESPONSE, Kind.NOTIFICATION, Kind.NO_ANSWER (the library's 0x85) or Kind.OTHER.
    """

    timestamp: float

    def __new__(cls, data: Bytes, timestamp: float) -> Message:
        message = super().__new__(cls, data)
        message.timestamp = timestamp
        return message

    def __getnewargs__(self) -> tuple:  # type: ignore[override]  # copies and pickles keep the time
        return bytes(self), self.timestamp

    @property
    def data(self) -> bytes:
        return bytes(self)

    @property
    def kind(self) -> Kind:
        return _kind(self)

    def __repr__(self) -> str:
        return "Message(%r, kind=%r, timestamp=%.6f)" % (bytes(self), self.kind.value, self.timestamp)


def library_version() -> str:
    """The version of the library loaded, e.g. "1.1.0" (loads it when it is not yet)."""
    return load().ORMA_DLL_getVersion().decode("ascii", "replace")


_active_lock = threading.Lock()
_active: Optional[Link] = None  # the open Link: the library is one per process


@atexit.register
def _at_exit() -> None:
    """Stops a Link left open, then hands the library's lines back to the console: no library
    thread may call into Python while the interpreter ends."""
    link = _active
    if link is not None:
        link.close()
    restore_console()


def _as_int32(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not -2**31 <= value < 2**31:
        raise ValueError("%s %d does not fit in 32 bits" % (name, value))
    return value


def _check_timeout(timeout: Optional[float]) -> Optional[float]:
    """The deadline (time.monotonic()) of a time-out in seconds; None for none."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or math.isnan(timeout):
        raise TypeError("timeout must be a number of seconds or None, not %r" % (timeout,))
    if timeout < 0:
        raise ValueError("timeout must be 0 or more seconds")
    return time.monotonic() + timeout


def _remaining(deadline: Optional[float]) -> Optional[float]:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


def _unreachable(mode: int) -> str:
    """The text of the OrmaError of a Link whose link is not up."""
    if mode == MODE_TCP:
        return "no module at %s" % _settings.tcp_address(_settings.link_settings())
    if mode == MODE_COM:
        return "serial port %s cannot be opened" % _settings.serial_port(_settings.link_settings())
    if mode in (3, 4):
        return "no module on USB (mode %d)" % mode
    return ("mode %d starts no link (1: serial port, 2: TCP, 3 and 4: USB); Link(..., require_link=False) "
            "starts the library without one" % mode)


class Link:
    """The library started in one mode and protocol, stopped when the Link closes.

    Link() returns once the link is up and raises OrmaError when it is not (after the library's
    wait at start: at most 3 s in mode 2, 1 s in mode 1), naming the address it tried: "no
    module at 127.0.0.1:5002" in mode 2 ([ORMA_LINK] Host and Port of ORMA_DLL_Log.ini in the
    current folder), "serial port 1 (/dev/ttyS0) cannot be opened" in mode 1 ([ORMA_LINK]
    ComPort; the link is up once the port is open); also for a mode without a link (other than
    1 to 4). The library is stopped before it raises. With require_link=False the Link opens
    anyway; the library keeps trying to reach the module (unless [ORMA_LINK] Reconnect = OFF)
    and link_up tells when it has.

    Without a callback, received messages wait for receive(), receive_message(), request() or
    iteration (protocol 2 stores them). With one, callback(message) runs on the library's
    receive thread for every message (a Message, which compares equal to its bytes) except the
    response that a request() is waiting for; the Link keeps it alive until it is closed.
    Exceptions from the callback are kept in callback_errors.

    Queued commands (protocol 2 keeps one in flight) go out by themselves when the response to
    the one before comes in: no loop() calls are needed.
    """

    def __init__(self, mode: int = MODE_TCP, protocol: int = PROTOCOL_FLOW,
                 callback: Optional[Callable[[Message], Any]] = None, idle_timeout: Optional[float] = 1.0,
                 require_link: bool = True) -> None:
        global _active
        self._open = False
        _as_int32("mode", mode)
        _as_int32("protocol", protocol)
        if callback is not None and not callable(callback):
            raise TypeError("callback must be callable or None, not %s" % type(callback).__name__)
        self._lib = load()
        self.mode, self.protocol = mode, protocol
        self.idle_timeout = idle_timeout
        self._callback = callback
        self._trampoline = CALLBACK(self._deliver) if callback is not None else None
        self.callback_errors: List[BaseException] = []  # exceptions raised by the callback (they cannot reach the library)
        self._closing = False
        self._pending: Deque[Message] = deque()  # notifications a request() took out before its response
        self._reader = threading.Lock()  # one wait for the library's stored messages at a time
        self._requesting = threading.Lock()  # one request() at a time
        self._answered = threading.Condition()  # with a callback: a request's response came
        self._awaiting = False
        self._answer: Optional[Message] = None
        with _active_lock:
            if _active is not None:
                raise OrmaError("the library is already started by another Link; close that one first")
            _active = self
        try:
            errors_before = error_lines.count
            # A null function pointer, not None, where the host gives no callback.
            self._lib.ORMA_DLL_Init(mode, protocol, 0, self._trampoline or CALLBACK())
            if require_link and self._lib.ORMA_DLL_getLinkState() != 1:
                # The link's error lines, before those of its stop; not the complaints about a
                # settings file (a missing one among them), which are on the logger.
                said = [line for line in error_lines.since(errors_before) if _settings.INI_NAME not in line]
                self._lib.ORMA_DLL_Exit()
                raise OrmaError(_unreachable(mode) + ("; the library said: %s" % "; ".join(said) if said else ""))
        except BaseException:
            with _active_lock:
                _active = None
            raise
        self._open = True

    def _deliver(self, message: Any, length: int) -> int:
        received = Message(ctypes.string_at(message, length), time.time())
        with self._answered:
            if self._awaiting and self._answer is None and is_response(received):
                self._answer = received
                self._answered.notify_all()
                return 0
        try:
            self._callback(received)  # type: ignore[misc]
        except BaseException as error:  # an exception must not unwind into the library
            self.callback_errors.append(error)
        return 0

    def _check_open(self) -> None:
        if not self._open:
            raise OrmaError("the Link is closed")

    def _check_no_callback(self, what: str) -> None:
        if self._callback is not None:
            raise OrmaError("messages go to the callback; %s is for a Link without one" % what)

    def send(self, message: Bytes) -> None:
        """Queues one message of 1 to 255 bytes (code first).

        Raises TypeError for a message that is not bytes-like, ValueError for one of another length,
        and OrmaError when the Link is closed or the library does not take the message (it was
        stopped, its table of messages is full, or in modes 3 and 4 a message of 251 to 255
        bytes without [ORMA_LINK] SplitLongMessages = ON).
        """
        self._check_open()
        if isinstance(message, str) or not isinstance(message, (bytes, bytearray, memoryview)):
            raise TypeError("message must be bytes, not %s" % type(message).__name__)
        data = bytes(message)
        if not 1 <= len(data) <= 255:
            raise ValueError("a message is 1 to 255 bytes, not %d" % len(data))
        buffer = (ctypes.c_uint8 * len(data)).from_buffer_copy(data)
        if self._lib.ORMA_DLL_Send_Message(buffer, len(data)) != 0:
            raise OrmaError("the library could not queue the message %s" % data.hex())

    def _wait(self, deadline: Optional[float]) -> Optional[Message]:
        """The next stored message, through the library's wait; None at the deadline or when the
        Link closes (or the library is stopped under it)."""
        buffer = (ctypes.c_uint8 * 255)()
        length = ctypes.c_uint8()
        while not self._closing:
            remaining = _remaining(deadline)
            wait = _WAIT_SLICE if remaining is None else min(remaining, _WAIT_SLICE)
            wait_ms = min(math.ceil(wait * 1000), _MAX_WAIT_MS)
            began = time.monotonic()
            if self._lib.ORMA_DLL_Receive_Message_Wait(buffer, ctypes.byref(length), wait_ms) == 0:
                return Message(ctypes.string_at(buffer, length.value), time.time())
            if remaining is not None and remaining <= wait:
                return None  # the deadline passed
            if time.monotonic() - began < wait / 2:
                return None  # the wait ended early: ORMA_DLL_Exit, from close() or another user of the library
        return None

    def receive_message(self, timeout: Optional[float] = 1.0) -> Optional[Message]:
        """The oldest received message as a Message, waiting up to timeout seconds for one; None
        when none came, or when the Link was closed on another thread meanwhile.

        timeout=None waits until a message comes or the Link is closed; 0 takes a stored message
        without waiting. The wait does not poll: it returns as soon as the library has a message.
        Raises OrmaError for a Link with a callback.
        """
        self._check_open()
        self._check_no_callback("receive()")
        deadline = _check_timeout(timeout)
        remaining = _remaining(deadline)
        if not self._reader.acquire(timeout=-1 if remaining is None else remaining):
            return None
        try:
            if self._pending:
                return self._pending.popleft()
            return self._wait(deadline)
        finally:
            self._reader.release()

    def receive(self, timeout: Optional[float] = 1.0) -> Optional[bytes]:
        """The oldest received message (bytes), waiting up to timeout seconds; None when none came.

        As receive_message(), without the time of arrival.
        """
        message = self.receive_message(timeout)
        return None if message is None else message.data

    def request(self, command: Bytes, timeout: Optional[float] = None) -> Message:
        """Sends command and returns its response: the next response (code 0x80 to 0xBF) the library
        hands over, as a Message.

        Notifications that come before the response are not lost: without a callback they stay for
        receive() and iteration, in their order; with one they go to the callback. Responses still
        due to commands sent earlier with send() come first, so receive those before.

        Raises NoAnswer (an OrmaError) when the library answers 0x85 (no response within
        [ORMA_LINK] ResponseTimeout, 5 s by default, or the link failed), and RequestTimeout (an
        OrmaError and a TimeoutError) when no response came within timeout seconds; then the
        command may still be answered, and that response is the next one receive() gets (or the
        callback), or the one a request() made before it came returns. timeout=None waits for
        the response or the library's 0x85. Also raises what send() raises, and OrmaError when
        the Link is closed while it waits.
        """
        self._check_open()
        deadline = _check_timeout(timeout)
        remaining = _remaining(deadline)
        if not self._requesting.acquire(timeout=-1 if remaining is None else remaining):
            raise RequestTimeout("another request() kept the Link busy for %s s" % timeout)
        try:
            if self._callback is None:
                response = self._request_stored(command, deadline)
            else:
                response = self._request_with_callback(command, deadline)
        finally:
            self._requesting.release()
        if response is None:
            if self._closing:
                raise OrmaError("the Link was closed while request() waited for the response to %s"
                                % bytes(command).hex())
            raise RequestTimeout("no response to %s within %s s" % (bytes(command).hex(), timeout))
        if response.kind is Kind.NO_ANSWER:
            raise NoAnswer("no answer to %s: the library answered 85 (the module did not answer in time, or the "
                           "link is down)" % bytes(command).hex())
        return response

    def _request_stored(self, command: Bytes, deadline: Optional[float]) -> Optional[Message]:
        remaining = _remaining(deadline)
        if not self._reader.acquire(timeout=-1 if remaining is None else remaining):
            return None
        try:
            self.send(command)
            while True:
                message = self._wait(deadline)
                if message is None or is_response(message):
                    return message
                self._pending.append(message)
        finally:
            self._reader.release()

    def _request_with_callback(self, command: Bytes, deadline: Optional[float]) -> Optional[Message]:
        with self._answered:
            self._awaiting, self._answer = True, None
        try:
            self.send(command)
            with self._answered:
                while self._answer is None and not self._closing:
                    remaining = _remaining(deadline)
                    if remaining == 0:
                        break
                    self._answered.wait(_WAIT_SLICE if remaining is None else min(remaining, _WAIT_SLICE))
                return self._answer
        finally:
            with self._answered:
                self._awaiting, self._answer = False, None

    def __iter__(self) -> Iterator[bytes]:
        """Messages (bytes) as they come, until none has come for idle_timeout seconds."""
        while True:
            message = self.receive(self.idle_timeout)
            if message is None:
                return
            yield message

    def loop(self) -> None:
        """Sends the next queued command when the com state allows it. Needed only with [ORMA_LINK]
        SendQueued = OFF: otherwise queued commands go out by themselves."""
        self._check_open()
        self._lib.ORMA_DLL_Loop()

    @property
    def com_state(self) -> int:
        """1 when a command may go out at once, 0 while one awaits its response."""
        self._check_open()
        return self._lib.ORMA_DLL_getComState()

    @property
    def link_up(self) -> bool:
        """True while the link to the module is up; False while it is down (the library tries
        again every 300 ms unless [ORMA_LINK] Reconnect = OFF), in a mode without a link, and
        once the Link is closed."""
        return self._open and self._lib.ORMA_DLL_getLinkState() == 1

    @property
    def version(self) -> str:
        """The library's version, e.g. "1.1.0"."""
        return library_version()

    def close(self) -> None:
        """Stops the library; no callback runs after this returns, and a receive() or request()
        waiting on another thread returns. Closing twice is harmless."""
        global _active
        if not self._open:
            return
        self._closing = True
        with self._answered:
            self._answered.notify_all()
        self._lib.ORMA_DLL_Exit()  # also ends a wait for a stored message
        self._open = False
        with _active_lock:
            _active = None
        self._trampoline = None  # no library thread can call it any more

    def __enter__(self) -> Link:
        return self

    def __exit__(self, *exc: Any) -> bool:
        self.close()
        return False

    def __del__(self) -> None:
        if getattr(self, "_open", False):
            self.close()
