"""The package against the built library, over the built-in null-modem.

The library comes from KAVREL_LIBRARY or the repository's build directory.
Each cable end is exclusive within the process, so every test closes what
it opened, and tests that need a cable of their own take another number.
"""

from __future__ import annotations

from typing import Iterator

import pytest

import kavrel

MODE = "baud=9600 parity=N data=8 stop=1"


@pytest.fixture
def pair() -> Iterator[kavrel.Comms]:
    """Slot 1 on end A and slot 2 on end B of cable 0."""
    with kavrel.Comms() as c:
        assert c.CommOpen(1, "NULLMODEM0A", MODE) == 0, c.CommGetError()
        assert c.CommOpen(2, "NULLMODEM0B", MODE) == 0, c.CommGetError()
        yield c


def read_all(c: kavrel.Comms, slot: int, want: int, size: int = 64) -> str:
    """What arrives on ``slot``, until ``want`` characters (a bounded wait)."""
    text = ""
    for _ in range(100):
        count, part = c.CommRead(slot, size)
        assert count >= 0, c.CommGetError()
        text += part
        if len(text) >= want:
            break
    return text
