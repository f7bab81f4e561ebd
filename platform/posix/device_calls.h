// The device operations' work on an opened device, once for every realm
// that serves devices of this model: the Linux device layer and, for its
// network ports, Kavrel.dll. Each checks its arguments as Win32 does and
// returns ERROR_SUCCESS or the Win32 error; finding the handle and setting
// the thread's last error are the caller's.
#pragma once

#include "platform/posix/device.h"
#include "platform/posix/transfer.h"

namespace kavrel::platform::posix::calls {

DWORD Purge(Device& d, DWORD flags);
DWORD SetTimeouts(Device& d, const COMMTIMEOUTS* timeouts);
DWORD GetState(Device& d, DCB* dcb);
DWORD SetState(Device& d, const DCB* dcb);
// A closed handle: transfers other threads have running on it end with
// ERROR_OPERATION_ABORTED.
void Close(Device& d);
// The transfer steps are inline, one frame fewer between a member and its
// system call (see Platform). Given a device's own final class, the count
// is made in the caller's frame too.
template <class AnyDevice>
inline DWORD ClearErrors(AnyDevice& d, DWORD* errors, COMSTAT* stat) {
  DWORD flags = 0;
  COMSTAT status{};
  if (const DWORD error = d.ClearErrors(flags, status); error != ERROR_SUCCESS) return error;
  if (errors) *errors = flags;
  if (stat) *stat = status;
  return ERROR_SUCCESS;
}
// Synchronous, by the Windows time-out rules; `moved` (when given) holds
// the bytes transferred either way.
template <class AnyDevice>
inline DWORD Read(AnyDevice& d, void* buffer, DWORD toRead, DWORD* moved) {
  if (buffer == nullptr && toRead > 0) return ERROR_INVALID_PARAMETER;
  if (!d.canRead()) return ERROR_ACCESS_DENIED;
  DWORD count = 0;
  const DWORD error = ReadWithTimeouts(d, static_cast<uint8_t*>(buffer), toRead, count);
  d.SetLastTransfer({count, error});
  if (moved) *moved = count;
  return error;
}
inline DWORD Write(Device& d, const void* buffer, DWORD toWrite, DWORD* moved) {
  if (buffer == nullptr && toWrite > 0) return ERROR_INVALID_PARAMETER;
  if (!d.canWrite()) return ERROR_ACCESS_DENIED;
  DWORD count = 0;
  const DWORD error = WriteWithTimeouts(d, static_cast<const uint8_t*>(buffer), toWrite, count);
  d.SetLastTransfer({count, error});
  if (moved) *moved = count;
  return error;
}
// ClearErrors and Read out of line, for a device of any class: a caller that
// tells a class of its own apart calls these for the rest, and inlines no
// guess at their class.
DWORD ClearErrorsOfAny(Device& d, DWORD* errors, COMSTAT* stat);
DWORD ReadOfAny(Device& d, void* buffer, DWORD toRead, DWORD* moved);
DWORD LastTransfer(Device& d, OVERLAPPED* overlapped, DWORD* transferred);
DWORD ModemStatus(Device& d, DWORD* status);
DWORD Escape(Device& d, DWORD function);

}  // namespace kavrel::platform::posix::calls
