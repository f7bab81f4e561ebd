#include "platform/posix/port_names.h"

#include <algorithm>
#include <cstdlib>

#include "kavrel/registry.h"
#include "platform/posix/win32_errors.h"

extern char** environ;

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

constexpr std::string_view kPortsKey = "HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports";

// The registry file's mapping of COMn: Mapped, NotMapped (no file, no key,
// no value) or Failed.
enum class Registered { Mapped, NotMapped, Failed };
Registered RegistryMapping(unsigned port, std::string* device) {
  const std::string path = registry::FilePath();
  if (path.empty()) return Registered::NotMapped;
  std::shared_ptr<const registry::Document> doc;
  std::string error;
  switch (registry::LoadShared(path, &doc, &error)) {
    case registry::LoadResult::Missing:
      return Registered::NotMapped;
    case registry::LoadResult::Refused:
    case registry::LoadResult::IoFailed:
      return Registered::Failed;
    case registry::LoadResult::Loaded:
      break;
  }
  const registry::Key* key = doc->FindKey(kPortsKey);
  if (!key) return Registered::NotMapped;
  const std::string name = "COM" + std::to_string(port);
  for (const registry::Value& v : key->values) {
    if (!registry::SameName(v.name, name)) continue;
    if (!v.isString || v.data.empty()) return Registered::Failed;
    *device = v.data;
    return Registered::Mapped;
  }
  return Registered::NotMapped;
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

DWORD ResolveComPort(unsigned port, std::string* device, ComNameSource* source) {
  if (auto mapped = EnvironmentMapping(port)) {
    *device = *mapped;
    *source = ComNameSource::Environment;
    return ERROR_SUCCESS;
  }
  switch (RegistryMapping(port, device)) {
    case Registered::Mapped:
      *source = ComNameSource::Registry;
      return ERROR_SUCCESS;
    case Registered::Failed:
      device->clear();
      return kErrorBadDb;
    case Registered::NotMapped:
      break;
  }
  *device = DefaultDevicePath(port);
  *source = ComNameSource::Default;
  return ERROR_SUCCESS;
}

DWORD ResolveDeviceName(std::string_view name, std::string* device) {
  const std::optional<unsigned> port = ComPortNumber(name);
  if (!port) {
    *device = std::string(name);
    return ERROR_SUCCESS;
  }
  ComNameSource source;
  return ResolveComPort(*port, device, &source);
}

std::vector<unsigned> MappedComPorts(bool* registryUsable, std::string* why) {
  std::vector<unsigned> ports;
  *registryUsable = true;
  constexpr std::string_view kVariablePrefix = "KAVREL_";
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view assignment(*entry);
    const size_t equals = assignment.find('=');
    if (equals == std::string_view::npos || equals + 1 == assignment.size()) continue;
    if (assignment.substr(0, kVariablePrefix.size()) != kVariablePrefix) continue;
    const std::string_view name =
        assignment.substr(kVariablePrefix.size(), equals - kVariablePrefix.size());
    // Only the exact spelling KAVREL_COMn is looked up.
    if (name.substr(0, 3) != "COM" || name.find(':') != std::string_view::npos) continue;
    if (auto port = ComPortNumber(name)) ports.push_back(*port);
  }
  const std::string path = registry::FilePath();
  registry::Document doc;
  std::string error;
  if (!path.empty()) {
    switch (registry::LoadFile(path, &doc, &error)) {
      case registry::LoadResult::Loaded:
        if (const registry::Key* key = doc.FindKey(kPortsKey)) {
          for (const registry::Value& v : key->values) {
            if (v.name.find_first_of(":\\") != std::string::npos) continue;
            if (auto port = ComPortNumber(v.name)) ports.push_back(*port);
          }
        }
        break;
      case registry::LoadResult::Missing:
        break;
      case registry::LoadResult::Refused:
      case registry::LoadResult::IoFailed:
        *registryUsable = false;
        if (why) *why = error;
        break;
    }
  }
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

std::string ResolveDeviceName(std::string_view name) {
  std::string device;
  ResolveDeviceName(name, &device);
  return device;
}

}  // namespace kavrel::platform::posix
