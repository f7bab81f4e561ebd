// DCB rules every device kind shares.
#pragma once

#include <chrono>

#include "platform/win32_records.h"

namespace kavrel::platform::posix {

// ERROR_SUCCESS, or ERROR_INVALID_PARAMETER for a DCB no line can carry:
// baud 0, data bits outside 5..8, an unknown parity or stop-bit value, 1.5
// stop bits without 5 data bits, 2 stop bits with 5, or XON/XOFF flow
// control with the same XON and XOFF character.
DWORD CheckDcb(const DCB& dcb);

// The settings of a line nobody has configured: 9600 baud, 8 data bits, no
// parity, one stop bit, no flow control, DTR and RTS on.
DCB DefaultDcb();

// How long one character takes on the line: start bit, data bits, parity
// bit and stop bits at the DCB's baud rate.
std::chrono::nanoseconds CharacterTime(const DCB& dcb);

}  // namespace kavrel::platform::posix
