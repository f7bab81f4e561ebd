// The device and system operations on Windows: kernel32 itself.
#pragma once

#include "platform/platform.h"

namespace kavrel::platform::win32 {

// Handles travel through the component as 32-bit values. Windows handle
// values fit in 32 bits on 64-bit Windows too and are sign-extended back, so
// INVALID_HANDLE_VALUE stays -1 both ways.
inline HANDLE ToHandle(Handle32 h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }
inline Handle32 FromHandle(HANDLE h) {
  return static_cast<Handle32>(reinterpret_cast<intptr_t>(h));
}

class Kernel32DeviceOps final : public DeviceOps {
 public:
  Handle32 CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                       void* securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, Handle32 templateFile) override;
  BOOL SetupComm(Handle32 file, DWORD inQueue, DWORD outQueue) override;
  BOOL PurgeComm(Handle32 file, DWORD flags) override;
  BOOL SetCommTimeouts(Handle32 file, COMMTIMEOUTS* timeouts) override;
  BOOL GetCommState(Handle32 file, DCB* dcb) override;
  BOOL BuildCommDCBA(LPCSTR def, DCB* dcb) override;
  BOOL SetCommState(Handle32 file, DCB* dcb) override;
  BOOL CloseHandle(Handle32 object) override;
  BOOL ClearCommError(Handle32 file, DWORD* errors, COMSTAT* stat) override;
  BOOL ReadFile(Handle32 file, void* buffer, DWORD toRead, DWORD* read,
                OVERLAPPED* overlapped) override;
  BOOL WriteFile(Handle32 file, const void* buffer, DWORD toWrite, DWORD* written,
                 OVERLAPPED* overlapped) override;
  BOOL GetOverlappedResult(Handle32 file, OVERLAPPED* overlapped, DWORD* transferred,
                           BOOL wait) override;
  DWORD GetLastError() override;
  BOOL GetCommModemStatus(Handle32 file, DWORD* modemStat) override;
  BOOL EscapeCommFunction(Handle32 file, DWORD func) override;
  DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                       LPSTR buffer, DWORD size, va_list* arguments) override;
  DWORD SleepEx(DWORD milliseconds, BOOL alertable) override;
};

}  // namespace kavrel::platform::win32
