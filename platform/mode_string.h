// Mode strings in the BuildCommDCB syntax: pure text to DCB editing, shared
// by every platform that has to provide BuildCommDCBA itself.
//
//   new form: [COMn [:]] [baud=b] [parity=p] [data=d] [stop=s] [to=on|off] [xon=on|off]
//             [odsr=on|off] [octs=on|off] [dtr=on|off|hs] [rts=on|off|hs|tg] [idsr=on|off]
//   old form: [COMn [:]] b[,p[,d[,s[,x|p]]]]
//
// The text may not start with a blank. Keywords and letters in any case.
// Parity is one of n e o m s, data 5 to 8, stop 1, 1.5 or 2; a baud rate may
// be written in full or as one of the two-digit abbreviations 11 15 30 60 12
// 24 48 96 19 (110 ... 19200).
#pragma once

#include <string_view>

#include "platform/win32_records.h"

namespace kavrel::platform {

// Edits dcb from text. Only the members the text names change, except that
// a baud rate of 110 without a stop-bit setting sets two stop bits, the new
// form switches XON/XOFF and CTS/DSR output flow control off unless it names
// them, and the old form always sets the flow-control members (none, x or
// p). A baud rate of 0 is taken here: applying it to a device is what fails.
// Returns false and leaves dcb untouched when the text is malformed,
// including text that names nothing.
bool ApplyModeString(std::string_view text, DCB& dcb);

}  // namespace kavrel::platform
