#include "platform/platform.h"

#include "platform/hot_path.h"

namespace kavrel::platform {

constinit thread_local DWORD Platform::tLastDeviceError = 0;
constinit thread_local bool Platform::tSubstituted = false;

KAVREL_HOT_PATH DWORD Platform::LastDeviceError() { return tLastDeviceError; }

void Platform::SubstituteLastDeviceError(DWORD code) {
  tLastDeviceError = code;
  tSubstituted = true;
}

Handle32 Platform::CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                               void* securityAttributes, DWORD creationDisposition,
                               DWORD flagsAndAttributes, Handle32 templateFile) {
  return Saved(ops_.CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                creationDisposition, flagsAndAttributes, templateFile));
}
BOOL Platform::SetupComm(Handle32 file, DWORD inQueue, DWORD outQueue) {
  return Saved(ops_.SetupComm(file, inQueue, outQueue));
}
BOOL Platform::PurgeComm(Handle32 file, DWORD flags) { return Saved(ops_.PurgeComm(file, flags)); }
BOOL Platform::SetCommTimeouts(Handle32 file, COMMTIMEOUTS* timeouts) {
  return Saved(ops_.SetCommTimeouts(file, timeouts));
}
BOOL Platform::GetCommState(Handle32 file, DCB* dcb) { return Saved(ops_.GetCommState(file, dcb)); }
BOOL Platform::BuildCommDCBA(LPCSTR def, DCB* dcb) { return Saved(ops_.BuildCommDCBA(def, dcb)); }
BOOL Platform::SetCommState(Handle32 file, DCB* dcb) { return Saved(ops_.SetCommState(file, dcb)); }
BOOL Platform::CloseHandle(Handle32 object) { return Saved(ops_.CloseHandle(object)); }
BOOL Platform::GetOverlappedResult(Handle32 file, OVERLAPPED* overlapped, DWORD* transferred,
                                   BOOL wait) {
  return Saved(ops_.GetOverlappedResult(file, overlapped, transferred, wait));
}
DWORD Platform::GetLastError() {
  if (tSubstituted) return tLastDeviceError;
  return Saved(ops_.GetLastError());
}
BOOL Platform::GetCommModemStatus(Handle32 file, DWORD* modemStat) {
  return Saved(ops_.GetCommModemStatus(file, modemStat));
}
BOOL Platform::EscapeCommFunction(Handle32 file, DWORD func) {
  return Saved(ops_.EscapeCommFunction(file, func));
}
DWORD Platform::FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                               LPSTR buffer, DWORD size, va_list* arguments) {
  return Saved(ops_.FormatMessageA(flags, source, messageId, languageId, buffer, size, arguments));
}
DWORD Platform::SleepEx(DWORD milliseconds, BOOL alertable) {
  return Saved(ops_.SleepEx(milliseconds, alertable));
}

}  // namespace kavrel::platform
