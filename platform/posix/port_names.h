// From the name a host passes to CreateFileA to the device that is opened.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavrel::platform::posix {

// n for "COMn", "COMn:" or "\\.\COMn" in any case, n >= 1 without leading
// zeros; nothing for any other name.
std::optional<unsigned> ComPortNumber(std::string_view name);

// The device a name stands for. A COM port name maps, in this order, to the
// environment variable KAVREL_COMn when it is set and not empty, then to
// /dev/ttyS{n-1}. Every other name is returned as it is (a path, or a
// built-in device name such as a null-modem end). A mapped name is not
// resolved again.
std::string ResolveDeviceName(std::string_view name);

}  // namespace kavrel::platform::posix
