// kavrel list and kavrel find: the ports sysfs knows, and the adapter with a
// given USB id.
#include <cstdio>

#include "kavrel/registry.h"
#include "tools/kavrel/com_names.h"
#include "tools/kavrel/commands.h"
#include "tools/kavrel/options.h"
#include "tools/kavrel/port_report.h"
#include "tools/kavrel/serial_ports.h"

namespace kavrel::cli {

int RunList(const Args& args) {
  ParsedArgs parsed;
  if (const auto done = ParseCommand("list", args, {{"--json"}, {"--all"}}, &parsed)) return *done;
  if (!parsed.positional.empty()) return UsageError("list", "no arguments expected");

  const SystemRoots roots = RootsFromEnvironment();
  std::vector<SerialPort> ports = ScanSerialPorts(roots, parsed.Has("--all"));
  const ComNameReport names = AttachComNames(&ports, roots.dev);
  if (!names.registryUsable) {
    // The loader's reason starts with the path, which the message gives already.
    const std::string path = registry::FilePath();
    std::string why = names.registryError;
    if (why.rfind(path, 0) == 0 && why.size() > path.size() + 2) why.erase(0, path.size() + 2);
    if (!why.empty()) why = " (" + why + ")";
    std::fprintf(stderr,
                 "kavrel list: the registry file %s cannot be used as a port map%s; the COM "
                 "names it maps are not shown\n",
                 path.c_str(), why.c_str());
  }
  for (const std::string& name : names.unmappable)
    std::fprintf(stderr,
                 "kavrel list: the registry file %s maps %s to no device path; opening %s fails "
                 "(error 1009)\n",
                 registry::FilePath().c_str(), name.c_str(), name.c_str());
  if (parsed.Has("--json")) {
    std::fputs(PortsJson(ports, names.others).c_str(), stdout);
  } else {
    for (const std::string& line : PortLines(ports, names.others))
      std::printf("%s\n", line.c_str());
    if (ports.empty()) std::fprintf(stderr, "kavrel list: no serial ports found\n");
  }
  return kExitOk;
}

int RunFind(const Args& args) {
  ParsedArgs parsed;
  if (const auto done = ParseCommand("find", args, {}, &parsed)) return *done;
  if (parsed.positional.size() != 1) return UsageError("find", "give one VID:PID[:SERIAL]");
  const std::optional<UsbMatch> match = ParseUsbMatch(parsed.positional[0]);
  if (!match) return UsageError("find", "not a VID:PID[:SERIAL]: " + parsed.positional[0]);

  std::vector<const SerialPort*> found;
  const std::vector<SerialPort> ports = ScanSerialPorts(RootsFromEnvironment(), false);
  for (const SerialPort& p : ports) {
    if (!p.usb || p.usb->vid != match->vid || p.usb->pid != match->pid) continue;
    if (match->serial && p.usb->serial != *match->serial) continue;
    found.push_back(&p);
  }
  if (found.empty()) {
    std::fprintf(stderr, "kavrel find: no adapter %s\n", parsed.positional[0].c_str());
    return kExitNone;
  }
  if (found.size() > 1) {
    std::fprintf(stderr, "kavrel find: %zu adapters match %s:\n", found.size(),
                 parsed.positional[0].c_str());
    for (const SerialPort* p : found) {
      const std::vector<std::string> line = PortLines({*p}, {});
      std::fprintf(stderr, "  %s\n", line[0].c_str());
    }
    return kExitSeveral;
  }
  std::printf("%s\n", found[0]->device.c_str());
  return kExitOk;
}

}  // namespace kavrel::cli
