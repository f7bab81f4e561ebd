// The module (Kavrel.dll, or the program the component is linked into) that
// holds this code, and its path.
#pragma once

#include <windows.h>

#include <string>

namespace kavrel::platform::win32 {

HMODULE ThisModule();

// The full path of ThisModule(); empty if it cannot be had.
std::wstring ThisModulePath();

}  // namespace kavrel::platform::win32
