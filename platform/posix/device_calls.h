// The device operations' work on an opened device, once for every realm
// that serves devices of this model: the Linux device layer and, for its
// network ports, Kavrel.dll. Each checks its arguments as Win32 does and
// returns ERROR_SUCCESS or the Win32 error; finding the handle and setting
// the thread's last error are the caller's.
#pragma once

#include "platform/posix/device.h"

namespace kavrel::platform::posix::calls {

DWORD Purge(Device& d, DWORD flags);
DWORD SetTimeouts(Device& d, const COMMTIMEOUTS* timeouts);
DWORD GetState(Device& d, DCB* dcb);
DWORD SetState(Device& d, const DCB* dcb);
// A closed handle: transfers other threads have running on it end with
// ERROR_OPERATION_ABORTED.
void Close(Device& d);
DWORD ClearErrors(Device& d, DWORD* errors, COMSTAT* stat);
// Synchronous, by the Windows time-out rules; `moved` (when given) holds
// the bytes transferred either way.
DWORD Read(Device& d, void* buffer, DWORD toRead, DWORD* moved);
DWORD Write(Device& d, const void* buffer, DWORD toWrite, DWORD* moved);
DWORD LastTransfer(Device& d, OVERLAPPED* overlapped, DWORD* transferred);
DWORD ModemStatus(Device& d, DWORD* status);
DWORD Escape(Device& d, DWORD function);

}  // namespace kavrel::platform::posix::calls
