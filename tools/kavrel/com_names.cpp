#include "tools/kavrel/com_names.h"

#include <algorithm>

namespace kavrel::cli {

namespace {

using platform::posix::ComNameSource;

// The file a device path names on this machine: a path under /dev in the
// test tree when there is one, any other absolute path (a link of the
// user's own to a port) as it stands.
std::string OnDisk(const std::string& devicePath, const std::string& devRoot) {
  if (devicePath.rfind("/dev/", 0) == 0) return RealPath(devRoot + devicePath.substr(4));
  if (devicePath.empty() || devicePath[0] != '/') return "";
  return RealPath(devicePath);
}

// Defaults only matter for the ports that exist: ttyS{n-1} is COMn.
void AddDefaultCandidates(const std::vector<SerialPort>& ports, std::vector<unsigned>* numbers) {
  for (const SerialPort& p : ports) {
    if (p.device.rfind("/dev/ttyS", 0) != 0) continue;
    const std::string digits = p.device.substr(9);
    if (digits.empty() || digits.size() > 6 || (digits.size() > 1 && digits[0] == '0')) continue;
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    numbers->push_back(static_cast<unsigned>(std::stoul(digits)) + 1);
  }
}

}  // namespace

std::string ComSourceName(const ComName& com) {
  switch (com.source) {
    case ComNameSource::Environment:
      return "KAVREL_" + com.name;
    case ComNameSource::Registry:
      return "registry";
    case ComNameSource::Default:
      break;
  }
  return "default";
}

ComNameReport AttachComNames(std::vector<SerialPort>* ports, const std::string& devRoot) {
  ComNameReport report;
  std::vector<unsigned> numbers =
      platform::posix::MappedComPorts(&report.registryUsable, &report.registryError);
  const bool fileRead = report.registryUsable;
  AddDefaultCandidates(*ports, &numbers);
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());

  std::vector<std::string> onDisk;
  for (const SerialPort& p : *ports) onDisk.push_back(OnDisk(p.device, devRoot));

  for (unsigned n : numbers) {
    ComName com;
    com.name = "COM" + std::to_string(n);
    std::string target;
    if (platform::posix::ResolveComPort(n, &target, &com.source) != 0) {
      // A file that was read has only this value wrong; its other names stand.
      if (fileRead) {
        report.unmappable.push_back(com.name);
      } else {
        report.registryUsable = false;
      }
      continue;
    }
    bool matched = false;
    const std::string targetOnDisk = OnDisk(target, devRoot);
    for (size_t i = 0; i < ports->size(); ++i) {
      SerialPort& p = (*ports)[i];
      if (target == p.device || (!targetOnDisk.empty() && targetOnDisk == onDisk[i])) {
        p.comNames.push_back(com);
        matched = true;
      }
    }
    // A default that names no listed port is just an unused number.
    if (!matched && com.source != ComNameSource::Default) report.others.push_back({com, target});
  }
  return report;
}

}  // namespace kavrel::cli
