// The node name in a device's sysfs uevent file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace kavrel::platform::posix {

// The DEVNAME a uevent file gives: the device's node as a path below /dev.
// Empty when the file cannot be read, has none, or names something outside
// /dev.
inline std::string UeventNodeName(const std::string& ueventPath) {
  const int fd = ::open(ueventPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  char text[4096];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return {};
  std::string_view lines(text, static_cast<size_t>(n));
  while (!lines.empty()) {
    const size_t eol = lines.find('\n');
    const std::string_view line = lines.substr(0, eol);
    if (line.starts_with("DEVNAME=")) {
      const std::string_view name = line.substr(8);
      if (!name.empty() && name.find("..") == std::string_view::npos && name[0] != '/')
        return std::string(name);
    }
    if (eol == std::string_view::npos) break;
    lines.remove_prefix(eol + 1);
  }
  return {};
}

}  // namespace kavrel::platform::posix
