// The COM names a host can open each serial port by: KAVREL_COMn, the
// registry file's port map, and the /dev/ttyS{n-1} default, in the order the
// component resolves them.
#pragma once

#include <string>
#include <vector>

#include "tools/kavrel/serial_ports.h"

namespace kavrel::cli {

// A COM name whose device is not one of the listed ports: a built-in device,
// a network port, or a path with nothing behind it in sysfs.
struct OtherComName {
  ComName com;
  std::string target;
};

struct ComNameReport {
  std::vector<OtherComName> others;
  bool registryUsable = true;  // false: the registry file's names could not be read
  std::string registryError;   // why, when the file said
  // COM names the registry file's port map holds something other than a
  // device path for (a host opening them gets error 1009).
  std::vector<std::string> unmappable;
};

// Adds to each port the COM names that open it. A mapped path under /dev
// is compared through devRoot with links followed, so a by-id link counts
// for the tty it points at.
ComNameReport AttachComNames(std::vector<SerialPort>* ports, const std::string& devRoot);

// "KAVREL_COM3", "registry", "default".
std::string ComSourceName(const ComName& com);

}  // namespace kavrel::cli
