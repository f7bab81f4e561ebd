// The platform seam. Everything the component does to a device or to the
// host goes through the interfaces declared here; each operating system
// provides them in its own folder (platform/posix, platform/win32), and tests
// substitute a scripted double.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "kavrel/automation.h"
#include "platform/win32_records.h"

namespace kavrel::platform {

// The seventeen device and system operations, in their Win32 shape: the same
// argument order, records passed by pointer, a nonzero result meaning success.
// Handles are 32-bit. Realisations set the calling thread's last error the way
// Win32 does; GetLastError reads it without changing it.
class DeviceOps {
 public:
  virtual Handle32 CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                               void* securityAttributes, DWORD creationDisposition,
                               DWORD flagsAndAttributes, Handle32 templateFile) = 0;
  virtual BOOL SetupComm(Handle32 file, DWORD inQueue, DWORD outQueue) = 0;
  virtual BOOL PurgeComm(Handle32 file, DWORD flags) = 0;
  virtual BOOL SetCommTimeouts(Handle32 file, COMMTIMEOUTS* timeouts) = 0;
  virtual BOOL GetCommState(Handle32 file, DCB* dcb) = 0;
  virtual BOOL BuildCommDCBA(LPCSTR def, DCB* dcb) = 0;
  virtual BOOL SetCommState(Handle32 file, DCB* dcb) = 0;
  virtual BOOL CloseHandle(Handle32 object) = 0;
  virtual BOOL ClearCommError(Handle32 file, DWORD* errors, COMSTAT* stat) = 0;
  virtual BOOL ReadFile(Handle32 file, void* buffer, DWORD toRead, DWORD* read,
                        OVERLAPPED* overlapped) = 0;
  virtual BOOL WriteFile(Handle32 file, const void* buffer, DWORD toWrite, DWORD* written,
                         OVERLAPPED* overlapped) = 0;
  virtual BOOL GetOverlappedResult(Handle32 file, OVERLAPPED* overlapped, DWORD* transferred,
                                   BOOL wait) = 0;
  virtual DWORD GetLastError() = 0;
  virtual BOOL GetCommModemStatus(Handle32 file, DWORD* modemStat) = 0;
  virtual BOOL EscapeCommFunction(Handle32 file, DWORD func) = 0;
  virtual DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                               LPSTR buffer, DWORD size, va_list* arguments) = 0;
  virtual DWORD SleepEx(DWORD milliseconds, BOOL alertable) = 0;

 protected:
  ~DeviceOps() = default;
};

// What the component calls. Each operation forwards to the realisation and,
// before returning, saves the thread's last error as the last device error,
// so that no caller can forget it or slip another platform call in between.
class Platform {
 public:
  explicit Platform(DeviceOps& ops) : ops_(ops) {}

  Handle32 CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                       void* securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, Handle32 templateFile);
  BOOL SetupComm(Handle32 file, DWORD inQueue, DWORD outQueue);
  BOOL PurgeComm(Handle32 file, DWORD flags);
  BOOL SetCommTimeouts(Handle32 file, COMMTIMEOUTS* timeouts);
  BOOL GetCommState(Handle32 file, DCB* dcb);
  BOOL BuildCommDCBA(LPCSTR def, DCB* dcb);
  BOOL SetCommState(Handle32 file, DCB* dcb);
  BOOL CloseHandle(Handle32 object);
  // The transfer steps are inline: on a processor that empties its return
  // predictions on every system call, each frame between the member and the
  // system call costs a mispredicted return.
  BOOL ClearCommError(Handle32 file, DWORD* errors, COMSTAT* stat) {
    return Saved(ops_.ClearCommError(file, errors, stat));
  }
  BOOL ReadFile(Handle32 file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
    return Saved(ops_.ReadFile(file, buffer, toRead, read, overlapped));
  }
  BOOL WriteFile(Handle32 file, const void* buffer, DWORD toWrite, DWORD* written,
                 OVERLAPPED* overlapped) {
    return Saved(ops_.WriteFile(file, buffer, toWrite, written, overlapped));
  }
  BOOL GetOverlappedResult(Handle32 file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
  DWORD GetLastError();
  BOOL GetCommModemStatus(Handle32 file, DWORD* modemStat);
  BOOL EscapeCommFunction(Handle32 file, DWORD func);
  DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                       LPSTR buffer, DWORD size, va_list* arguments);
  DWORD SleepEx(DWORD milliseconds, BOOL alertable);

  // The last device error saved on the calling thread after its most recent
  // platform call (0 before the first).
  static DWORD LastDeviceError();

  // Puts code in place of the calling thread's saved last device error
  // without a platform call. Until the next platform operation,
  // LastDeviceError() and GetLastError() both answer code (GetLastError then
  // does not ask the platform). For a step the component answers itself
  // instead of handing it to the platform, and for putting back a step's own
  // error after host code has run between the step and its record.
  static void SubstituteLastDeviceError(DWORD code);

  DeviceOps& ops() { return ops_; }

 private:
  template <class Result>
  Result Saved(Result result) {
    tLastDeviceError = ops_.GetLastError();
    tSubstituted = false;
    return result;
  }

  static constinit thread_local DWORD tLastDeviceError;
  // tLastDeviceError came from SubstituteLastDeviceError.
  static constinit thread_local bool tSubstituted;

  DeviceOps& ops_;
};

// Runs every pending message of the calling thread's host and returns. The
// host's handlers may call back into any object of the thread meanwhile.
class MessagePump {
 public:
  virtual void Pump() = 0;
  // As `times` calls of Pump. A realisation may stop early once nothing
  // further can happen (no pump installed, and nothing in between that
  // could install one).
  virtual void PumpRepeatedly(int times) {
    for (int i = 0; i < times; ++i) Pump();
  }

 protected:
  ~MessagePump() = default;
};

// Conversion between interface text (UTF-16) and device bytes in the ANSI
// code page, one byte per character. Every byte value survives
// bytes -> text -> bytes; a character the code page lacks becomes '?'.
class TextCodec {
 public:
  virtual std::string ToAnsi(const OLECHAR* text, size_t length) = 0;
  // As ToAnsi; `exact` tells whether the bytes convert back to the very same
  // text (nothing was replaced). A code page that cannot tell says false.
  virtual std::string ToAnsiExact(const OLECHAR* text, size_t length, bool& exact) {
    exact = false;
    return ToAnsi(text, length);
  }
  // As ToAnsiExact, into `out` when the bytes surely fit in `capacity`:
  // their count, or SIZE_MAX (out untouched) when they may not fit or the
  // code page cannot say in advance. Spares short texts a heap string.
  virtual size_t ToAnsiExactInto(const OLECHAR*, size_t, char*, size_t, bool& exact) {
    exact = false;
    return SIZE_MAX;
  }
  virtual std::u16string FromAnsi(const char* bytes, size_t length) = 0;
  // How many more bytes the last character of `bytes` needs: 0 when they
  // end where a character ends, as they always do in a single-byte code
  // page; 1 when they end in the lead byte of a double-byte character.
  virtual size_t MissingBytes(const char* bytes, size_t length) {
    (void)bytes;
    (void)length;
    return 0;
  }
  // As FromAnsi, straight into a new BSTR; null when out of memory.
  virtual BSTR FromAnsiBstr(const char* bytes, size_t length) {
    const std::u16string text = FromAnsi(bytes, length);
    return ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                               static_cast<UINT>(text.size()));
  }

 protected:
  ~TextCodec() = default;
};

// The thread's error information: what a failing member leaves for the host
// to read back with GetErrorInfo.
class ErrorInfoService {
 public:
  virtual void Set(const GUID& interfaceId, const std::u16string& source,
                   const std::u16string& description) = 0;
  virtual void Clear() = 0;

 protected:
  ~ErrorInfoService() = default;
};

// The services one object works with. The process default is the native set;
// tests build objects over doubles.
struct Runtime {
  Platform& device;
  MessagePump& pump;
  TextCodec& text;
  ErrorInfoService& errors;
};

// The native platform of this build (POSIX or Win32).
Runtime& NativeRuntime();

}  // namespace kavrel::platform
