// The DCB's line settings in the kernel's termios2 form and back: speed,
// framing and flow control. Pure functions, no device.
//
// termios2 carries any baud rate, but cannot share a translation unit with
// the C library's <termios.h>: include this header only where the tty is
// talked to with ioctls alone.
#pragma once

#include <asm/termbits.h>

#include "platform/win32_records.h"

namespace kavrel::platform::posix {

using Termios2 = struct termios2;

// The Bnnn constant of a standard rate, or BOTHER for any other.
tcflag_t SpeedFlag(DWORD baud);

// The output rate termios holds, in either form: a Bnnn constant, or
// BOTHER with the exact rate in c_ospeed.
DWORD OutputBaud(const Termios2& t);

// The DCB members termios describes, read into dcb; the others stay.
// RTS/CTS is one switch on Linux: it reads as CTS flow control with RTS
// handshake, and its absence clears both.
void ReadTermios(const Termios2& t, DCB& dcb);

// dcb's speed, framing and flow control written into t; the rest of t stays.
// A standard rate is set as its Bnnn constant, for input and output alike, so
// that every other program reads it back; only other rates use BOTHER.
void WriteTermios(const DCB& dcb, Termios2& t);

}  // namespace kavrel::platform::posix
