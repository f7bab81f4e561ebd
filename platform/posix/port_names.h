// From the name a host passes to CreateFileA to the device that is opened.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_records.h"

namespace kavrel::platform::posix {

// n for "COMn", "COMn:" or "\\.\COMn" in any case, n >= 1 without leading
// zeros; nothing for any other name.
std::optional<unsigned> ComPortNumber(std::string_view name);

// The device a name stands for. A COM port name maps, in this order, to the
// environment variable KAVREL_COMn when it is set and not empty, then to the
// value "COMn" of the registry file's port map (the key
// HKEY_LOCAL_MACHINE\Software\Kavrel\Ports, see kavrel/registry.h), then to
// /dev/ttyS{n-1}. Every other name is returned as it is (a path, or a
// built-in device name such as a null-modem end). A mapped name is not
// resolved again.
// ERROR_SUCCESS with the device in *device, or kErrorBadDb when the registry
// file is malformed or unsafe, or maps the port to something that is not a
// device path: the port is then not opened at all rather than on a guess.
DWORD ResolveDeviceName(std::string_view name, std::string* device);

// The same for callers that want only the name: empty when the port map
// cannot be used.
std::string ResolveDeviceName(std::string_view name);

// Where the device of COMn comes from.
enum class ComNameSource { Environment, Registry, Default };

// The device of COMn and where the mapping comes from, as ResolveDeviceName
// finds it: ERROR_SUCCESS, or kErrorBadDb (nothing in *device).
DWORD ResolveComPort(unsigned port, std::string* device, ComNameSource* source);

// The numbers n of the COM names mapped explicitly, by a KAVREL_COMn
// variable or a value of the registry file's port map, in ascending order,
// each once. *registryUsable is false when the registry file exists but
// cannot be read as a port map; its names are then left out, and *why (when
// given) says what is wrong with it.
std::vector<unsigned> MappedComPorts(bool* registryUsable, std::string* why = nullptr);

}  // namespace kavrel::platform::posix
