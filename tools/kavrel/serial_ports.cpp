#include "tools/kavrel/serial_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "platform/posix/uevent.h"

namespace kavrel::cli {

namespace {

// Bounds on what a directory listing or an attribute may hold: sysfs never
// comes near them, a broken or hostile tree must not make the walk endless.
constexpr size_t kMaxEntries = 4096;
constexpr size_t kMaxAttribute = 4096;
constexpr int kMaxLevelsUp = 12;

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The first line of a sysfs attribute without trailing white space; empty
// when it cannot be read.
std::string ReadAttribute(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "";
  struct stat st;
  std::string text;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buf[kMaxAttribute];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) text.assign(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  const size_t eol = text.find('\n');
  if (eol != std::string::npos) text.resize(eol);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.pop_back();
  return text;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string LinkTargetName(const std::string& link) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return "";
  return BaseName(std::string(buf, static_cast<size_t>(n)));
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(name);
    if (names.size() >= kMaxEntries) break;
  }
  ::closedir(d);
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

std::optional<unsigned> HexAttribute(const std::string& path) {
  const std::string text = ReadAttribute(path);
  if (text.empty() || text.size() > 8) return std::nullopt;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 16);
  if (*end != '\0') return std::nullopt;
  return static_cast<unsigned>(v);
}

std::optional<int> IntAttribute(const std::string& path) {
  const std::string text = ReadAttribute(path);
  if (text.empty() || text.size() > 10) return std::nullopt;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0') return std::nullopt;
  return static_cast<int>(v);
}

// The UART type as TIOCGSERIAL reports it, for a legacy port whose sysfs
// entry does not say. Opening such a port does not touch the modem lines of
// a port without a UART; one that fails to open is kept.
std::optional<int> UartTypeFromDevice(const std::string& node) {
  const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  serial_struct info{};
  std::optional<int> type;
  if (::ioctl(fd, TIOCGSERIAL, &info) == 0) type = info.type;
  ::close(fd);
  return type;
}

// Fills the USB fields from the USB device above the tty's device, if any.
void ReadUsb(const std::string& deviceDir, const std::string& sysfsTop, SerialPort* port) {
  std::string dir = deviceDir;
  std::string interfaceDir;
  for (int level = 0; level < kMaxLevelsUp; ++level) {
    if (dir.size() <= sysfsTop.size() || dir.compare(0, sysfsTop.size(), sysfsTop) != 0) return;
    if (interfaceDir.empty() && Exists(dir + "/bInterfaceNumber")) interfaceDir = dir;
    if (Exists(dir + "/idVendor") && Exists(dir + "/idProduct")) {
      UsbInfo usb;
      usb.vid = HexAttribute(dir + "/idVendor").value_or(0);
      usb.pid = HexAttribute(dir + "/idProduct").value_or(0);
      usb.serial = ReadAttribute(dir + "/serial");
      usb.manufacturer = ReadAttribute(dir + "/manufacturer");
      usb.product = ReadAttribute(dir + "/product");
      if (!interfaceDir.empty()) {
        usb.interfaceNumber = ReadAttribute(interfaceDir + "/bInterfaceNumber");
        usb.interfaceName = ReadAttribute(interfaceDir + "/interface");
        usb.location = BaseName(interfaceDir);
      } else {
        usb.location = BaseName(dir);
      }
      port->usb = usb;
      return;
    }
    dir = Parent(dir);
  }
}

// The device that carries the port's hardware. Since Linux 6.5 a UART's
// tty hangs off serial-base "port" and "ctrl" devices, whose drivers say
// nothing about the hardware: the device above them does.
std::string HardwareDevice(const std::string& deviceDir, const std::string& sysfsTop) {
  std::string dir = deviceDir;
  for (int level = 0; level < kMaxLevelsUp; ++level) {
    const std::string parent = Parent(dir);
    if (LinkTargetName(dir + "/subsystem") != "serial-base" || parent.size() <= sysfsTop.size())
      break;
    dir = parent;
  }
  return dir;
}

// tty name -> its /dev/serial/by-id link, the first in name order.
std::map<std::string, std::string> ByIdLinks(const std::string& devRoot) {
  std::map<std::string, std::string> links;
  const std::string dir = devRoot + "/serial/by-id";
  for (const std::string& entry : ListDirectory(dir)) {
    const std::string target = LinkTargetName(dir + "/" + entry);
    if (!target.empty() && !links.count(target)) links[target] = "/dev/serial/by-id/" + entry;
  }
  return links;
}

// DEVNAME from the tty's uevent, the node's name under /dev.
std::string DeviceNodeName(const std::string& classDir, const std::string& fallback) {
  std::string name = platform::posix::UeventNodeName(classDir + "/uevent");
  return name.empty() ? fallback : name;
}

}  // namespace

SystemRoots RootsFromEnvironment() {
  SystemRoots roots;
  if (const char* s = std::getenv("KAVREL_SYSFS_ROOT"); s && *s) roots.sysfs = s;
  if (const char* d = std::getenv("KAVREL_DEV_ROOT"); d && *d) roots.dev = d;
  return roots;
}

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return "";
  std::string out(resolved);
  std::free(resolved);
  return out;
}

bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
    if (da && db) {
      size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] == '0') ++ei;
      while (ej < b.size() && b[ej] == '0') ++ej;
      size_t ni = ei, nj = ej;
      while (ni < a.size() && a[ni] >= '0' && a[ni] <= '9') ++ni;
      while (nj < b.size() && b[nj] >= '0' && b[nj] <= '9') ++nj;
      if (ni - ei != nj - ej) return ni - ei < nj - ej;
      const int c = a.compare(ei, ni - ei, b, ej, nj - ej);
      if (c != 0) return c < 0;
      i = ni;
      j = nj;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;
}

std::vector<SerialPort> ScanSerialPorts(const SystemRoots& roots, bool all) {
  std::vector<SerialPort> ports;
  const std::string sysfsTop = RealPath(roots.sysfs);
  if (sysfsTop.empty()) return ports;
  const std::string classDir = roots.sysfs + "/class/tty";
  const std::map<std::string, std::string> byId = ByIdLinks(roots.dev);
  for (const std::string& name : ListDirectory(classDir)) {
    const std::string entry = classDir + "/" + name;
    // Consoles, pseudo-terminals and the like have no device behind them.
    const std::string deviceDir = RealPath(entry + "/device");
    if (deviceDir.empty()) continue;
    SerialPort port;
    port.name = name;
    const std::string node = DeviceNodeName(entry, name);
    port.device = "/dev/" + node;
    port.driver = LinkTargetName(HardwareDevice(deviceDir, sysfsTop) + "/driver");
    if (auto link = byId.find(BaseName(node)); link != byId.end()) port.byId = link->second;
    port.uartType = IntAttribute(entry + "/type");
    if (!port.uartType && name.rfind("ttyS", 0) == 0)
      port.uartType = UartTypeFromDevice(roots.dev + "/" + node);
    if (!all && port.uartType && *port.uartType == 0) continue;
    // Known to the kernel with no node to open it by (a container's /dev).
    if (!all && !Exists(roots.dev + "/" + node)) continue;
    ReadUsb(deviceDir, sysfsTop, &port);
    ports.push_back(std::move(port));
  }
  return ports;
}

}  // namespace kavrel::cli
