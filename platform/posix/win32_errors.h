// The calling thread's last error, the one translation from errno to Win32
// error numbers, and the system message texts for every number this layer
// reports.
#pragma once

#include "platform/win32_records.h"

namespace kavrel::platform::posix {

// Numbers this layer reports beyond those every platform header names.
inline constexpr DWORD kErrorTooManyOpenFiles = 4;
inline constexpr DWORD kErrorInsufficientBuffer = 122;
inline constexpr DWORD kErrorInvalidName = 123;
inline constexpr DWORD kErrorFilenameTooLong = 206;
inline constexpr DWORD kErrorMessageNotFound = 317;
inline constexpr DWORD kErrorBadDb = 1009;
inline constexpr DWORD kErrorCantResolveFilename = 1921;

DWORD LastError();
void SetLastError(DWORD error);

// The Win32 number for an errno value. Anything without a closer match is
// ERROR_GEN_FAILURE; a device that is gone (EIO, ENXIO, ENODEV) is
// ERROR_DEVICE_NOT_CONNECTED.
DWORD Win32FromErrno(int error);

// The system text of a number, without the trailing line break; nullptr for
// a number this layer does not know.
const char* SystemMessageText(DWORD id);

// FormatMessageA for FORMAT_MESSAGE_FROM_SYSTEM: writes the text, ending in
// CR LF, and a NUL into buffer and returns the characters written without
// the NUL; 0 with the thread's last error set when it cannot.
DWORD FormatSystemMessage(DWORD flags, DWORD messageId, char* buffer, DWORD size);

}  // namespace kavrel::platform::posix
