#include "platform/posix/device_ops.h"

#include <sched.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "platform/hot_path.h"
#include "platform/mode_string.h"
#include "platform/net/network_port.h"
#include "platform/posix/device_calls.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/line_settings.h"
#include "platform/posix/network_device.h"
#include "platform/posix/null_modem.h"
#include "platform/posix/on_device.h"
#include "platform/posix/port_names.h"
#include "platform/posix/transfer.h"
#include "platform/posix/tty_device.h"
#include "platform/posix/win32_errors.h"

namespace kavrel::platform::posix {

namespace {

constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kReadData = 0x1;
constexpr DWORD kWriteData = 0x2;
constexpr DWORD kCreateNew = 1;
constexpr DWORD kTruncateExisting = 5;

DWORD OpenDevice(const std::string& target, bool canRead, bool canWrite,
                 std::shared_ptr<Device>& device) {
  if (const auto end = ParseNullModemName(target)) {
    return OpenNullModemEnd(*end, canRead, canWrite, device);
  }
  if (net::IsNetworkPortName(target)) return OpenNetworkPort(target, canRead, canWrite, device);
  return OpenTty(target, canRead, canWrite, device);
}

}  // namespace

// Every name opens an existing device; the creation disposition is checked
// but nothing is ever created or truncated, and the share mode is ignored:
// a serial device is always exclusive. Transfers are synchronous whatever
// the flags say.
Handle32 TtyDeviceOps::CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD, void*,
                                   DWORD creationDisposition, DWORD, Handle32) {
  if (fileName == nullptr || *fileName == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return kInvalidHandle;
  }
  if (creationDisposition < kCreateNew || creationDisposition > kTruncateExisting) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kInvalidHandle;
  }
  const bool canRead = desiredAccess & (GENERIC_READ | kGenericAll | kReadData);
  const bool canWrite = desiredAccess & (GENERIC_WRITE | kGenericAll | kWriteData);
  try {
    std::shared_ptr<Device> device;
    std::string path;
    DWORD error = ResolveDeviceName(fileName, &path);
    if (error == ERROR_SUCCESS) error = OpenDevice(path, canRead, canWrite, device);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return kInvalidHandle;
    }
    const Handle32 handle = HandleTable::Process().Insert(std::move(device));
    SetLastError(ERROR_SUCCESS);
    return handle;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kInvalidHandle;
  }
}

BOOL TtyDeviceOps::SetupComm(Handle32 file, DWORD inQueue, DWORD outQueue) {
  return OnDevice(file, [&](Device& d) { return d.SetQueueSizes(inQueue, outQueue); });
}

BOOL TtyDeviceOps::PurgeComm(Handle32 file, DWORD flags) {
  return OnDevice(file, [&](Device& d) { return calls::Purge(d, flags); });
}

BOOL TtyDeviceOps::SetCommTimeouts(Handle32 file, COMMTIMEOUTS* timeouts) {
  return OnDevice(file, [&](Device& d) { return calls::SetTimeouts(d, timeouts); });
}

BOOL TtyDeviceOps::GetCommState(Handle32 file, DCB* dcb) {
  return OnDevice(file, [&](Device& d) { return calls::GetState(d, dcb); });
}

BOOL TtyDeviceOps::BuildCommDCBA(LPCSTR def, DCB* dcb) {
  if (def == nullptr || dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return ApplyModeString(def, *dcb) ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL TtyDeviceOps::SetCommState(Handle32 file, DCB* dcb) {
  return OnDevice(file, [&](Device& d) { return calls::SetState(d, dcb); });
}

// The handle is invalid from here on; a transfer another thread has running
// on it ends with ERROR_OPERATION_ABORTED, and the device closes when the
// last such transfer has returned.
BOOL TtyDeviceOps::CloseHandle(Handle32 object) {
  const std::shared_ptr<Device> device = HandleTable::Process().Remove(object);
  if (!device) return Fail(ERROR_INVALID_HANDLE);
  calls::Close(*device);
  return TRUE;
}

// ClearCommError and ReadFile are with the tty's device (tty_device.cpp).

KAVREL_WRITE_PATH BOOL TtyDeviceOps::WriteFile(Handle32 file, const void* buffer, DWORD toWrite,
                                               DWORD* written, OVERLAPPED*) {
  if (written) *written = 0;
  return OnDevice(file, [&](Device& d) { return calls::Write(d, buffer, toWrite, written); });
}

BOOL TtyDeviceOps::GetOverlappedResult(Handle32 file, OVERLAPPED* overlapped, DWORD* transferred,
                                       BOOL) {
  return OnDevice(file, [&](Device& d) { return calls::LastTransfer(d, overlapped, transferred); });
}

KAVREL_HOT_PATH DWORD TtyDeviceOps::GetLastError() { return LastError(); }

BOOL TtyDeviceOps::GetCommModemStatus(Handle32 file, DWORD* modemStat) {
  return OnDevice(file, [&](Device& d) { return calls::ModemStatus(d, modemStat); });
}

BOOL TtyDeviceOps::EscapeCommFunction(Handle32 file, DWORD func) {
  return OnDevice(file, [&](Device& d) { return calls::Escape(d, func); });
}

DWORD TtyDeviceOps::FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, LPSTR buffer,
                                   DWORD size, va_list*) {
  return FormatSystemMessage(flags, messageId, buffer, size);
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
