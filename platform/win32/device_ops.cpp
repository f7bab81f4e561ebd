// Every operation is the kernel32 function of the same name, called
// directly; the Platform wrapper reads GetLastError right after it returns.
// Network ports (platform/win32/network_ops.h) are the exception: their
// names and handles are served by the component itself.
#include "platform/win32/device_ops.h"

#include <string>

#include "platform/win32/network_ops.h"

namespace kavrel::platform::win32 {

Handle32 Kernel32DeviceOps::CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                        void* securityAttributes, DWORD creationDisposition,
                                        DWORD flagsAndAttributes, Handle32 templateFile) {
  std::string mapped;
  if (fileName != nullptr) {
    if (const DWORD error = network::MappedName(fileName, &mapped); error != ERROR_SUCCESS) {
      ::SetLastError(error);
      return kInvalidHandle;
    }
    if (network::IsNetworkName(mapped)) return network::Open(mapped, desiredAccess);
    fileName = mapped.c_str();
  }
  return FromHandle(::CreateFileA(
      fileName, desiredAccess, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
      creationDisposition, flagsAndAttributes, templateFile ? ToHandle(templateFile) : nullptr));
}

BOOL Kernel32DeviceOps::SetupComm(Handle32 file, DWORD inQueue, DWORD outQueue) {
  if (network::IsNetworkHandle(file)) return network::SetupComm(file, inQueue, outQueue);
  return ::SetupComm(ToHandle(file), inQueue, outQueue);
}

BOOL Kernel32DeviceOps::PurgeComm(Handle32 file, DWORD flags) {
  if (network::IsNetworkHandle(file)) return network::PurgeComm(file, flags);
  return ::PurgeComm(ToHandle(file), flags);
}

BOOL Kernel32DeviceOps::SetCommTimeouts(Handle32 file, COMMTIMEOUTS* timeouts) {
  if (network::IsNetworkHandle(file)) return network::SetCommTimeouts(file, timeouts);
  return ::SetCommTimeouts(ToHandle(file), timeouts);
}

BOOL Kernel32DeviceOps::GetCommState(Handle32 file, DCB* dcb) {
  if (network::IsNetworkHandle(file)) return network::GetCommState(file, dcb);
  return ::GetCommState(ToHandle(file), dcb);
}

BOOL Kernel32DeviceOps::BuildCommDCBA(LPCSTR def, DCB* dcb) { return ::BuildCommDCBA(def, dcb); }

BOOL Kernel32DeviceOps::SetCommState(Handle32 file, DCB* dcb) {
  if (network::IsNetworkHandle(file)) return network::SetCommState(file, dcb);
  return ::SetCommState(ToHandle(file), dcb);
}

BOOL Kernel32DeviceOps::CloseHandle(Handle32 object) {
  if (network::IsNetworkHandle(object)) return network::CloseHandle(object);
  return ::CloseHandle(ToHandle(object));
}

BOOL Kernel32DeviceOps::ClearCommError(Handle32 file, DWORD* errors, COMSTAT* stat) {
  if (network::IsNetworkHandle(file)) return network::ClearCommError(file, errors, stat);
  return ::ClearCommError(ToHandle(file), errors, stat);
}

BOOL Kernel32DeviceOps::ReadFile(Handle32 file, void* buffer, DWORD toRead, DWORD* read,
                                 OVERLAPPED* overlapped) {
  if (network::IsNetworkHandle(file)) return network::ReadFile(file, buffer, toRead, read);
  return ::ReadFile(ToHandle(file), buffer, toRead, read, overlapped);
}

BOOL Kernel32DeviceOps::WriteFile(Handle32 file, const void* buffer, DWORD toWrite, DWORD* written,
                                  OVERLAPPED* overlapped) {
  if (network::IsNetworkHandle(file)) return network::WriteFile(file, buffer, toWrite, written);
  const BOOL ok = ::WriteFile(ToHandle(file), buffer, toWrite, written, overlapped);
  // A write cut short is a time-out, or a device that went away while the
  // write waited: Wine ends a write to a pseudo-terminal whose far end has
  // closed with success and the count sent so far. A device that still
  // answers for its settings timed out; one that does not fails the write
  // with its error, keeping the count.
  if (ok && written && *written < toWrite) {
    const DWORD error = ::GetLastError();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(ToHandle(file), &dcb)) return FALSE;
    ::SetLastError(error);
  }
  return ok;
}

BOOL Kernel32DeviceOps::GetOverlappedResult(Handle32 file, OVERLAPPED* overlapped,
                                            DWORD* transferred, BOOL wait) {
  if (network::IsNetworkHandle(file))
    return network::GetOverlappedResult(file, overlapped, transferred);
  return ::GetOverlappedResult(ToHandle(file), overlapped, transferred, wait);
}

DWORD Kernel32DeviceOps::GetLastError() { return ::GetLastError(); }

BOOL Kernel32DeviceOps::GetCommModemStatus(Handle32 file, DWORD* modemStat) {
  if (network::IsNetworkHandle(file)) return network::GetCommModemStatus(file, modemStat);
  return ::GetCommModemStatus(ToHandle(file), modemStat);
}

BOOL Kernel32DeviceOps::EscapeCommFunction(Handle32 file, DWORD func) {
  if (network::IsNetworkHandle(file)) return network::EscapeCommFunction(file, func);
  return ::EscapeCommFunction(ToHandle(file), func);
}

DWORD Kernel32DeviceOps::FormatMessageA(DWORD flags, const void* source, DWORD messageId,
                                        DWORD languageId, LPSTR buffer, DWORD size,
                                        va_list* arguments) {
  return ::FormatMessageA(flags, source, messageId, languageId, buffer, size, arguments);
}

DWORD Kernel32DeviceOps::SleepEx(DWORD milliseconds, BOOL alertable) {
  return ::SleepEx(milliseconds, alertable);
}

}  // namespace kavrel::platform::win32
