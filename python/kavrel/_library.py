"""Finding and loading libkavrel, and the automation helpers it exports."""

from __future__ import annotations

import ctypes
import os
import threading
from pathlib import Path

__all__ = ["LibraryNotFoundError", "library", "library_path"]

LIBRARY_ENV = "KAVREL_LIBRARY"
_NAMES = ("libkavrel.so.1", "libkavrel.so")


class LibraryNotFoundError(OSError):
    """libkavrel could not be loaded; ``tried`` lists each place and why."""

    def __init__(self, tried: list[tuple[str, str]]) -> None:
        self.tried = tried
        lines = "\n".join(f"  {place}: {why}" for place, why in tried)
        super().__init__(
            "libkavrel not found. Set KAVREL_LIBRARY to the library's path, "
            "install libkavrel.so.1, or build the repository this package "
            f"sits in. Tried:\n{lines}"
        )


def _build_tree() -> Path | None:
    """The build directory of the repository the package sits in, if it
    sits in one (python/kavrel/ under the repository's root)."""
    package = Path(__file__).resolve().parent
    root = package.parent.parent
    if package.parent.name == "python" and (root / "CMakeLists.txt").is_file():
        return root / "build"
    return None


def _candidates() -> list[str]:
    explicit = os.environ.get(LIBRARY_ENV)
    if explicit:
        # Named on purpose: never fall back to another copy behind its back.
        return [explicit]
    places: list[str] = list(_NAMES)  # the dynamic loader's search
    tree = _build_tree()
    if tree is not None:
        places += [str(tree / name) for name in _NAMES]
    return places


_lock = threading.Lock()
_lib: ctypes.CDLL | None = None
_path: str | None = None


def _declare(lib: ctypes.CDLL) -> None:
    vp, u32, i32 = ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int32
    lib.DllGetClassObject.argtypes = [vp, vp, ctypes.POINTER(vp)]
    lib.DllGetClassObject.restype = i32
    lib.SysAllocStringLen.argtypes = [vp, u32]
    lib.SysAllocStringLen.restype = vp
    lib.SysFreeString.argtypes = [vp]
    lib.SysFreeString.restype = None
    lib.SysStringLen.argtypes = [vp]
    lib.SysStringLen.restype = u32
    lib.GetErrorInfo.argtypes = [u32, ctypes.POINTER(vp)]
    lib.GetErrorInfo.restype = i32
    lib.KavrelSetMessagePump.argtypes = [vp, vp]
    lib.KavrelSetMessagePump.restype = None


def library() -> ctypes.CDLL:
    """Load libkavrel once per process and return it.

    Order: ``$KAVREL_LIBRARY`` alone when it is set; otherwise the installed
    ``libkavrel.so.1`` (then ``libkavrel.so``) on the dynamic loader's path;
    otherwise the build directory of the repository this package sits in.
    """
    global _lib, _path
    with _lock:
        if _lib is not None:
            return _lib
        tried: list[tuple[str, str]] = []
        for place in _candidates():
            try:
                lib = ctypes.CDLL(place, mode=os.RTLD_NOW | os.RTLD_LOCAL)
            except OSError as e:
                why = str(e) or "cannot be loaded"
                tried.append((place, why.removeprefix(place + ": ")))
                continue
            try:
                _declare(lib)
            except AttributeError as e:
                tried.append((place, f"not libkavrel ({e})"))
                continue
            _lib, _path = lib, place
            return lib
        raise LibraryNotFoundError(tried)


def library_path() -> str:
    """The place libkavrel was loaded from (loading it if need be)."""
    library()
    assert _path is not None
    return _path
