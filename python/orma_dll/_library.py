"""Finding and loading the ORMA_DLL library, the exports' prototypes, and its console lines.

The library's console lines go to the logger "orma_dll" from the moment the library is loaded:
level 0 as ERROR, 1 as INFO, 2 (the link's progress) as DEBUG.
"""
import ctypes
import ctypes.util
import logging
import os
import sys
import threading
from collections import deque
from typing import Deque, Iterator, List, Optional, Tuple

ENV_LIBRARY = "ORMA_DLL_LIBRARY"

if sys.platform == "win32":
    _FILE_NAMES = ["ORMA_DLL.dll"]
elif sys.platform == "darwin":
    _FILE_NAMES = ["libORMA_DLL.1.dylib", "libORMA_DLL.dylib"]
else:
    _FILE_NAMES = ["libORMA_DLL.so.1", "libORMA_DLL.so"]

# The exports are __cdecl on Windows too.
CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.POINTER(ctypes.c_uint8), ctypes.c_int32)
LOG_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_char_p)

logger = logging.getLogger("orma_dll")
logger.addHandler(logging.NullHandler())  # the application decides where the lines go
_LEVELS = {0: logging.ERROR, 1: logging.INFO, 2: logging.DEBUG}


class LibraryNotFound(OSError):
    """The library is in none of the places searched, or only in versions without the exports used."""


def _candidates() -> Iterator[Tuple[str, str]]:
    """(place, path) pairs in the order they are tried."""
    env = os.environ.get(ENV_LIBRARY)
    if env:
        yield ENV_LIBRARY, env
        return  # an explicit choice is never overridden by another copy
    here = os.path.dirname(os.path.abspath(__file__))
    for folder in (here, os.path.dirname(here)):
        for name in _FILE_NAMES:
            yield "next to the package", os.path.join(folder, name)
    for name in _FILE_NAMES:
        yield "the system", name  # the dynamic loader's own search
    found = ctypes.util.find_library("ORMA_DLL")
    if found:
        yield "the system", found


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    """Sets the prototypes; AttributeError names an export the library lacks."""
    u8p = ctypes.POINTER(ctypes.c_uint8)
    prototypes = {
        "ORMA_DLL_Init": ([ctypes.c_int32, ctypes.c_int32, ctypes.c_uint32, CALLBACK], ctypes.c_int32),
        "ORMA_DLL_Exit": ([], ctypes.c_int32),
        "ORMA_DLL_Send_Message": ([u8p, ctypes.c_uint8], ctypes.c_int32),
        "ORMA_DLL_Receive_Message": ([u8p, u8p], ctypes.c_int32),
        "ORMA_DLL_Receive_Message_Wait": ([u8p, u8p, ctypes.c_uint32], ctypes.c_int32),
        "ORMA_DLL_Loop": ([], ctypes.c_int32),
        "ORMA_DLL_getComState": ([], ctypes.c_int32),
        "ORMA_DLL_getLinkState": ([], ctypes.c_int32),
        "ORMA_DLL_getVersion": ([], ctypes.c_char_p),
        "ORMA_DLL_Set_Log_Callback": ([LOG_CALLBACK], None),
    }
    for name, (args, result) in prototypes.items():
        function = getattr(lib, name)
        function.argtypes = args
        function.restype = result
    return lib


class _ErrorLines:
    """The library's latest error lines, counted (for OrmaError's text)."""

    KEPT = 8

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.count = 0
        self._latest: Deque[str] = deque(maxlen=self.KEPT)

    def add(self, text: str) -> None:
        with self._lock:
            self.count += 1
            self._latest.append(text)

    def since(self, count: int) -> List[str]:
        """The lines that came after the count was `count` (the latest KEPT of them)."""
        with self._lock:
            new = min(self.count - count, self.KEPT)
            return list(self._latest)[len(self._latest) - new:] if new > 0 else []


error_lines = _ErrorLines()


def _forward_line(level: int, line: Optional[bytes]) -> None:
    """Runs on any of the library's threads: one console line to the logger, never an exception back."""
    try:
        text = (line or b"").decode("utf-8", "replace")
        if level == 0:
            error_lines.add(text)
        logger.log(_LEVELS.get(level, logging.INFO), "%s", text)
    except BaseException:  # an exception must not unwind into the library
        pass


# Made once and never released: the library may call it from its threads at any time until the
# callback is replaced, which this package does only at the end of the process.
_log_trampoline = LOG_CALLBACK(_forward_line)

_loaded: Optional[ctypes.CDLL] = None
_load_lock = threading.Lock()


def load() -> ctypes.CDLL:
    """The library, loaded once per process, its console lines going to the logger "orma_dll".

    LibraryNotFound says where it looked.
    """
    global _loaded
    with _load_lock:
        if _loaded is not None:
            return _loaded
        tried = []
        for place, path in _candidates():
            if os.path.sep in path and not os.path.exists(path):
                tried.append("%s (%s): no such file" % (path, place))
                continue
            try:
                lib = _declare(ctypes.CDLL(path))
            except OSError as error:
                tried.append("%s (%s): %s" % (path, place, error))
                continue
            except AttributeError as error:  # a library older than this package
                tried.append("%s (%s): an older library without the exports this package uses (%s)"
                             % (path, place, error))
                continue
            lib.orma_path = path
            lib.ORMA_DLL_Set_Log_Callback(_log_trampoline)
            _loaded = lib
            return lib
    raise LibraryNotFound(
        "ORMA_DLL library not found; set %s to its file, e.g. /usr/local/lib/libORMA_DLL.so.1. Tried:\n  %s"
        % (ENV_LIBRARY, "\n  ".join(tried)))


def restore_console() -> None:
    """Gives the library's console lines back to the console (at the end of the process, when no
    Python code may run on the library's threads any more)."""
    if _loaded is not None:
        _loaded.ORMA_DLL_Set_Log_Callback(LOG_CALLBACK())
