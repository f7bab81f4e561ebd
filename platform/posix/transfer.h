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

// The rest of a read whose first attempt left it short: by the time-outs,
// waits for bytes and reads on. `moved` holds what the first attempt read.
DWORD FinishRead(Device& device, uint8_t* buffer, DWORD size, DWORD& moved, uint64_t abortTicket);

// Both return ERROR_SUCCESS or the error that ended the transfer; `moved`
// holds the bytes transferred either way. A time-out is not an error.
//
// The first attempt is inline, and given a device's own final class its
// steps are called directly: a read of bytes already waiting makes no call
// through the device's interface.
template <class AnyDevice>
inline DWORD ReadWithTimeouts(AnyDevice& device, uint8_t* buffer, DWORD size, DWORD& moved) {
  moved = 0;
  const uint64_t ticket = device.AbortTicket(false);
  if (device.AbortingErrorPending()) return ERROR_OPERATION_ABORTED;
  if (size == 0) return ERROR_SUCCESS;
  const Moved step = device.ReadNow(buffer, size);
  if (step.error != ERROR_SUCCESS) return step.error;
  moved = static_cast<DWORD>(step.count);
  if (moved == size) return ERROR_SUCCESS;
  return FinishRead(device, buffer, size, moved, ticket);
}

// The rest of a write whose first attempt left it short: waits for room by
// the time-outs and writes on. `moved` holds what the first attempt wrote.
DWORD FinishWrite(Device& device, const uint8_t* data, DWORD size, DWORD& moved,
                  uint64_t abortTicket);

// The first attempt is inline: a write that the queue takes at once runs
// one frame nearer its system call (each frame costs a mispredicted return
// after a system call on some processors).
inline DWORD WriteWithTimeouts(Device& device, const uint8_t* data, DWORD size, DWORD& moved) {
  moved = 0;
  const uint64_t ticket = device.AbortTicket(true);
  if (device.AbortingErrorPending()) return ERROR_OPERATION_ABORTED;
  // Also with nothing to write, so that a device that is gone says so.
  const Moved step = device.WriteNow(data, size);
  if (step.error != ERROR_SUCCESS) return step.error;
  moved = static_cast<DWORD>(step.count);
  if (moved == size) return ERROR_SUCCESS;
  return FinishWrite(device, data, size, moved, ticket);
}

}  // namespace kavrel::platform::posix
