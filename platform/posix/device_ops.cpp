#include "platform/posix/device_ops.h"

#include <sched.h>

#include <cerrno>
#include <ctime>

namespace kavrel::platform::posix {

namespace {
thread_local DWORD tLastError = 0;

BOOL Unsupported() {
  tLastError = ERROR_NOT_SUPPORTED;
  return FALSE;
}
}  // namespace

Handle32 TtyDeviceOps::CreateFileA(LPCSTR, DWORD, DWORD, void*, DWORD, DWORD, Handle32) {
  tLastError = ERROR_NOT_SUPPORTED;
  return kInvalidHandle;
}
BOOL TtyDeviceOps::SetupComm(Handle32, DWORD, DWORD) { return Unsupported(); }
BOOL TtyDeviceOps::PurgeComm(Handle32, DWORD) { return Unsupported(); }
BOOL TtyDeviceOps::SetCommTimeouts(Handle32, COMMTIMEOUTS*) { return Unsupported(); }
BOOL TtyDeviceOps::GetCommState(Handle32, DCB*) { return Unsupported(); }
BOOL TtyDeviceOps::BuildCommDCBA(LPCSTR, DCB*) { return Unsupported(); }
BOOL TtyDeviceOps::SetCommState(Handle32, DCB*) { return Unsupported(); }
BOOL TtyDeviceOps::CloseHandle(Handle32) { return Unsupported(); }
BOOL TtyDeviceOps::ClearCommError(Handle32, DWORD*, COMSTAT*) { return Unsupported(); }
BOOL TtyDeviceOps::ReadFile(Handle32, void*, DWORD, DWORD*, OVERLAPPED*) { return Unsupported(); }
BOOL TtyDeviceOps::WriteFile(Handle32, const void*, DWORD, DWORD*, OVERLAPPED*) {
  return Unsupported();
}
BOOL TtyDeviceOps::GetOverlappedResult(Handle32, OVERLAPPED*, DWORD*, BOOL) {
  return Unsupported();
}
DWORD TtyDeviceOps::GetLastError() { return tLastError; }
BOOL TtyDeviceOps::GetCommModemStatus(Handle32, DWORD*) { return Unsupported(); }
BOOL TtyDeviceOps::EscapeCommFunction(Handle32, DWORD) { return Unsupported(); }
DWORD TtyDeviceOps::FormatMessageA(DWORD, const void*, DWORD, DWORD, LPSTR, DWORD, va_list*) {
  tLastError = 317;  // ERROR_MR_MID_NOT_FOUND
  return 0;
}

// Sleeps for the whole time, resuming after signals; 0 gives up the rest of
// the time slice.
DWORD TtyDeviceOps::SleepEx(DWORD milliseconds, BOOL) {
  if (milliseconds == 0) {
    sched_yield();
    return 0;
  }
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
  return 0;
}

}  // namespace kavrel::platform::posix
