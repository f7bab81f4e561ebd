"""The automation binary interface as ctypes sees it: GUIDs, BSTRs,
VARIANTs, vtable calls and failures turned into ``ComError``."""

from __future__ import annotations

import ctypes
import uuid
from typing import Any

from ._library import library

HRESULT = ctypes.c_int32
S_OK = 0
E_NOTIMPL = -0x7FFFBFFF  # 0x80004001
E_NOINTERFACE = -0x7FFFBFFE  # 0x80004002
E_POINTER = -0x7FFFBFFD  # 0x80004003
DISP_E_MEMBERNOTFOUND = -0x7FFDFFFD  # 0x80020003
DISP_E_UNKNOWNNAME = -0x7FFDFFFA  # 0x80020006
DISP_E_EXCEPTION = -0x7FFDFFF7  # 0x80020009
DISP_E_BADPARAMCOUNT = -0x7FFDFFF2  # 0x8002000E
DISP_E_TYPEMISMATCH = -0x7FFDFFFB  # 0x80020005
RPC_E_WRONG_THREAD = -0x7FFEFEF2  # 0x8001010E

VT_BSTR = 8
VT_VARIANT = 12
VT_BYREF = 0x4000


def hresult(value: int) -> int:
    """An HRESULT as a signed 32-bit number."""
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


class GUID(ctypes.Structure):
    _fields_ = [
        ("Data1", ctypes.c_uint32),
        ("Data2", ctypes.c_uint16),
        ("Data3", ctypes.c_uint16),
        ("Data4", ctypes.c_uint8 * 8),
    ]

    @classmethod
    def parse(cls, text: str) -> GUID:
        u = uuid.UUID(text)
        g = cls(u.fields[0], u.fields[1], u.fields[2])
        g.Data4[:] = list(u.bytes[8:])
        return g

    def __eq__(self, other: object) -> bool:
        return isinstance(other, GUID) and bytes(self) == bytes(other)

    __hash__ = None  # type: ignore[assignment]


IID_IUnknown = GUID.parse("00000000-0000-0000-C000-000000000046")
IID_IDispatch = GUID.parse("00020400-0000-0000-C000-000000000046")
IID_IClassFactory = GUID.parse("00000001-0000-0000-C000-000000000046")
IID_IConnectionPointContainer = GUID.parse("B196B284-BAB4-101A-B69C-00AA00341D07")
IID_ISupportErrorInfo = GUID.parse("DF0B3D60-548F-101B-8E65-08002B2BD119")
CLSID_comms = GUID.parse("6B3E9A41-2D7C-4F1B-8E25-A1C4D0B7F310")
IID__comms = GUID.parse("6B3E9A42-2D7C-4F1B-8E25-A1C4D0B7F310")
DIID___comms = GUID.parse("6B3E9A43-2D7C-4F1B-8E25-A1C4D0B7F310")


class VARIANT(ctypes.Structure):
    class _Value(ctypes.Union):
        _fields_ = [
            ("llVal", ctypes.c_int64),
            ("lVal", ctypes.c_int32),
            ("iVal", ctypes.c_int16),
            ("bstrVal", ctypes.c_void_p),
            ("byref", ctypes.c_void_p),
            ("brecVal", ctypes.c_void_p * 2),
        ]

    _fields_ = [
        ("vt", ctypes.c_uint16),
        ("wReserved1", ctypes.c_uint16),
        ("wReserved2", ctypes.c_uint16),
        ("wReserved3", ctypes.c_uint16),
        ("value", _Value),
    ]


class DISPPARAMS(ctypes.Structure):
    _fields_ = [
        ("rgvarg", ctypes.POINTER(VARIANT)),
        ("rgdispidNamedArgs", ctypes.POINTER(ctypes.c_int32)),
        ("cArgs", ctypes.c_uint32),
        ("cNamedArgs", ctypes.c_uint32),
    ]


class EXCEPINFO(ctypes.Structure):
    _fields_ = [
        ("wCode", ctypes.c_uint16),
        ("wReserved", ctypes.c_uint16),
        ("bstrSource", ctypes.c_void_p),
        ("bstrDescription", ctypes.c_void_p),
        ("bstrHelpFile", ctypes.c_void_p),
        ("dwHelpContext", ctypes.c_uint32),
        ("pvReserved", ctypes.c_void_p),
        ("pfnDeferredFillIn", ctypes.c_void_p),
        ("scode", ctypes.c_int32),
    ]


# --- BSTR -----------------------------------------------------------------


class Bstr:
    """A BSTR owned by Python, freed with the library's SysFreeString.

    ``ref`` is the BSTR* to hand to a member; a member that replaces the
    text frees the old one itself, and whatever it leaves is freed here.
    """

    __slots__ = ("ptr",)

    def __init__(self, text: str | None = None) -> None:
        self.ptr = ctypes.c_void_p(alloc_bstr(text) if text is not None else None)

    @property
    def ref(self) -> Any:
        return ctypes.byref(self.ptr)

    def text(self) -> str:
        return read_bstr(self.ptr.value)

    def free(self) -> None:
        if self.ptr.value:
            library().SysFreeString(self.ptr.value)
            self.ptr.value = None

    def __enter__(self) -> Bstr:
        return self

    def __exit__(self, *exc: object) -> None:
        self.free()


def alloc_bstr(text: str) -> int:
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    data = text.encode("utf-16-le", "surrogatepass")
    n = len(data) // 2
    ptr = library().SysAllocStringLen(data if n else None, n)
    if not ptr:
        raise MemoryError("SysAllocStringLen failed")
    return ptr


def read_bstr(ptr: int | None) -> str:
    if not ptr:
        return ""
    n = library().SysStringLen(ptr)
    return ctypes.string_at(ptr, 2 * n).decode("utf-16-le", "surrogatepass")


# --- vtable calls ------------------------------------------------------------

_prototypes: dict[tuple[Any, ...], Any] = {}


def vtable_function(obj: int, slot: int, *argtypes: Any) -> Any:
    """The function in ``slot`` of the interface at ``obj``, typed."""
    key = (HRESULT,) + argtypes
    proto = _prototypes.get(key)
    if proto is None:
        proto = _prototypes[key] = ctypes.CFUNCTYPE(HRESULT, ctypes.c_void_p, *argtypes)
    vtbl = ctypes.cast(obj, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]
    return proto(vtbl[slot])


def release(obj: int) -> None:
    ctypes.CFUNCTYPE(ctypes.c_uint32, ctypes.c_void_p)(
        ctypes.cast(obj, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0][2]
    )(obj)


def query_interface(obj: int, iid: GUID) -> int:
    out = ctypes.c_void_p()
    hr = vtable_function(obj, 0, ctypes.c_void_p, ctypes.c_void_p)(
        obj, ctypes.addressof(iid), ctypes.addressof(out)
    )
    check(hr)
    return out.value or 0


# --- failures -----------------------------------------------------------------

_KNOWN = {
    RPC_E_WRONG_THREAD: "The application called an interface that was marshalled "
    "for a different thread.",
    E_NOINTERFACE: "No such interface supported",
    E_POINTER: "Invalid pointer",
}


class ComError(Exception):
    """A member of the component failed.

    ``number`` is the runtime error number (``hresult & 0xFFFF`` for the
    component's own 0x800A.... failures, the signed HRESULT otherwise, as
    an automation host reports it); ``description`` is the component's text
    for it, ``source`` where it came from, ``hresult`` the raw status as a
    signed 32-bit number (``hresult & 0xFFFFFFFF`` gives the usual hex form).
    """

    def __init__(self, number: int, description: str, hresult: int = 0, source: str = "") -> None:
        super().__init__(number, description)
        self.number = number
        self.description = description
        self.hresult = hresult
        self.source = source

    def __str__(self) -> str:
        return f"{self.description} (error {self.number})"


def _take_error_info() -> tuple[str, str]:
    """Take the thread's error information (source, description); clears it."""
    lib = library()
    info = ctypes.c_void_p()
    if lib.GetErrorInfo(0, ctypes.byref(info)) != S_OK or not info.value:
        return "", ""
    texts = []
    try:
        for slot in (4, 5):  # GetSource, GetDescription
            with Bstr() as b:
                fn = vtable_function(info.value, slot, ctypes.c_void_p)
                if fn(info.value, b.ref) >= 0:
                    texts.append(b.text())
                else:
                    texts.append("")
    finally:
        release(info.value)
    return texts[0], texts[1]


def error_from(hr: int) -> ComError:
    hr = hresult(hr)
    source, description = _take_error_info()
    if (hr & 0xFFFFFFFF) >> 16 == 0x800A:
        number = hr & 0xFFFF
    else:
        number = hr
        # Error information belongs to the component's own failures only.
        source, description = "", ""
    if not description:
        description = _KNOWN.get(hr, f"Automation error 0x{hr & 0xFFFFFFFF:08X}")
    return ComError(number, description, hr, source)


def check(hr: int) -> None:
    if hr < 0:
        raise error_from(hr)
