"""Pure-Python access to the ORMA_DLL host library (ctypes), for test rigs and scripts.

    from orma_dll import Link
    with Link(mode=2, protocol=2) as link:       # the module (or ormasim) at 127.0.0.1:5002
        link.send(b"\\x01")
        print(link.receive(timeout=2).hex())     # 81

The library is one per process: one Link at a time.
"""
import atexit
import ctypes
import threading
import time

from ._library import CALLBACK, ENV_LIBRARY, LibraryNotFound, load, restore_console

__all__ = ["Link", "OrmaError", "LibraryNotFound", "ENV_LIBRARY", "MODE_COM", "MODE_TCP", "MODE_USB",
           "PROTOCOL_FLOW", "NO_ANSWER", "is_response", "is_notification"]
__version__ = "1.0.0"

MODE_COM = 1
MODE_TCP = 2
MODE_USB = 3
PROTOCOL_FLOW = 2
# The library's response to a command that got no answer (deadline passed, link lost).
NO_ANSWER = b"\x85"


class OrmaError(RuntimeError):
    """The library refused a call, or the Link is used in a way it cannot be."""


def is_response(message):
    return 0x80 <= message[0] <= 0xBF


def is_notification(message):
    return message[0] >= 0xC0


_active_lock = threading.Lock()
_active = None  # the open Link: the library is one per process


@atexit.register
def _at_exit():
    """Stops a Link left open, then hands the library's lines back to the console: no library
    thread may call into Python while the interpreter ends."""
    link = _active
    if link is not None:
        link.close()
    restore_console()


def _as_int32(name, value):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not -2**31 <= value < 2**31:
        raise ValueError("%s %d does not fit in 32 bits" % (name, value))
    return value


class Link:
    """The library started in one mode and protocol, stopped when the Link closes.

    Without a callback, received messages wait for receive() or iteration (protocol 2 stores
    them). With one, callback(bytes) runs on the library's receive thread for every message;
    the Link keeps it alive until it is closed.
    """

    def __init__(self, mode=MODE_TCP, protocol=PROTOCOL_FLOW, callback=None, idle_timeout=1.0):
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
        self.callback_errors = []  # exceptions raised by the callback (they cannot reach the library)
        with _active_lock:
            if _active is not None:
                raise OrmaError("the library is already started by another Link; close that one first")
            _active = self
        try:
            # A null function pointer, not None, where the host gives no callback.
            self._lib.ORMA_DLL_Init(mode, protocol, 0, self._trampoline or CALLBACK())  # blocks ~3 s in mode 2
        except BaseException:
            with _active_lock:
                _active = None
            raise
        self._open = True

    def _deliver(self, message, length):
        try:
            self._callback(ctypes.string_at(message, length))
        except BaseException as error:  # an exception must not unwind into the library
            self.callback_errors.append(error)
        return 0

    def _check_open(self):
        if not self._open:
            raise OrmaError("the Link is closed")

    def send(self, message):
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

    def receive(self, timeout=1.0):
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

    def __iter__(self):
        """Messages as they come, until none has come for idle_timeout seconds."""
        while True:
            message = self.receive(self.idle_timeout)
            if message is None:
                return
            yield message

    def loop(self):
        """Sends the next queued command when the com state allows it."""
        self._check_open()
        self._lib.ORMA_DLL_Loop()

    @property
    def com_state(self):
        """1 when a command may go out at once, 0 while one awaits its response."""
        self._check_open()
        return self._lib.ORMA_DLL_getComState()

    def close(self):
        """Stops the library; no callback runs after this returns. Closing twice is harmless."""
        global _active
        if not self._open:
            return
        self._lib.ORMA_DLL_Exit()
        self._open = False
        with _active_lock:
            _active = None
        self._trampoline = None  # no library thread can call it any more

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        if getattr(self, "_open", False):
            self.close()
