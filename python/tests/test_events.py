import logging
import threading
import time

import pytest

import kavrel

from conftest import MODE


def test_data_sent_to_several_callbacks(
    pair: kavrel.Comms, caplog: pytest.LogCaptureFixture
) -> None:
    c = pair
    c.PortComm = 1
    calls: list[tuple[str, str, bool]] = []

    def first(text: str) -> None:
        calls.append(("first", text, c.StatusComm))

    def broken(text: str) -> None:
        raise RuntimeError("callback fault")

    @c.on_data_sent
    def last(text: str) -> None:
        calls.append(("last", text, c.StatusComm))

    c.on_data_sent(first)
    c.on_data_sent(broken)
    c.on_data_sent(first)
    with caplog.at_level(logging.ERROR, logger="kavrel"):
        c.WriteComm("hi \u20ac\u4e00")  # no exception reaches WriteComm's caller
    # in order of registration, each with the text as sent, StatusComm true
    sent = "hi \u20ac?"
    assert calls == [("last", sent, True), ("first", sent, True), ("first", sent, True)]
    assert "callback fault" in caplog.text and "RuntimeError" in caplog.text

    calls.clear()
    c.remove_callback(first)
    c.remove_callback(broken)
    c.WriteComm("again")
    assert calls == [("last", "again", True)]
    calls.clear()
    c.PortComm = 3  # not open: the write fails, no event
    c.WriteComm("lost")
    assert calls == [] and c.StatusComm is False


def test_release_from_a_callback() -> None:
    c = kavrel.Comms()
    assert c.CommOpen(1, "NULLMODEM23A", MODE) == 0
    c.PortComm = 1
    seen: list[str] = []
    c.on_data_sent(lambda text: c.release())
    c.on_data_sent(seen.append)
    c.WriteComm("bye")  # the running member keeps the object until it returns
    assert seen == ["bye"]
    with pytest.raises(ValueError):
        c.on_data_sent(seen.append)
    with c:  # nothing left to close
        pass
    with kavrel.Comms() as d:  # released with the port open: it stays taken
        assert d.CommOpen(1, "NULLMODEM23A", MODE) == 5


def test_interrupt_in_callback_reaches_the_caller_after_the_member(pair: kavrel.Comms) -> None:
    pair.PortComm = 1
    after: list[str] = []

    def interrupt(text: str) -> None:
        raise KeyboardInterrupt

    pair.on_data_sent(interrupt)
    pair.on_data_sent(after.append)
    with pytest.raises(KeyboardInterrupt):
        pair.WriteComm("x")
    assert after == ["x"]  # the member and the other callbacks ran to the end
    assert pair.CommRead(2, 64) == (1, "x")


def test_data_arrived_from_the_polling_loop() -> None:
    # The loop polls only on a thread where no WriteComm, CloseComm or
    # OpenComm has run yet: a fresh one.
    seen: dict[str, list[str]] = {"first": [], "second": []}
    outcome: list[object] = []

    def host() -> None:
        try:
            with kavrel.Comms() as c:
                assert c.CommOpen(1, "NULLMODEM8A", MODE) == 0
                assert c.CommOpen(2, "NULLMODEM8B", MODE) == 0
                assert c.CommWrite(2, "ping") == 4
                c.PortComm = 1
                passes = []

                def first(text: str) -> None:
                    seen["first"].append(text)

                def second(text: str) -> None:
                    seen["second"].append(text)
                    if len(seen["second"]) == 1:
                        raise ValueError("reported, and the loop goes on")
                    if len(seen["second"]) == 3:
                        c.CloseComm()  # stops the loop after this pass

                c.on_data_arrived(first)
                c.on_data_arrived(second)
                deadline = time.monotonic() + 10

                def pump() -> None:  # a watchdog in case no event ever comes
                    passes.append(1)
                    if time.monotonic() > deadline:
                        c.CloseComm()

                kavrel.set_message_pump(pump)
                try:
                    c.looprocess()
                finally:
                    kavrel.set_message_pump(None)
                outcome.append(len(passes))
        except BaseException as e:
            outcome.append(e)

    t = threading.Thread(target=host)
    t.start()
    t.join(30)
    assert not t.is_alive()
    assert outcome and isinstance(outcome[0], int), outcome
    # the first pass read "ping"; later passes repeat the same ReadBuffer
    assert seen["first"] == ["ping"] * 3
    assert seen["second"] == ["ping"] * 3
