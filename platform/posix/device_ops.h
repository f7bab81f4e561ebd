// The device and system operations over the Linux tty layer.
#pragma once

#include "platform/platform.h"

namespace kavrel::platform::posix {

class TtyDeviceOps final : public DeviceOps {
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

}  // namespace kavrel::platform::posix
