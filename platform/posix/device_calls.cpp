#include "platform/posix/device_calls.h"

#include "platform/posix/line_settings.h"
#include "platform/posix/transfer.h"

namespace kavrel::platform::posix::calls {

namespace {
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
}  // namespace

DWORD ClearErrorsOfAny(Device& d, DWORD* errors, COMSTAT* stat) {
  return ClearErrors(d, errors, stat);
}

DWORD ReadOfAny(Device& d, void* buffer, DWORD toRead, DWORD* moved) {
  return Read(d, buffer, toRead, moved);
}

DWORD Purge(Device& d, DWORD flags) {
  if (flags & ~kPurgeAll) return ERROR_INVALID_PARAMETER;
  if (flags & (PURGE_TXABORT | PURGE_RXABORT)) {
    d.AbortTransfers(flags & PURGE_RXABORT, flags & PURGE_TXABORT);
  }
  return d.PurgeQueues(flags & PURGE_RXCLEAR, flags & PURGE_TXCLEAR);
}

DWORD SetTimeouts(Device& d, const COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return ERROR_INVALID_PARAMETER;
  if (timeouts->ReadIntervalTimeout == MAXDWORD &&
      timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts->ReadTotalTimeoutConstant == MAXDWORD) {
    return ERROR_INVALID_PARAMETER;
  }
  d.SetTimeouts(*timeouts);
  return ERROR_SUCCESS;
}

DWORD GetState(Device& d, DCB* dcb) {
  return dcb == nullptr ? ERROR_INVALID_PARAMETER : d.GetState(*dcb);
}

DWORD SetState(Device& d, const DCB* dcb) {
  if (dcb == nullptr) return ERROR_INVALID_PARAMETER;
  if (const DWORD error = CheckDcb(*dcb); error != ERROR_SUCCESS) return error;
  return d.SetState(*dcb);
}

void Close(Device& d) { d.AbortTransfers(true, true); }

DWORD LastTransfer(Device& d, OVERLAPPED* overlapped, DWORD* transferred) {
  if (overlapped == nullptr || transferred == nullptr) return ERROR_INVALID_PARAMETER;
  const Transfer last = d.LastTransfer();
  *transferred = last.count;
  return last.error;
}

DWORD ModemStatus(Device& d, DWORD* status) {
  return status == nullptr ? ERROR_INVALID_PARAMETER : d.ModemStatus(*status);
}

DWORD Escape(Device& d, DWORD function) {
  if (function < SETXOFF || function > CLRBREAK) return ERROR_INVALID_PARAMETER;
  return d.Escape(function);
}

}  // namespace kavrel::platform::posix::calls
