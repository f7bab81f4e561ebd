import gc
import logging
import os
import subprocess
import sys
import textwrap
import threading
import time
import weakref

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

    _on_another_thread(host)
    assert outcome and isinstance(outcome[0], int), outcome
    # the first pass read "ping"; later passes repeat the same ReadBuffer
    assert seen["first"] == ["ping"] * 3
    assert seen["second"] == ["ping"] * 3


def _loop_on_fresh_thread(cable: int, stop_with: str) -> list[object]:
    outcome: list[object] = []

    def host() -> None:
        with kavrel.Comms() as c:
            assert c.CommOpen(1, f"NULLMODEM{cable}A", MODE) == 0
            assert c.CommOpen(2, f"NULLMODEM{cable}B", MODE) == 0
            assert c.CommWrite(2, "ping") == 4
            c.PortComm = 1
            passes: list[str] = []

            def arrived(text: str) -> None:
                passes.append(text)
                if stop_with == "callback":
                    raise SystemExit("from the callback")

            def pump() -> None:
                if len(passes) >= 50:
                    c.CloseComm()  # watchdog
                if stop_with == "pump" and passes:
                    raise KeyboardInterrupt

            c.on_data_arrived(arrived)
            kavrel.set_message_pump(pump)
            try:
                c.looprocess()
                outcome.append("returned")
            except (SystemExit, KeyboardInterrupt) as e:
                outcome.append(type(e))
            finally:
                kavrel.set_message_pump(None)
            outcome.append(len(passes))
            outcome.append(c.CommRead(2, 64))  # the loop closed no port

    t = threading.Thread(target=host)
    t.start()
    t.join(30)
    assert not t.is_alive()
    return outcome


def test_interrupt_in_a_callback_or_the_pump_ends_the_polling_loop() -> None:
    # Raised again only when the member returns, which the loop otherwise
    # never does: the loop ends after the pass that raised it.
    assert _loop_on_fresh_thread(10, "callback") == [SystemExit, 1, (0, "")]
    assert _loop_on_fresh_thread(11, "pump") == [KeyboardInterrupt, 2, (0, "")]


def test_ctrl_c_ends_the_polling_loop() -> None:
    script = textwrap.dedent(
        """
        import os, signal, threading, time, kavrel
        c = kavrel.Comms()
        assert c.CommOpen(1, "NULLMODEM0A", "baud=9600 parity=N data=8 stop=1") == 0
        c.PortComm = 1

        def interrupt():  # once the loop has taken Ctrl-C over
            while signal.getsignal(signal.SIGINT) is signal.default_int_handler:
                time.sleep(0.01)
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=interrupt, daemon=True).start()
        try:
            c.looprocess()
        except KeyboardInterrupt:
            print("interrupted", signal.getsignal(signal.SIGINT) is signal.default_int_handler)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=20
    )
    assert run.stdout == "interrupted True\n", run.stderr


def test_exit_with_a_daemon_thread_inside_a_callback() -> None:
    # At exit Python ends its daemon threads as they next come back into
    # Python, here inside a callback: the thread unwinds through
    # the component's member frames, which must let it pass.
    script = textwrap.dedent(
        """
        import threading, time, kavrel
        MODE = "baud=9600 parity=N data=8 stop=1"

        def loop():
            c = kavrel.Comms()
            c.CommOpen(1, "NULLMODEM0A", MODE)
            c.CommOpen(2, "NULLMODEM0B", MODE)
            c.CommWrite(2, "x")
            c.PortComm = 1
            c.on_data_arrived(lambda text: None)
            c.looprocess()

        threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.2)
        print("exit")
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for _ in range(3):
        run = subprocess.run(
            [sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=20
        )
        assert (run.returncode, run.stdout) == (0, "exit\n"), run.stderr


def _on_another_thread(*calls: object) -> list[object]:
    """Run each call on a new thread: what it returned, or the exception."""
    out: list[object] = []

    def run() -> None:
        for call in calls:
            try:
                out.append(call())  # type: ignore[operator]
            except BaseException as e:
                out.append(e)

    t = threading.Thread(target=run)
    t.start()
    t.join(30)
    assert not t.is_alive()
    return out


def _refused(e: object) -> bool:
    return isinstance(e, kavrel.ComError) and e.hresult == -0x7FFEFEF2


def test_callbacks_belong_to_the_objects_thread(pair: kavrel.Comms) -> None:
    c = pair
    c.PortComm = 1
    seen: list[str] = []
    c.on_data_sent(seen.append)  # the sink exists from here on
    results = _on_another_thread(
        lambda: c.on_data_sent(print),
        lambda: c.on_data_arrived(print),
        lambda: c.remove_callback(seen.append),
    )
    assert len(results) == 3 and all(_refused(e) for e in results), results
    c.WriteComm("x")
    assert seen == ["x"]  # still registered, nothing added


def test_release_refused_on_another_thread_changes_nothing(pair: kavrel.Comms) -> None:
    c = pair
    c.PortComm = 1
    seen: list[str] = []
    c.on_data_sent(seen.append)
    results = _on_another_thread(c.release)
    assert len(results) == 1 and _refused(results[0]), results
    c.WriteComm("still")  # connected and usable; close() of the fixture works too
    assert seen == ["still"] and c.Version == "1.1"


def test_a_thread_that_ends_takes_its_pump_with_it() -> None:
    class Pump:
        def __call__(self) -> None:
            pass

    pump = Pump()
    gone = weakref.ref(pump)
    _on_another_thread(lambda: kavrel.set_message_pump(pump))  # never removed
    del pump
    for _ in range(100):
        gc.collect()
        if gone() is None:
            break
        time.sleep(0.05)
    assert gone() is None
