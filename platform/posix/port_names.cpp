#include "platform/posix/port_names.h"

#include <cstdlib>

namespace kavrel::platform::posix {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != prefix[i]) return false;
  }
  return true;
}

std::optional<std::string> EnvironmentMapping(unsigned port) {
  const std::string variable = "KAVREL_COM" + std::to_string(port);
  const char* value = std::getenv(variable.c_str());
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::string DefaultDevicePath(unsigned port) { return "/dev/ttyS" + std::to_string(port - 1); }

}  // namespace

std::optional<unsigned> ComPortNumber(std::string_view name) {
  bool devicePrefix = false;
  if (name.substr(0, 4) == "\\\\.\\") {
    name.remove_prefix(4);
    devicePrefix = true;
  }
  if (!StartsWithNoCase(name, "COM")) return std::nullopt;
  name.remove_prefix(3);
  if (!devicePrefix && !name.empty() && name.back() == ':') name.remove_suffix(1);
  if (name.empty() || name.size() > 9 || name[0] == '0') return std::nullopt;
  unsigned port = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  return port;
}

std::string ResolveDeviceName(std::string_view name) {
  const std::optional<unsigned> port = ComPortNumber(name);
  if (!port) return std::string(name);
  if (auto mapped = EnvironmentMapping(*port)) return *mapped;
  // A configured mapping (registered ports) slots in here, between the
  // environment and the default.
  return DefaultDevicePath(*port);
}

}  // namespace kavrel::platform::posix
