#include "tools/kavrel/comm_port.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/port_names.h"
#include "platform/posix/text_codec.h"

namespace kavrel::cli {

namespace {

// Text of the component <-> bytes, through the same code page it converts
// with, so every byte value survives both ways.
class Text {
 public:
  Text() = default;
  explicit Text(const std::string& bytes) {
    platform::posix::Cp1252Codec codec;
    const std::u16string wide = codec.FromAnsi(bytes.data(), bytes.size());
    b_ = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                           static_cast<UINT>(wide.size()));
  }
  ~Text() { SysFreeString(b_); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  BSTR* operator&() { return &b_; }
  bool valid() const { return b_ != nullptr; }
  std::string Bytes() const {
    if (!b_) return "";
    platform::posix::Cp1252Codec codec;
    return codec.ToAnsi(b_, SysStringLen(b_));
  }

 private:
  BSTR b_ = nullptr;
};

_comms* CreateComms() {
  IClassFactory* factory = nullptr;
  if (FAILED(DllGetClassObject(CLSID_comms, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
    return nullptr;
  _comms* c = nullptr;
  if (FAILED(factory->CreateInstance(nullptr, IID__comms, reinterpret_cast<void**>(&c))))
    c = nullptr;
  factory->Release();
  return c;
}

constexpr short kSlot = 1;

// Terminal descriptors the open ports brought into the process; -1 is free.
constexpr int kMaxPortFds = 8;
volatile sig_atomic_t portFds[kMaxPortFds] = {-1, -1, -1, -1, -1, -1, -1, -1};

constexpr int kFdsToScan = 1024;

std::vector<bool> TerminalDescriptors() {
  std::vector<bool> ttys(kFdsToScan, false);
  for (int fd = STDERR_FILENO + 1; fd < kFdsToScan; ++fd)
    ttys[fd] = ::fcntl(fd, F_GETFD) != -1 && ::isatty(fd);
  return ttys;
}

void RememberNewTerminals(const std::vector<bool>& before) {
  const std::vector<bool> after = TerminalDescriptors();
  int slot = 0;
  for (int fd = STDERR_FILENO + 1; fd < kFdsToScan; ++fd) {
    if (!after[fd] || before[fd]) continue;
    while (slot < kMaxPortFds && portFds[slot] != -1) ++slot;
    if (slot == kMaxPortFds) return;
    portFds[slot] = fd;
  }
}

void OnFatalSignal(int sig) {
  ReleasePortsOnSignal();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

void ReleasePortsOnSignal() {
  for (int i = 0; i < kMaxPortFds; ++i)
    if (portFds[i] != -1) ::ioctl(portFds[i], TIOCNXCL);
}

void ReleasePortsOnFatalSignals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = OnFatalSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(sig, &sa, nullptr);
  }
}

std::string DescribeDevice(const std::string& name) {
  if (!platform::posix::ComPortNumber(name)) return name;
  std::string device;
  if (platform::posix::ResolveDeviceName(name, &device) == 0) return device + " (" + name + ")";
  bool usable = true;
  std::string why;
  platform::posix::MappedComPorts(&usable, &why);
  if (usable) return name + " (the registry file's port map holds no device path for it)";
  return name + " (the registry file's port map cannot be used: " + why + ")";
}

namespace {

// Access is denied (5) both to a port open elsewhere and to a device node
// this user may not open; the second is told apart here.
std::string PermissionHint(const std::string& name) {
  std::string device;
  if (platform::posix::ResolveDeviceName(name, &device) != 0 || device.empty()) return "";
  if (::access(device.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return "";
  std::string hint = "\n  this user may not open it";
  // A group that may read and write it, and still no access: this login is
  // not in that group (serial ports usually belong to dialout).
  struct stat st {};
  if (::stat(device.c_str(), &st) == 0 && st.st_gid != 0 &&
      (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
    if (const group* g = ::getgrgid(st.st_gid))
      hint += std::string(": it is for group ") + g->gr_name +
              ", which this login is not in (join it, then log in again)";
  }
  return hint;
}

}  // namespace

std::string ErrorLine(_comms* comms, const std::string& name) {
  Text message;
  LONG code = 0;
  std::string line;
  if (SUCCEEDED(comms->CommGetError(&message, &code))) line = message.Bytes();
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  line += "\n  device: " + DescribeDevice(name);
  if (code == 5) line += PermissionHint(name);
  return line;
}

std::string ComponentVersion() {
  _comms* comms = CreateComms();
  if (!comms) return "";
  Text version;
  comms->get_Version(&version);
  comms->Release();
  return version.Bytes();
}

std::unique_ptr<CommPort> CommPort::Open(const std::string& name, const std::string& mode,
                                         std::string* error) {
  _comms* comms = CreateComms();
  if (!comms) {
    *error = "cannot create the comms object";
    return nullptr;
  }
  std::unique_ptr<CommPort> port(new CommPort(comms, name));
  const std::vector<bool> terminalsBefore = TerminalDescriptors();
  short slot = kSlot;
  Text device(name), settings(mode);
  LONG result = -1;
  if (!device.valid() || !settings.valid() ||
      FAILED(comms->CommOpen(&slot, &device, &settings, &result)) || result != 0) {
    *error = port->Failure();
    return nullptr;  // the destructor closes a slot a later step left open
  }
  RememberNewTerminals(terminalsBefore);
  return port;
}

CommPort::~CommPort() {
  short slot = kSlot;
  LONG result = 0;
  comms_->CommClose(&slot, &result);
  comms_->Release();
  for (int i = 0; i < kMaxPortFds; ++i) portFds[i] = -1;
}

long CommPort::Write(const std::string& bytes) {
  short slot = kSlot;
  Text data(bytes);
  LONG written = -1;
  if (!data.valid() || FAILED(comms_->CommWrite(&slot, &data, &written))) return -1;
  return written;
}

bool CommPort::Read(std::string* bytes) {
  short slot = kSlot;
  Text data;
  LONG size = 0;  // what is waiting, no more: the read never waits
  LONG count = -1;
  if (FAILED(comms_->CommRead(&slot, &data, &size, &count)) || count < 0) return false;
  *bytes = data.Bytes();
  return true;
}

bool CommPort::ModemLines(unsigned* lines) {
  *lines = 0;
  short slot = kSlot;
  for (short mask : {0x10, 0x20, 0x40, 0x80}) {
    VARIANT_BOOL on = 0;
    LONG result = -1;
    if (FAILED(comms_->CommGetLine(&slot, &mask, &on, &result)) || result != 0) return false;
    if (on) *lines |= static_cast<unsigned>(mask);
  }
  return true;
}

bool CommPort::SetLine(short line, bool on) {
  short slot = kSlot;
  VARIANT_BOOL state = on ? VARIANT_TRUE : VARIANT_FALSE;
  LONG result = -1;
  return SUCCEEDED(comms_->CommSetLine(&slot, &line, &state, &result)) && result == 0;
}

std::string CommPort::Failure() const { return ErrorLine(comms_, name_); }

}  // namespace kavrel::cli
