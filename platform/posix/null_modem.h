// The built-in virtual null-modem: in-process cables whose two ends open as
// devices named NULLMODEM<n>A and NULLMODEM<n>B (n from 0 to 63, any case,
// optionally after "\\.\"). Appending ":PACED" to a name makes what that end
// sends travel at its configured baud rate instead of at once.
//
// What one end writes the other reads; DTR drives the other end's DSR and
// carrier detect, RTS its CTS; a break sets CE_BREAK at the other end and
// holds transmission while it lasts. Each end is a device like any other:
// exclusive, with time-outs, queues and flow control (CTS, DSR, SETXOFF).
// An end's settings outlive its handle, as a serial driver keeps them.
// When one end closes while the other is open, the other end has lost its
// peer: once its input queue is empty, reads, writes and ClearCommError fail
// with ERROR_DEVICE_NOT_CONNECTED until it is closed.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "platform/posix/device.h"

namespace kavrel::platform::posix {

inline constexpr unsigned kNullModemCables = 64;

struct NullModemEndName {
  unsigned cable = 0;
  unsigned end = 0;  // 0 for A, 1 for B
  bool paced = false;
};

std::optional<NullModemEndName> ParseNullModemName(std::string_view name);

// ERROR_ACCESS_DENIED when the end is open already.
DWORD OpenNullModemEnd(const NullModemEndName& name, bool canRead, bool canWrite,
                       std::shared_ptr<Device>& device);

// Test hooks, by end name: line errors (CE_RXOVER, CE_OVERRUN, CE_RXPARITY,
// CE_FRAME, CE_BREAK) as if received at that end, and the ring indicator
// that end sees. False when the name is not a null-modem end or the end is
// not open.
bool NullModemInjectLineErrors(std::string_view endName, DWORD errors);
bool NullModemSetRing(std::string_view endName, bool on);

}  // namespace kavrel::platform::posix
