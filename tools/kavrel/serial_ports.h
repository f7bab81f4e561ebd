// The serial ports of this machine as the kernel describes them in sysfs:
// each tty with a device behind it, its driver, and for USB adapters the
// USB device and interface it belongs to.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/posix/port_names.h"

namespace kavrel::cli {

// Where sysfs and /dev are read from: normally /sys and /dev, a prepared
// tree in tests.
struct SystemRoots {
  std::string sysfs = "/sys";
  std::string dev = "/dev";
};

// KAVREL_SYSFS_ROOT and KAVREL_DEV_ROOT when set, else /sys and /dev.
SystemRoots RootsFromEnvironment();

struct UsbInfo {
  unsigned vid = 0;
  unsigned pid = 0;
  std::string serial;
  std::string manufacturer;
  std::string product;
  std::string interfaceNumber;  // bInterfaceNumber, two hex digits ("00")
  std::string interfaceName;    // the interface's own string, often absent
  std::string location;         // bus-port path and configuration.interface ("1-2.3:1.0")
};

struct ComName {
  std::string name;  // "COM3"
  platform::posix::ComNameSource source = platform::posix::ComNameSource::Default;
};

struct SerialPort {
  std::string name;    // sysfs name, "ttyUSB0"
  std::string device;  // "/dev/ttyUSB0"
  std::string driver;  // "ftdi_sio", "cdc_acm", "serial8250", or empty
  std::string byId;    // "/dev/serial/by-id/...", or empty
  std::optional<UsbInfo> usb;
  std::optional<int> uartType;  // serial-core ports: the UART type, 0 for none
  std::vector<ComName> comNames;
};

// The ports under roots, ordered by name with numbers compared as numbers
// (ttyS2 before ttyS10). Serial-core ports without a UART (type 0, the
// unused legacy ttyS entries) are left out unless all is set.
std::vector<SerialPort> ScanSerialPorts(const SystemRoots& roots, bool all);

// The path with every link followed; empty when it leads nowhere.
std::string RealPath(const std::string& path);

// a before b with embedded numbers compared by value.
bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace kavrel::cli
