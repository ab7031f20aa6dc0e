"""Pure-Python access to the ORMA_DLL host library (ctypes), for test rigs and scripts.

    from orma_dll import Link
    with Link(mode=2, protocol=2) as link:       # the module (or ormasim) at 127.0.0.1:5002
        link.send(b"\\x01")
        print(link.receive(timeout=2).hex())     # 81

Link() raises OrmaError when the module cannot be reached.

The library's console lines go to the logger "orma_dll" (level 0 as ERROR, 1 as INFO, the link's
progress as DEBUG), never to the console; ``logging.basicConfig(level=logging.DEBUG)`` shows
them all.

The library is one per process: one Link at a time.
"""
from __future__ import annotations

import atexit
import ctypes
import threading
import time
from typing import Any, Callable, Iterator, List, Optional, Union

from . import _settings
from ._library import CALLBACK, ENV_LIBRARY, LibraryNotFound, error_lines, load, restore_console

__all__ = ["Link", "OrmaError", "LibraryNotFound", "ENV_LIBRARY", "MODE_COM", "MODE_TCP", "MODE_USB",
           "PROTOCOL_FLOW", "NO_ANSWER", "is_response", "is_notification", "library_version"]
__version__ = "1.1.0"

MODE_COM = 1
MODE_TCP = 2
MODE_USB = 3
PROTOCOL_FLOW = 2
# The library's response to a command that got no answer (deadline passed, link lost).
NO_ANSWER = b"\x85"

Bytes = Union[bytes, bytearray, memoryview]


class OrmaError(RuntimeError):
    """The library refused a call, the module cannot be reached, or the Link is used in a way it
    cannot be."""


def is_response(message: Bytes) -> bool:
    """Codes 0x80 to 0xBF (the library's 0x85 among them)."""
    return 0x80 <= message[0] <= 0xBF


def is_notification(message: Bytes) -> bool:
    """Codes 0xC0 and above."""
    return message[0] >= 0xC0


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

    Without a callback, received messages wait for receive() or iteration (protocol 2 stores
    them). With one, callback(bytes) runs on the library's receive thread for every message;
    the Link keeps it alive until it is closed. Exceptions from the callback are kept in
    callback_errors.
    """

    def __init__(self, mode: int = MODE_TCP, protocol: int = PROTOCOL_FLOW,
                 callback: Optional[Callable[[bytes], Any]] = None, idle_timeout: Optional[float] = 1.0,
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
        try:
            self._callback(ctypes.string_at(message, length))  # type: ignore[misc]
        except BaseException as error:  # an exception must not unwind into the library
            self.callback_errors.append(error)
        return 0

    def _check_open(self) -> None:
        if not self._open:
            raise OrmaError("the Link is closed")

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

    def receive(self, timeout: Optional[float] = 1.0) -> Optional[bytes]:
        """The oldest stored message, waiting up to timeout seconds; None when none came.

        While waiting it keeps calling ORMA_DLL_Loop, so queued commands go out.
        """
        self._check_open()
        if self._callback is not None:
            raise OrmaError("messages go to the callback; receive() is for a Link without one")
        if timeout is not None and timeout < 0:
            raise ValueError("timeout must be 0 or more seconds")
        buffer = (ctypes.c_uint8 * 255)()
        length = ctypes.c_uint8()
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if self._lib.ORMA_DLL_Receive_Message(buffer, ctypes.byref(length)) == 0:
                return bytes(buffer[:length.value])
            self._lib.ORMA_DLL_Loop()
            if deadline is not None and time.monotonic() >= deadline:
                return None
            time.sleep(0.001)

    def __iter__(self) -> Iterator[bytes]:
        """Messages (bytes) as they come, until none has come for idle_timeout seconds."""
        while True:
            message = self.receive(self.idle_timeout)
            if message is None:
                return
            yield message

    def loop(self) -> None:
        """Sends the next queued command when the com state allows it."""
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
        """Stops the library; no callback runs after this returns. Closing twice is harmless."""
        global _active
        if not self._open:
            return
        self._lib.ORMA_DLL_Exit()
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
