"""Finding and loading the ORMA_DLL library, and the exports' prototypes."""
import ctypes
import ctypes.util
import os
import sys

ENV_LIBRARY = "ORMA_DLL_LIBRARY"

if sys.platform == "win32":
    _FILE_NAMES = ["ORMA_DLL.dll"]
elif sys.platform == "darwin":
    _FILE_NAMES = ["libORMA_DLL.1.dylib", "libORMA_DLL.dylib"]
else:
    _FILE_NAMES = ["libORMA_DLL.so.1", "libORMA_DLL.so"]

# The exports are __cdecl on Windows too.
CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.POINTER(ctypes.c_uint8), ctypes.c_int32)


class LibraryNotFound(OSError):
    """The library is in none of the places searched."""


def _candidates():
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


def _declare(lib):
    u8p = ctypes.POINTER(ctypes.c_uint8)
    prototypes = {
        "ORMA_DLL_Init": ([ctypes.c_int32, ctypes.c_int32, ctypes.c_uint32, CALLBACK], ctypes.c_int32),
        "ORMA_DLL_Exit": ([], ctypes.c_int32),
        "ORMA_DLL_Send_Message": ([u8p, ctypes.c_uint8], ctypes.c_int32),
        "ORMA_DLL_Receive_Message": ([u8p, u8p], ctypes.c_int32),
        "ORMA_DLL_Loop": ([], ctypes.c_int32),
        "ORMA_DLL_getComState": ([], ctypes.c_int32),
    }
    for name, (args, result) in prototypes.items():
        function = getattr(lib, name)
        function.argtypes = args
        function.restype = result
    return lib


_loaded = None


def load():
    """The library, loaded once per process; LibraryNotFound says where it looked."""
    global _loaded
    if _loaded is not None:
        return _loaded
    tried = []
    for place, path in _candidates():
        if os.path.sep in path and not os.path.exists(path):
            tried.append("%s (%s): no such file" % (path, place))
            continue
        try:
            _loaded = _declare(ctypes.CDLL(path))
            _loaded.orma_path = path
            return _loaded
        except OSError as error:
            tried.append("%s (%s): %s" % (path, place, error))
    raise LibraryNotFound(
        "ORMA_DLL library not found; set %s to its file, e.g. /usr/local/lib/libORMA_DLL.so.1. Tried:\n  %s"
        % (ENV_LIBRARY, "\n  ".join(tried)))
