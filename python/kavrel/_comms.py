"""``kavrel.Comms``: the ``comms`` object with its 28 members."""

from __future__ import annotations

import ctypes
import operator
from typing import Any, Callable, TypeVar

from ._com import (
    CLSID_comms,
    IID__comms,
    IID_IClassFactory,
    IID_IConnectionPointContainer,
    IID_ISupportErrorInfo,
    DIID___comms,
    Bstr,
    check,
    error_from,
    query_interface,
    release,
    vtable_function,
)
from ._events import (
    DISPID_DATA_ARRIVED,
    DISPID_DATA_SENT,
    EventCallback,
    Sink,
    polling,
    take_pending,
)
from ._library import library

__all__ = ["Comms"]

_vp = ctypes.c_void_p
_short = ctypes.c_int16
_long = ctypes.c_int32
_F = TypeVar("_F", bound=EventCallback)


def _int(value: Any, name: str, bits: int) -> int:
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    if not low <= v <= high:
        # A silent wrap would name another port or line: refuse it instead.
        raise OverflowError(f"{name} = {v} does not fit a {bits}-bit signed integer")
    return v


def _state(value: Any, name: str) -> int:
    """A 16-bit boolean: True/False as -1/0, an int as it is."""
    if isinstance(value, bool):
        return -1 if value else 0
    return _int(value, name, 16)


def _text(value: Any, name: str) -> str:
    if not isinstance(value, str):
        raise TypeError(
            f"{name} must be str, not {type(value).__name__} "
            "(use kavrel.text_from_bytes for bytes)"
        )
    return value


def _stop_polling() -> None:
    """Stop every polling loop of the thread, touching no port: the loops
    end at a ``CloseComm`` on any object of the thread, and a fresh object
    has no slot open to close."""
    scratch = Comms()
    try:
        scratch.PortComm = 1
        scratch.CloseComm()
    finally:
        scratch.release()


class Comms:
    """A ``comms`` object: up to four serial ports, by slot 1 to 4.

    Members keep their own names.  Values a member hands back by reference
    come back as its return value, in a tuple after the result when there
    are several (``count, text = c.CommRead(1, 64)``).  A member failure
    raises :class:`kavrel.ComError`; the port members' statuses (0 or an
    error number, -1 for a slot in use) are return values, and
    ``CommGetError()`` explains the last one.

    An object belongs to the thread that created it: a call from another
    thread raises ``ComError`` with the component's wrong-thread error.

    ``with kavrel.Comms() as c:`` closes all four slots on leaving; the
    object itself is released when the Python object goes (or at
    :meth:`release`).
    """

    def __init__(self) -> None:
        self._ptr: int = 0
        self._functions: dict[int, Any] = {}
        self._sink: Sink | None = None
        self._point: int = 0
        self._cookie = ctypes.c_uint32(0)
        lib = library()
        factory = _vp()
        check(
            lib.DllGetClassObject(
                ctypes.addressof(CLSID_comms),
                ctypes.addressof(IID_IClassFactory),
                ctypes.byref(factory),
            )
        )
        obj = _vp()
        try:
            create = vtable_function(factory.value, 3, _vp, _vp, _vp)
            check(create(factory.value, None, ctypes.addressof(IID__comms), ctypes.addressof(obj)))
        finally:
            release(factory.value)
        self._ptr = obj.value or 0

    # --- plumbing -----------------------------------------------------------

    def _call(self, slot: int, *args: Any) -> None:
        if not self._ptr:
            raise ValueError("this Comms object has been released")
        fn = self._functions.get(slot)
        if fn is None:
            # By-value numbers keep their type; everything else is a pointer.
            types = [type(a) if isinstance(a, ctypes._SimpleCData) else _vp for a in args]
            fn = self._functions[slot] = vtable_function(self._ptr, slot, *types)
        hr = fn(self._ptr, *args)
        pending = take_pending()
        if pending is not None:
            raise pending
        if hr < 0:
            raise error_from(hr)

    def _port_call(self, slot: int, *args: Any) -> int:
        result = _long(0)
        self._call(slot, *args, ctypes.byref(result))
        return result.value

    def _check_thread(self) -> None:
        """Raise the component's wrong-thread ``ComError`` unless the caller
        is on the object's thread (asks the object itself, which tells its
        thread apart from a later one with the same identifier)."""
        info = query_interface(self._ptr, IID_ISupportErrorInfo)
        try:
            check(vtable_function(info, 3, _vp)(info, ctypes.addressof(IID__comms)))
        finally:
            release(info)

    def release(self) -> None:
        """Disconnect the event callbacks and release the object now.

        Done anyway when the Python object is collected.  Releasing closes
        no port: a device still open stays open (and taken) for the rest of
        the process, as in every host, so close ports first (``close()``, or
        leave a ``with`` block).  Later calls raise ``ValueError``.  With
        callbacks connected it must run on the object's thread: elsewhere
        the disconnect is refused with ``ComError`` and nothing changes.
        """
        if self._point:
            unadvise = vtable_function(self._point, 6, ctypes.c_uint32)
            check(unadvise(self._point, self._cookie.value))
            point, self._point = self._point, 0
            release(point)
        self._drop()

    def _drop(self) -> None:
        """Let go of the component's object without disconnecting: it lets
        go of the sink itself once the last reference is gone."""
        ptr, self._ptr = self._ptr, 0
        point, self._point = self._point, 0
        self._functions.clear()
        if point:
            release(point)
        if ptr:
            release(ptr)

    def __reduce_ex__(self, protocol: Any) -> Any:
        # A copy would share the component's object and release it again.
        raise TypeError(
            "a Comms object cannot be copied or pickled; make another with kavrel.Comms()"
        )

    def __del__(self) -> None:
        try:
            self.release()
        except Exception:
            # Collected on another thread, where the disconnect is refused,
            # or at interpreter shutdown: still let go of the object.
            try:
                self._drop()
            except Exception:
                pass

    def close(self) -> None:
        """Close all four slots (``CommClose`` 1 to 4); the object stays usable.

        Also ends the connection that ``OpenComm`` opened, whichever slot
        ``PortComm`` named.  A slot that is not open is left alone.  Nothing
        to do once the object is released (a port still open then stays open).
        """
        if not self._ptr:
            return
        for slot in (1, 2, 3, 4):
            self.CommClose(slot)

    def __enter__(self) -> Comms:
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        try:
            self.close()
        except Exception:
            if exc_type is None:
                raise

    # --- events ---------------------------------------------------------------

    def _connect(self) -> Sink:
        if not self._ptr:
            raise ValueError("this Comms object has been released")
        if self._sink is not None:
            self._check_thread()  # as the first connection is
            return self._sink
        sink = Sink()
        container = query_interface(self._ptr, IID_IConnectionPointContainer)
        point = _vp()
        try:
            find = vtable_function(container, 4, _vp, _vp)
            check(find(container, ctypes.addressof(DIID___comms), ctypes.byref(point)))
        finally:
            release(container)
        try:
            advise = vtable_function(point.value, 5, _vp, _vp)
            check(advise(point.value, sink.pointer, ctypes.byref(self._cookie)))
        except BaseException:
            release(point.value)
            raise
        self._point = point.value or 0
        self._sink = sink
        return sink

    def on_data_arrived(self, callback: _F) -> _F:
        """Call ``callback(text)`` at every ``DataArrived`` event.

        ``looprocess`` raises it once per polling pass while ``StatusComm``
        is true, with ``ReadBuffer``: a pass that read nothing new delivers
        the last text again.  Several callbacks run in the order
        they were added.  One that raises is reported on the "kavrel"
        logger and the others still run; the exception does not pass
        through the component.  Returns ``callback``, so it serves as a
        decorator.
        """
        if not callable(callback):
            raise TypeError("callback must be callable")
        self._connect().callbacks[DISPID_DATA_ARRIVED].append(callback)
        return callback

    def on_data_sent(self, callback: _F) -> _F:
        """Call ``callback(text)`` at every ``DataSent`` event.

        ``WriteComm`` raises it when the whole text went out, with the text
        as it was sent.  Otherwise as :meth:`on_data_arrived`.
        """
        if not callable(callback):
            raise TypeError("callback must be callable")
        self._connect().callbacks[DISPID_DATA_SENT].append(callback)
        return callback

    def remove_callback(self, callback: Callable[[str], object]) -> None:
        """Stop calling ``callback`` for either event (no error if unknown)."""
        if self._ptr:
            self._check_thread()
        if self._sink is not None:
            for callbacks in self._sink.callbacks.values():
                while callback in callbacks:
                    callbacks.remove(callback)

    # --- properties ---------------------------------------------------------

    def _get_text(self, slot: int) -> str:
        with Bstr() as b:
            self._call(slot, b.ref)
            return b.text()

    @property
    def Version(self) -> str:
        """The component's version text, "1.1"."""
        return self._get_text(7)

    @property
    def Company(self) -> str:
        """The component's maker, as a text."""
        return self._get_text(9)

    @property
    def BaudComm(self) -> int:
        """Line speed (32-bit) that ``OpenComm`` writes into the mode string."""
        v = _long(0)
        self._call(11, ctypes.byref(v))
        return v.value

    @BaudComm.setter
    def BaudComm(self, value: int) -> None:
        self._call(10, _long(_int(value, "BaudComm", 32)))

    @property
    def PortComm(self) -> int:
        """Slot (1 to 4) the connection members use; ``OpenComm`` opens
        "COM" and this number.  Stored unchecked; a bad slot shows up as a
        failure status of the port calls that use it."""
        v = _short(0)
        self._call(13, ctypes.byref(v))
        return v.value

    @PortComm.setter
    def PortComm(self, value: int) -> None:
        self._call(12, _short(_int(value, "PortComm", 16)))

    @property
    def StatusComm(self) -> bool:
        """Outcome of the last ``OpenComm``, ``WriteComm`` and ``ReadComm``
        that read something or failed (read-only)."""
        v = _short(0)
        self._call(14, ctypes.byref(v))
        return v.value != 0

    @property
    def ReadBuffer(self) -> str:
        """Text of the last ``ReadComm`` that received something (read-only)."""
        return self._get_text(15)

    # --- connection layer ---------------------------------------------------

    def ClearComm(self) -> None:
        """Empty both queues of the ``PortComm`` slot (``CommFlush``);
        received text not yet read is lost."""
        self._call(8)

    def ControlOff(self) -> None:
        """Lower RTS, then DTR, on the ``PortComm`` slot; failures ignored."""
        self._call(16)

    def ControlOn(self) -> None:
        """Raise RTS, then DTR, on the ``PortComm`` slot; failures ignored."""
        self._call(17)

    def WriteComm(self, strData1: str) -> None:
        """Stop any polling loop of the thread, wait 100 ms, send the text on
        the ``PortComm`` slot.  ``StatusComm`` tells whether all of it went
        out; if so ``DataSent`` is raised with it.  Returns nothing."""
        with Bstr(_text(strData1, "strData1")) as b:
            self._call(18, b.ref)

    def waitnow(self, valu1: int) -> None:
        """Block the thread ``valu1`` milliseconds without pumping events;
        a negative value returns at once."""
        self._call(19, ctypes.byref(_long(_int(valu1, "valu1", 32))))

    def ReadComm(self) -> None:
        """Read what has arrived on the ``PortComm`` slot (64 bytes or all
        that is waiting) into ``ReadBuffer``; sets ``StatusComm`` when it
        read something (true) or failed (false).  Returns nothing."""
        self._call(20)

    def CloseComm(self) -> None:
        """Stop any polling loop of the thread, wait 100 ms and close the
        ``PortComm`` slot."""
        self._call(21)

    def OpenComm(self) -> None:
        """Close and open "COM" + ``PortComm`` in slot ``PortComm`` at
        ``BaudComm`` 8N1, raise RTS and DTR; ``StatusComm`` tells whether it
        opened (``CommGetError`` says why not)."""
        self._call(22)

    def looprocess(self) -> None:
        """The polling loop: pump, ``ReadComm``, ``ClearComm``, raise
        ``DataArrived`` while ``StatusComm`` is true, wait 20 ms; again until
        ``WriteComm``, ``CloseComm`` or ``OpenComm`` runs on this thread (from
        a callback or the message pump).  Once one of those has run on the
        thread it returns at once.

        A KeyboardInterrupt or SystemExit in a callback or the pump, or
        Ctrl-C on the main thread, ends the loop after its pass (as a
        ``CloseComm`` would, closing nothing) and is raised here."""
        with polling(_stop_polling):
            self._call(34)
        pending = take_pending()  # an interrupt that came as the loop ended
        if pending is not None:
            raise pending

    def settingeval(self, p1: int) -> str:
        """The mode string for speed ``p1``: "baud=<p1> parity=N data=8 stop=1"."""
        with Bstr() as b:
            self._call(33, ctypes.byref(_long(_int(p1, "p1", 32))), b.ref)
            return b.text()

    # --- port layer ---------------------------------------------------------

    def GetSystemMessage(self, lngErrorCode: int) -> str:
        """The system's message text for an error number ("" if none)."""
        with Bstr() as b:
            self._call(23, ctypes.byref(_long(_int(lngErrorCode, "lngErrorCode", 32))), b.ref)
            return b.text()

    def CommOpen(self, intPortID: int, strPort: str, strSettings: str) -> int:
        """Open device ``strPort`` in slot ``intPortID`` and configure it from
        the mode string ``strSettings`` ("baud=9600 parity=N data=8 stop=1").
        Returns 0, -1 when the slot is already open, or the error number.

        The name is opened by its bytes in the code page: for a path beyond
        ASCII pass ``text_from_bytes(os.fsencode(path))``."""
        port = _short(_int(intPortID, "intPortID", 16))
        strPort, strSettings = _text(strPort, "strPort"), _text(strSettings, "strSettings")
        with Bstr(strPort) as name, Bstr(strSettings) as mode:
            return self._port_call(24, ctypes.byref(port), name.ref, mode.ref)

    def CommSet(self, intPortID: int, strSettings: str) -> int:
        """Apply a new mode string to slot ``intPortID``; returns 0 or the
        error number."""
        port = _short(_int(intPortID, "intPortID", 16))
        with Bstr(_text(strSettings, "strSettings")) as mode:
            return self._port_call(25, ctypes.byref(port), mode.ref)

    def CommClose(self, intPortID: int) -> int:
        """Close slot ``intPortID``; returns 0 (also when it was not open) or
        the error number."""
        port = _short(_int(intPortID, "intPortID", 16))
        return self._port_call(26, ctypes.byref(port))

    def CommFlush(self, intPortID: int) -> int:
        """Empty both queues of slot ``intPortID`` and end pending transfers;
        returns 0 or the error number."""
        port = _short(_int(intPortID, "intPortID", 16))
        return self._port_call(27, ctypes.byref(port))

    def CommRead(self, intPortID: int, lngSize: int) -> tuple[int, str]:
        """Read from slot ``intPortID``: returns ``(count, text)``.

        Reads the larger of ``lngSize`` and the count waiting (nothing when
        nothing waits; at most 1024 bytes).  ``count`` is the number of bytes
        read, 0 when none, -1 on failure (``text`` is then "").  Bytes are
        characters of the component's code page: ``bytes_from_text(text)``
        gives the bytes.
        """
        port = _short(_int(intPortID, "intPortID", 16))
        size = _long(_int(lngSize, "lngSize", 32))
        with Bstr() as data:
            count = self._port_call(28, ctypes.byref(port), data.ref, ctypes.byref(size))
            return count, data.text()

    def CommWrite(self, intPortID: int, strData: str) -> int:
        """Send ``strData`` on slot ``intPortID``, one byte per UTF-16 unit;
        returns the number of bytes written, or -1 on failure.

        A character the code page lacks goes out as ``?`` (one beyond
        U+FFFF as ``??``); ``text_from_bytes`` makes text for any bytes."""
        port = _short(_int(intPortID, "intPortID", 16))
        with Bstr(_text(strData, "strData")) as data:
            return self._port_call(29, ctypes.byref(port), data.ref)

    def CommGetLine(self, intPortID: int, intLine: int) -> tuple[int, bool]:
        """Test the modem status lines of slot ``intPortID``: returns
        ``(status, state)``.

        ``intLine`` is a mask of 0x10 CTS, 0x20 DSR, 0x40 ring, 0x80 carrier
        detect; ``state`` is True when any of them is on.  ``status`` is 0, or
        the error number (``state`` is then False).
        """
        port = _short(_int(intPortID, "intPortID", 16))
        line = _short(_int(intLine, "intLine", 16))
        state = _short(0)
        status = self._port_call(30, ctypes.byref(port), ctypes.byref(line), ctypes.byref(state))
        return status, state.value != 0

    def CommSetLine(self, intPortID: int, intLine: int, blnState: bool | int) -> int:
        """Set (``blnState`` true) or clear a line of slot ``intPortID``:
        ``intLine`` 1 break, 2 DTR, 3 RTS.  Returns 0 or the error number."""
        port = _short(_int(intPortID, "intPortID", 16))
        line = _short(_int(intLine, "intLine", 16))
        state = _short(_state(blnState, "blnState"))
        return self._port_call(31, ctypes.byref(port), ctypes.byref(line), ctypes.byref(state))

    def CommGetError(self) -> tuple[int, str]:
        """The last port failure of this object: returns ``(number, line)``,
        the line reading "Error (<number>): <source> - <text>"."""
        with Bstr() as message:
            number = self._port_call(32, message.ref)
            return number, message.text()
