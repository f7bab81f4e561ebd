"""The component's ANSI code page on Linux: 1252, with its five holes.

Every byte sent or received crosses the device boundary as one character of
this code page.  Windows-1252 leaves 0x81, 0x8D, 0x8F, 0x90 and 0x9D
unassigned; the component maps them to the control characters of the same
number, so all 256 byte values survive bytes -> text -> bytes.  Python's own
``cp1252`` codec refuses those five bytes, which is why this module carries
the component's table instead.
"""

from __future__ import annotations

import codecs

# 0x80-0x9F; every other byte is the Latin-1 character of the same number.
_HIGH: tuple[int, ...] = (
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
)

_DECODE: str = "".join(
    chr(_HIGH[b - 0x80]) if 0x80 <= b <= 0x9F else chr(b) for b in range(256)
)
_ENCODE = codecs.charmap_build(_DECODE)


def text_from_bytes(data: bytes | bytearray | memoryview) -> str:
    """Return the text the component makes of these bytes, one character each.

    Use it to build text for ``CommWrite``/``WriteComm`` from raw bytes:
    every one of the 256 byte values has its own character.
    """
    return codecs.charmap_decode(data, "strict", _DECODE)[0]


def bytes_from_text(text: str) -> bytes:
    """Return the bytes the component sends for this text, one byte each.

    Use it on text from ``CommRead``, ``ReadBuffer`` or an event to get the
    bytes that arrived.  Raises ``ValueError`` for a character the code page
    has no byte for (the component itself would send ``?`` in its place).
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    try:
        return codecs.charmap_encode(text, "strict", _ENCODE)[0]
    except UnicodeEncodeError as e:
        bad = text[e.start]
        raise ValueError(
            f"character {bad!r} (U+{ord(bad):04X}) at position {e.start} "
            "has no byte in the component's code page"
        ) from None
