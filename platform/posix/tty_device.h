// A tty device (a serial port, a USB serial adapter, a pseudo-terminal)
// behind a handle.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/device.h"

namespace kavrel::platform::posix {

// Opens path as a serial line: without creating anything or becoming the
// controlling terminal, without waiting for a carrier, exclusively (a second
// open from this or any other process fails with ERROR_ACCESS_DENIED until
// this device is closed), and only if it is a terminal device; anything else
// is refused with ERROR_NOT_SUPPORTED, without a byte written to it. The
// line is switched to raw transfers, keeping its speed, framing and hardware
// flow control.
DWORD OpenTty(const std::string& path, bool canRead, bool canWrite,
              std::shared_ptr<Device>& device);

}  // namespace kavrel::platform::posix
