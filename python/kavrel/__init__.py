"""Kavrel for Python: the ``comms`` serial-port object over libkavrel.

    import kavrel

    with kavrel.Comms() as c:
        c.CommOpen(1, "/dev/ttyUSB0", "baud=9600 parity=N data=8 stop=1")
        c.CommWrite(1, "*IDN?\\r\\n")
        count, text = c.CommRead(1, 64)

Pure Python over ctypes.  The library is found through ``KAVREL_LIBRARY``,
else the installed ``libkavrel.so.1``, else the build directory of the
repository this package sits in.
"""

from ._codepage import bytes_from_text, text_from_bytes
from ._com import ComError
from ._comms import Comms
from ._events import set_message_pump
from ._library import LibraryNotFoundError, library_path

__all__ = [
    "ComError",
    "Comms",
    "LibraryNotFoundError",
    "bytes_from_text",
    "library_path",
    "set_message_pump",
    "text_from_bytes",
]
__version__ = "1.1.0"
