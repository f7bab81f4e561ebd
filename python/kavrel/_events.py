"""The event sink: an IDispatch object made in ctypes that the component
calls through its connection point, and the message pump hook."""

from __future__ import annotations

import contextlib
import ctypes
import logging
import signal
import threading
import weakref
from typing import Any, Callable, Iterator

from ._com import (
    DIID___comms,
    DISP_E_BADPARAMCOUNT,
    DISP_E_EXCEPTION,
    DISP_E_MEMBERNOTFOUND,
    DISP_E_TYPEMISMATCH,
    DISP_E_UNKNOWNNAME,
    DISPPARAMS,
    E_NOINTERFACE,
    E_NOTIMPL,
    E_POINTER,
    EXCEPINFO,
    GUID,
    HRESULT,
    IID_IDispatch,
    IID_IUnknown,
    S_OK,
    VARIANT,
    VT_BSTR,
    VT_BYREF,
    VT_VARIANT,
    alloc_bstr,
    read_bstr,
)
from ._library import library

log = logging.getLogger("kavrel")

DISPID_DATA_ARRIVED = 1
DISPID_DATA_SENT = 2
_EVENT_NAMES = {"dataarrived": DISPID_DATA_ARRIVED, "datasent": DISPID_DATA_SENT}

EventCallback = Callable[[str], object]

_vp = ctypes.c_void_p
_u32 = ctypes.c_uint32
_QueryInterface = ctypes.CFUNCTYPE(HRESULT, _vp, ctypes.POINTER(GUID), ctypes.POINTER(_vp))
_AddRefRelease = ctypes.CFUNCTYPE(_u32, _vp)
_GetTypeInfoCount = ctypes.CFUNCTYPE(HRESULT, _vp, ctypes.POINTER(_u32))
_GetTypeInfo = ctypes.CFUNCTYPE(HRESULT, _vp, _u32, _u32, ctypes.POINTER(_vp))
_GetIDsOfNames = ctypes.CFUNCTYPE(
    HRESULT, _vp, _vp, ctypes.POINTER(_vp), _u32, _u32, ctypes.POINTER(ctypes.c_int32)
)
_Invoke = ctypes.CFUNCTYPE(
    HRESULT,
    _vp,
    ctypes.c_int32,
    _vp,
    _u32,
    ctypes.c_uint16,
    ctypes.POINTER(DISPPARAMS),
    ctypes.POINTER(VARIANT),
    ctypes.POINTER(EXCEPINFO),
    ctypes.POINTER(_u32),
)

# The C side of every sink the component still holds a reference to stays
# alive here, whatever Python does with its owner meanwhile.  It refers to
# the Python side (the callbacks) only weakly: a callback that refers to its
# Comms object must not keep that object alive through this set.
_held: set[_SinkCore] = set()
_held_lock = threading.Lock()


def report_callback_error(exc: BaseException, what: str) -> None:
    """A callback raised: log it on the "kavrel" logger and go on."""
    log.error("%s raised %s: %s", what, type(exc).__name__, exc, exc_info=exc)


class _ThreadState(threading.local):
    # A KeyboardInterrupt or SystemExit raised in host code that the
    # component called (a callback, the message pump): it cannot unwind
    # through the component, so it waits for the member call to return.
    pending: BaseException | None = None
    # Polling loops running on the thread, how to stop them, and whether
    # that has been done for the outermost one.
    loops: int = 0
    stop: Callable[[], None] | None = None
    stopped: bool = False
    # The message pump installed for the thread, kept alive while it is
    # installed and no longer than the thread.
    pump: Any = None


_thread = _ThreadState()


def defer(exc: BaseException) -> None:
    """Keep ``exc`` for the member call that returns to Python, and end the
    thread's polling loop, which would otherwise never return."""
    stop_loops()
    if _thread.pending is None:
        _thread.pending = exc


def take_pending() -> BaseException | None:
    exc, _thread.pending = _thread.pending, None
    return exc


def stop_loops() -> None:
    t = _thread
    if not t.loops or t.stop is None or t.stopped:
        return
    t.stopped = True
    saved, t.pending = t.pending, None  # not for the stopping call to raise
    try:
        t.stop()
    except Exception as e:
        report_callback_error(e, "stopping the polling loop")
    finally:
        t.pending = saved or t.pending


def _idle_pump(context: int) -> None:
    """Installed while a loop runs on the main thread with no pump of the
    host's: Python gets control once a pass, so that Ctrl-C is seen."""


_idle_function = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(_idle_pump)


def _on_interrupt(signum: int, frame: object) -> None:
    defer(KeyboardInterrupt())


@contextlib.contextmanager
def polling(stop: Callable[[], None]) -> Iterator[None]:
    """Around a ``looprocess`` call: a KeyboardInterrupt or SystemExit in a
    callback or the pump ends the loop (through ``stop``), and so does
    Ctrl-C on the main thread while Python's own handler is in place."""
    t = _thread
    outer = t.loops == 0
    interrupts = False
    if outer:
        t.stop, t.stopped = stop, False
        interrupts = (
            threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler
        )
        if interrupts:
            signal.signal(signal.SIGINT, _on_interrupt)
            if t.pump is None:
                library().KavrelSetMessagePump(ctypes.cast(_idle_function, _vp), None)
    t.loops += 1
    try:
        yield
    finally:
        t.loops -= 1
        if outer:
            t.stop = None
            if interrupts:
                if t.pump is None:
                    library().KavrelSetMessagePump(None, None)
                if signal.getsignal(signal.SIGINT) is _on_interrupt:
                    signal.signal(signal.SIGINT, signal.default_int_handler)


class _SinkObject(ctypes.Structure):
    _fields_ = [("lpVtbl", _vp)]


class _SinkCore:
    """The sink as the component sees it: an IDispatch object, its vtable
    and the thunks behind it.  Invoke hands over to the Python side."""

    def __init__(self, target: Sink) -> None:
        self.target = weakref.ref(target)
        self._refs = 0
        self._functions = (
            _QueryInterface(self._query_interface),
            _AddRefRelease(self._add_ref),
            _AddRefRelease(self._release),
            _GetTypeInfoCount(self._get_type_info_count),
            _GetTypeInfo(self._get_type_info),
            _GetIDsOfNames(self._get_ids_of_names),
            _Invoke(self._invoke),
        )
        self._vtable = (_vp * len(self._functions))(
            *[ctypes.cast(f, _vp).value for f in self._functions]
        )
        self._object = _SinkObject(ctypes.cast(self._vtable, _vp).value)

    @property
    def pointer(self) -> int:
        """The sink's IDispatch pointer."""
        return ctypes.addressof(self._object)

    # IUnknown
    def _query_interface(self, this: int, riid: ctypes._Pointer, ppv: ctypes._Pointer) -> int:
        if not ppv:
            return E_POINTER
        if riid and riid[0] in (IID_IUnknown, IID_IDispatch, DIID___comms):
            ppv[0] = self.pointer
            self._add_ref(this)
            return S_OK
        ppv[0] = None
        return E_NOINTERFACE

    def _add_ref(self, this: int) -> int:
        with _held_lock:
            self._refs += 1
            _held.add(self)
            return self._refs

    def _release(self, this: int) -> int:
        with _held_lock:
            if self._refs > 0:
                self._refs -= 1
            if self._refs == 0:
                _held.discard(self)
            return self._refs

    # IDispatch
    def _get_type_info_count(self, this: int, pctinfo: ctypes._Pointer) -> int:
        if not pctinfo:
            return E_POINTER
        pctinfo[0] = 0
        return S_OK

    def _get_type_info(self, this: int, index: int, lcid: int, ppti: ctypes._Pointer) -> int:
        if ppti:
            ppti[0] = None
        return E_NOTIMPL

    def _get_ids_of_names(
        self, this: int, riid: int, names: Any, count: int, lcid: int, ids: Any
    ) -> int:
        if not names or not ids:
            return E_POINTER
        hr = S_OK
        for i in range(count):
            name = read_bstr_like(names[i]).lower()
            ids[i] = _EVENT_NAMES.get(name, -1) if i == 0 else -1
            if ids[i] == -1:
                hr = DISP_E_UNKNOWNNAME
        return hr

    def _invoke(
        self,
        this: int,
        dispid: int,
        riid: int,
        lcid: int,
        flags: int,
        params: Any,
        result: Any,
        excep: Any,
        arg_err: Any,
    ) -> int:
        sink = self.target()
        return S_OK if sink is None else sink.invoke(dispid, params, excep, arg_err)


class Sink:
    """One ``__comms`` sink: calls the registered callbacks of each event in
    the order they were added.  A callback that raises is reported and the
    next one still runs; the exception never reaches the component."""

    def __init__(self) -> None:
        self.callbacks: dict[int, list[EventCallback]] = {
            DISPID_DATA_ARRIVED: [],
            DISPID_DATA_SENT: [],
        }
        self.core = _SinkCore(self)

    @property
    def pointer(self) -> int:
        """The sink's IDispatch pointer."""
        return self.core.pointer

    def invoke(self, dispid: int, params: Any, excep: Any, arg_err: Any) -> int:
        callbacks = self.callbacks.get(dispid)
        if callbacks is None:
            return DISP_E_MEMBERNOTFOUND
        if not params or params[0].cArgs != 1 or not params[0].rgvarg:
            return DISP_E_BADPARAMCOUNT
        arg = params[0].rgvarg[0]
        vt = arg.vt
        ptr = arg.value.byref
        if vt == VT_VARIANT | VT_BYREF and ptr:
            inner = ctypes.cast(ptr, ctypes.POINTER(VARIANT))[0]
            vt, ptr = inner.vt, inner.value.byref
        if vt == VT_BSTR:
            text = read_bstr(ptr)
        elif vt == VT_BSTR | VT_BYREF:
            text = read_bstr(ctypes.cast(ptr, ctypes.POINTER(_vp))[0] if ptr else None)
        else:
            if arg_err:
                arg_err[0] = 0
            return DISP_E_TYPEMISMATCH
        failed: BaseException | None = None
        name = "on_data_arrived" if dispid == DISPID_DATA_ARRIVED else "on_data_sent"
        for callback in list(callbacks):
            try:
                callback(text)
            except Exception as e:  # reported, and the next callback runs
                report_callback_error(e, f"{name} callback {callback!r}")
                failed = failed or e
            except BaseException as e:  # KeyboardInterrupt, SystemExit
                defer(e)  # re-raised once the member call returns to Python
                failed = failed or e
        if failed is None:
            return S_OK
        if excep:
            try:
                excep[0].scode = DISP_E_EXCEPTION
                excep[0].bstrSource = alloc_bstr("kavrel")
                excep[0].bstrDescription = alloc_bstr(f"{type(failed).__name__}: {failed}")
            except Exception:  # out of memory: the status alone says it
                pass
        return DISP_E_EXCEPTION


def read_bstr_like(ptr: int | None) -> str:
    """A NUL-terminated UTF-16 name (GetIDsOfNames passes plain OLE strings)."""
    if not ptr:
        return ""
    chars = []
    p = ctypes.cast(ptr, ctypes.POINTER(ctypes.c_uint16))
    for i in range(256):
        if p[i] == 0:
            break
        chars.append(p[i])
    return b"".join(c.to_bytes(2, "little") for c in chars).decode("utf-16-le", "replace")


# --- the message pump ---------------------------------------------------------

_PumpFunction = ctypes.CFUNCTYPE(None, _vp)


def set_message_pump(pump: Callable[[], object] | None) -> None:
    """Install ``pump`` for the calling thread (``None`` removes it); it
    goes when the thread ends.

    The component calls it where it lets the host's events run: once inside
    each ``CommRead`` and ``CommWrite`` (more after a completed write) and at
    the start of every pass of ``looprocess``.  Run your GUI toolkit's
    pending events there, or stop a polling loop (``WriteComm``,
    ``CloseComm``, ``OpenComm``).  An exception it raises is reported on the
    "kavrel" logger and the component goes on; a KeyboardInterrupt or
    SystemExit ends a polling loop and is raised once the member call
    returns, as from an event callback.
    """
    lib = library()
    if pump is None:
        lib.KavrelSetMessagePump(None, None)
        _thread.pump = None
        return
    if not callable(pump):
        raise TypeError("pump must be callable or None")

    def trampoline(context: int) -> None:
        try:  # never unwind through the component
            pump()
        except Exception as e:
            report_callback_error(e, f"message pump {pump!r}")
        except BaseException as e:  # KeyboardInterrupt, SystemExit
            defer(e)

    # Kept by the thread, as the library keeps the installed pump per
    # thread: both go when the thread ends.
    function = _thread.pump = _PumpFunction(trampoline)
    lib.KavrelSetMessagePump(ctypes.cast(function, _vp), None)
