// When SetCommState touches DTR and RTS. As a Windows serial driver does, a
// line changes only with its control mode: one the caller has set or cleared
// (EscapeCommFunction) stays so through a new speed. Shared by every device
// kind.
#pragma once

#include "platform/win32_records.h"

namespace kavrel::platform {

inline bool DtrModeChanged(const DCB& before, const DCB& after) {
  return after.fDtrControl != before.fDtrControl;
}

// RTS handshake hands the line to the driver only together with CTS flow
// control, so under handshake that flag counts as part of the mode.
inline bool RtsModeChanged(const DCB& before, const DCB& after) {
  return after.fRtsControl != before.fRtsControl ||
         (after.fRtsControl == RTS_CONTROL_HANDSHAKE && after.fOutxCtsFlow != before.fOutxCtsFlow);
}

}  // namespace kavrel::platform
