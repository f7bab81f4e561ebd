import re
from pathlib import Path

import pytest

import kavrel
from kavrel import _codepage

from conftest import read_all

CODEC = Path(__file__).resolve().parents[2] / "platform" / "posix" / "text_codec.cpp"


def test_table_is_the_components_own() -> None:
    if not CODEC.is_file():
        pytest.skip("not in the source tree")
    body = re.search(r"kHigh = \{(.*?)\};", CODEC.read_text(), re.S)
    assert body, "code page table not found"
    table = tuple(int(x, 16) for x in re.findall(r"0x[0-9A-Fa-f]+", body.group(1)))
    assert table == _codepage._HIGH


def test_conversions() -> None:
    every = bytes(range(256))
    text = kavrel.text_from_bytes(every)
    assert len(text) == 256
    assert kavrel.bytes_from_text(text) == every
    # 1252's letters where it has them, the holes straight through.
    some = b"\x80\x81\x8d\x8f\x90\x9d\x9f\xe9"
    assert kavrel.text_from_bytes(some) == "€\x81\x8d\x8f\x90\x9dŸé"
    assert kavrel.text_from_bytes(bytearray(b"ok")) == "ok"
    with pytest.raises(ValueError, match=r"U\+4E00.* position 2"):
        kavrel.bytes_from_text("ab\u4e00")
    with pytest.raises(ValueError, match=r"U\+0080"):
        kavrel.bytes_from_text("\x80")  # Latin-1 C1 control that 1252 replaced with €
    with pytest.raises(TypeError):
        kavrel.bytes_from_text(b"abc")  # type: ignore[arg-type]


def test_every_byte_crosses_the_cable(pair: kavrel.Comms) -> None:
    every = bytes(range(256))
    assert pair.CommWrite(1, kavrel.text_from_bytes(every)) == 256
    text = read_all(pair, 2, 256, size=256)
    assert kavrel.bytes_from_text(text) == every
    # and back the other way, through the connection layer's ReadComm
    assert pair.CommWrite(2, kavrel.text_from_bytes(every[::-1])) == 256
    pair.PortComm = 1
    got = ""
    for _ in range(50):
        pair.ReadComm()
        if pair.ReadBuffer != got:
            got = pair.ReadBuffer
            break
    # ReadComm reads 64 bytes or all that waits: here all 256 at once
    assert kavrel.bytes_from_text(got) == every[::-1]
