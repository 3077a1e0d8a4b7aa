"""Finds libirqhost and declares its C interface to ctypes."""

import ctypes
import os
import sys
import sysconfig
from pathlib import Path
from typing import List

WINDOWS = sys.platform == "win32"
Lines = ctypes.POINTER(ctypes.c_uint32)


def _candidates() -> List[str]:
    """Where the library may be, in the order tried: IRQHOST_LIBRARY alone
    where it is set; else by its name (the system's search: ldconfig's cache,
    LD_LIBRARY_PATH, PATH on Windows), then where an install beside this
    module put it."""
    given = os.environ.get("IRQHOST_LIBRARY")
    if given:
        return [given]
    here = Path(__file__).resolve().parent
    if WINDOWS:
        return [str(here / "irqhost.dll"), "irqhost.dll"]
    # PREFIX/lib[/triplet]/python3/dist-packages/irqhost: the library is in PREFIX/lib[/triplet].
    libdir = here.parents[2]
    triplet = sysconfig.get_config_var("MULTIARCH") or ""
    return ["libirqhost.so.1", str(libdir / "libirqhost.so.1"), str(libdir / triplet / "libirqhost.so.1")]


def _load() -> ctypes.CDLL:
    tried = []
    for candidate in _candidates():
        try:
            if WINDOWS:
                return ctypes.CDLL(candidate, use_last_error=True)
            return ctypes.CDLL(candidate, use_errno=True)
        except OSError as error:
            tried.append(f"{candidate} ({error})")
    raise ImportError("irqhost: libirqhost was not found; tried " + ", ".join(tried) +
                      ". Install libirqhost1, or set IRQHOST_LIBRARY to the library's path.")


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    # Every pointer-sized result is declared: ctypes would cut it to an int.
    lib.irqhost_open.argtypes = [Lines, ctypes.c_size_t, ctypes.c_uint, ctypes.c_char_p, ctypes.c_size_t]
    lib.irqhost_open.restype = ctypes.c_void_p
    lib.irqhost_wait.argtypes = [ctypes.c_void_p, ctypes.c_int, Lines, ctypes.c_size_t]
    lib.irqhost_wait.restype = ctypes.c_int
    lib.irqhost_stop.argtypes = [ctypes.c_void_p]
    lib.irqhost_stop.restype = None
    lib.irqhost_close.argtypes = [ctypes.c_void_p]
    lib.irqhost_close.restype = None
    lib.irqhost_raise.argtypes = [ctypes.c_uint32]
    lib.irqhost_raise.restype = ctypes.c_int
    lib.irqhost_line_open.argtypes = [ctypes.c_uint32, ctypes.c_char_p, ctypes.c_size_t]
    lib.irqhost_line_open.restype = ctypes.c_void_p
    lib.irqhost_line_raise.argtypes = [ctypes.c_void_p]
    lib.irqhost_line_raise.restype = ctypes.c_int
    lib.irqhost_line_close.argtypes = [ctypes.c_void_p]
    lib.irqhost_line_close.restype = None
    if WINDOWS:
        lib.irqhost_handle.argtypes = [ctypes.c_void_p]
        lib.irqhost_handle.restype = ctypes.c_void_p
    else:
        lib.irqhost_descriptor.argtypes = [ctypes.c_void_p]
        lib.irqhost_descriptor.restype = ctypes.c_int
    return lib


lib = _declare(_load())


def last_error() -> int:
    """The error of the library's last call in this thread: errno, or
    GetLastError on Windows."""
    return ctypes.get_last_error() if WINDOWS else ctypes.get_errno()
