import copy
import gc
import pickle
import threading
import weakref

import pytest

import kavrel
from kavrel import _events

from conftest import MODE, read_all


def test_properties_and_helpers() -> None:
    c = kavrel.Comms()
    assert (c.PortComm, c.BaudComm, c.StatusComm, c.ReadBuffer) == (0, 0, False, "")
    assert c.Version == "1.1"
    assert c.Company == "Wendaskorve for Tivorand"
    for port in (0, 5, -3, 32767):
        c.PortComm = port
        assert c.PortComm == port
    c.BaudComm = -(2**31)
    assert c.BaudComm == -(2**31)
    assert c.settingeval(115200) == "baud=115200 parity=N data=8 stop=1"
    assert c.settingeval(-1) == "baud=-1 parity=N data=8 stop=1"
    assert c.waitnow(-1) is None and c.waitnow(0) is None
    assert c.GetSystemMessage(5) == "Access is denied.\r\n"
    assert c.GetSystemMessage(0x7FFFFFFF) == ""
    # A value that does not fit is refused, not wrapped onto another slot.
    with pytest.raises(OverflowError):
        c.PortComm = 32768
    with pytest.raises(OverflowError):
        c.CommClose(65537)
    with pytest.raises(OverflowError):
        c.BaudComm = 2**31
    with pytest.raises(TypeError):
        c.CommWrite(1, b"bytes")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        c.CommOpen("1", "NULLMODEM0A", MODE)  # type: ignore[arg-type]
    assert c.PortComm == 32767


def test_port_members(pair: kavrel.Comms) -> None:
    c = pair
    # a slot in use, and the error line that tells it
    assert c.CommOpen(1, "NULLMODEM0A", MODE) == -1
    assert c.CommGetError() == (-1, "Error (-1): CommOpen - Port in use.")
    assert c.CommGetError() == (-1, "Error (-1): CommOpen - Port in use.")
    assert c.CommOpen(3, "NULLMODEM0B", MODE) == 5  # the end is taken
    assert c.CommGetError()[1] == "Error (5): CommOpen (CreateFile) - Access is denied.\r\n"
    assert c.CommSet(1, "baud=19200 parity=N data=8 stop=1") == 0
    status = c.CommSet(1, "baud=fast")
    assert status != 0
    assert c.CommGetError()[1].startswith(f"Error ({status}): CommSet (BuildCommDCB) - ")

    assert c.CommWrite(1, "hello") == 5
    assert read_all(c, 2, 5) == "hello"
    assert c.CommRead(2, 64) == (0, "")
    assert c.CommWrite(1, "") == 0
    assert c.CommWrite(1, "dropped") == 7
    assert c.CommFlush(2) == 0
    assert c.CommRead(2, 64) == (0, "")

    # DTR drives the peer's DSR and carrier detect, RTS its CTS
    assert c.CommSetLine(1, 2, False) == 0
    assert c.CommGetLine(2, 0x20) == (0, False)
    assert c.CommGetLine(2, 0xA0) == (0, False)
    assert c.CommGetLine(2, 0x10) == (0, True)
    assert c.CommSetLine(1, 3, 0) == 0
    assert c.CommGetLine(2, 0x10) == (0, False)
    assert c.CommSetLine(1, 2, 1) == 0  # any nonzero value sets
    assert c.CommGetLine(2, 0x80) == (0, True)
    assert c.CommGetLine(2, 0) == (0, False)
    assert c.CommSetLine(1, 4, True) != 0
    assert "CommSetLine (EscapeCommFunction)" in c.CommGetError()[1]

    # a slot outside 1 to 4
    assert c.CommRead(5, 64) == (-1, "")
    assert c.CommGetError() == (9, "Error (9): CommRead - Subscript out of range")
    assert c.CommWrite(0, "x") == -1
    assert c.CommGetLine(-1, 0x10) == (9, False)
    assert c.CommGetError()[1] == "Error (9): CommReadCD - Subscript out of range"
    for member in (c.CommClose, c.CommFlush):
        assert member(5) == 9
    assert c.CommSetLine(5, 2, True) == 9
    assert c.CommSet(0, MODE) == 9

    assert c.CommClose(1) == 0
    assert c.CommClose(1) == 0
    # the peer has gone: the line is lost
    assert c.CommRead(2, 64) == (-1, "")
    assert c.CommGetError() == (
        1167,
        "Error (1167): CommRead (ClearCommError) - The device is not connected.\r\n",
    )
    assert c.CommWrite(2, "x") == -1


def test_connection_members(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("KAVREL_COM3", "NULLMODEM1A")
    with kavrel.Comms() as c:
        assert c.CommOpen(4, "NULLMODEM1B", MODE) == 0
        c.PortComm, c.BaudComm = 3, 9600
        c.OpenComm()
        assert c.StatusComm is True
        assert c.CommGetLine(4, 0x30) == (0, True)  # ControlOn raised RTS and DTR
        c.ControlOff()
        assert c.CommGetLine(4, 0x30) == (0, False)
        c.ControlOn()
        assert c.CommGetLine(4, 0x30) == (0, True)

        c.WriteComm("abc")
        assert c.StatusComm is True
        assert read_all(c, 4, 3) == "abc"
        assert c.CommWrite(4, "xyz") == 3
        c.ReadComm()
        assert (c.ReadBuffer, c.StatusComm) == ("xyz", True)
        assert c.CommWrite(4, "gone") == 4
        c.ClearComm()
        c.ReadComm()
        assert c.ReadBuffer == "xyz"  # nothing read: unchanged
        c.looprocess()  # the loop was stopped on this thread: returns at once

        c.CloseComm()
        assert c.CommOpen(3, "NULLMODEM1A", MODE) == 0  # closed: opens again
        c.BaudComm = -5
        c.OpenComm()  # "baud=-5": the open fails, the status says so
        assert c.StatusComm is False
        assert "CommOpen (BuildCommDCB)" in c.CommGetError()[1]
        c.PortComm = 9
        c.WriteComm("x")
        assert c.StatusComm is False


def test_arguments_are_left_as_they_were(pair: kavrel.Comms) -> None:
    port, size, line, text = 1, 64, 0x10, "caf\u00e9 \u20ac \u4e00"
    assert pair.CommWrite(port, text) == len(text)
    assert text == "caf\u00e9 \u20ac \u4e00" and port == 1
    # the character the code page lacks went out as "?"
    assert read_all(pair, 2, len(text)) == "caf\u00e9 \u20ac ?"
    baud, code = 4800, 5
    assert pair.settingeval(baud) == "baud=4800 parity=N data=8 stop=1" and baud == 4800
    assert pair.GetSystemMessage(code) and code == 5
    assert pair.CommRead(port, size) == (0, "") and size == 64
    assert pair.CommGetLine(2, line) == (0, True) and line == 0x10
    state = True
    assert pair.CommSetLine(port, 2, state) == 0 and state is True


def test_wrong_thread_and_release() -> None:
    c = kavrel.Comms()
    caught: list[BaseException] = []

    def other() -> None:
        for call in (lambda: c.Version, lambda: c.CommOpen(1, "NULLMODEM21A", MODE), c.looprocess):
            try:
                call()
            except BaseException as e:
                caught.append(e)

    t = threading.Thread(target=other)
    t.start()
    t.join(10)
    assert len(caught) == 3
    for e in caught:
        assert isinstance(e, kavrel.ComError)
        assert e.hresult == -0x7FFEFEF2 and e.number == -2147417842
        assert "different thread" in e.description
    assert c.CommOpen(1, "NULLMODEM21A", MODE) == 0  # nothing was opened over there
    c.release()
    with pytest.raises(ValueError):
        c.Version
    c.release()  # twice is harmless
    # Released with the port open: the component closes nothing, the device
    # stays taken (a host may rely on DTR staying up).
    with kavrel.Comms() as d:
        assert d.CommOpen(1, "NULLMODEM21A", MODE) == 5


def test_not_copied() -> None:
    # A copy would share the component's object and release it twice.
    c = kavrel.Comms()
    for copy_of in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError, match="cannot be copied"):
            copy_of(c)
    assert c.Version == "1.1"


def test_released_when_collected() -> None:
    c = kavrel.Comms()
    assert c.CommOpen(1, "NULLMODEM22B", MODE) == 0
    c.on_data_sent(lambda text, c=c: c.PortComm)  # a cycle through the callback
    sink, core = weakref.ref(c._sink), weakref.ref(c._sink.core)
    gone = weakref.ref(c)
    del c
    gc.collect()
    assert gone() is None
    assert sink() is None
    assert core() not in _events._held  # the component let go of the sink
    with kavrel.Comms() as d:  # released, not closed: the device stays taken
        assert d.CommOpen(1, "NULLMODEM22B", MODE) == 5


def test_context_manager_closes_all_four_slots() -> None:
    names = ["NULLMODEM5A", "NULLMODEM5B", "NULLMODEM6A", "NULLMODEM6B"]
    c = kavrel.Comms()
    with pytest.raises(RuntimeError), c:
        for slot, name in enumerate(names, 1):
            assert c.CommOpen(slot, name, MODE) == 0
        raise RuntimeError("the body's own error passes through")
    # c is alive still, yet its devices are free again
    with kavrel.Comms() as d:
        for slot, name in enumerate(names, 1):
            assert d.CommOpen(slot, name, MODE) == 0
        assert c.CommOpen(1, names[0], MODE) == 5
    assert c.CommOpen(1, names[0], MODE) == 0
    c.close()


def test_library_not_found(monkeypatch: pytest.MonkeyPatch) -> None:
    from kavrel import _library

    monkeypatch.setattr(_library, "_lib", None)
    monkeypatch.setenv("KAVREL_LIBRARY", "/nonexistent/libkavrel.so.1")
    with pytest.raises(kavrel.LibraryNotFoundError) as info:
        kavrel.Comms()
    assert info.value.tried[0][0] == "/nonexistent/libkavrel.so.1"
    assert len(info.value.tried) == 1  # named on purpose: no fall back
    assert "/nonexistent/libkavrel.so.1" in str(info.value)
