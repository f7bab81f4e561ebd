// ReadFile and WriteFile over any device, by the Windows serial driver's
// time-out rules.
#pragma once

#include "platform/posix/device.h"

namespace kavrel::platform::posix {

// How a read of n bytes waits, derived from the time-out record.
struct ReadPlan {
  bool neverWait = false;              // return with what is waiting, even nothing
  bool returnIfWaiting = false;        // bytes already waiting end the call at once
  bool returnOnArrival = false;        // the first bytes to arrive end the call
  std::optional<uint64_t> totalMs;     // limit on the whole call
  std::optional<uint64_t> intervalMs;  // limit between two bytes, from the first
};

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD size);
std::optional<uint64_t> PlanWrite(const COMMTIMEOUTS& t, DWORD size);

// Both return ERROR_SUCCESS or the error that ended the transfer; `moved`
// holds the bytes transferred either way. A time-out is not an error.
DWORD ReadWithTimeouts(Device& device, uint8_t* buffer, DWORD size, DWORD& moved);
DWORD WriteWithTimeouts(Device& device, const uint8_t* data, DWORD size, DWORD& moved);

}  // namespace kavrel::platform::posix
