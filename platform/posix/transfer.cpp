#include "platform/posix/transfer.h"

#include <new>
#include <optional>

#include "platform/hot_path.h"

namespace kavrel::platform::posix {

namespace {

using std::chrono::milliseconds;

// Beyond this a limit is no limit (and the clock arithmetic stays in range).
constexpr uint64_t kForeverMs = uint64_t{1} << 40;

Deadline After(Clock::time_point start, const std::optional<uint64_t>& ms) {
  if (!ms || *ms >= kForeverMs) return std::nullopt;
  return start + milliseconds(*ms);
}

Deadline Earlier(const Deadline& a, const Deadline& b) {
  if (!a) return b;
  if (!b) return a;
  return *a < *b ? a : b;
}

bool Passed(const Deadline& deadline, Clock::time_point now) {
  return deadline && now >= *deadline;
}

// A wait with no memory for its wake-up registration gives nothing (and
// the transfer ends as Kept says); any other outcome is the wait's.
std::optional<Waited> WaitUnlessOutOfMemory(Device& device, bool forWrite, const Deadline& deadline,
                                            uint64_t abortTicket) {
  try {
    return device.Wait(forWrite, deadline, abortTicket);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

// How a transfer that could not wait ends: with the bytes it has moved, as
// at a time-out, for a read's have left the device's queue and a write's
// have gone out, and a failure would report neither; with nothing moved, as
// out of memory.
DWORD Kept(DWORD moved) { return moved > 0 ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY; }

}  // namespace

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD size) {
  const DWORD interval = t.ReadIntervalTimeout;
  const DWORD multiplier = t.ReadTotalTimeoutMultiplier;
  const DWORD constant = t.ReadTotalTimeoutConstant;
  const uint64_t total = uint64_t{multiplier} * size + constant;
  ReadPlan plan;
  if (interval == MAXDWORD && multiplier == 0 && constant == 0) {
    plan.neverWait = true;
  } else if (interval == MAXDWORD && multiplier == MAXDWORD && constant > 0 &&
             constant < MAXDWORD) {
    plan.returnIfWaiting = true;
    plan.returnOnArrival = true;
    plan.totalMs = constant;
  } else if (interval == MAXDWORD && multiplier != MAXDWORD && constant != MAXDWORD) {
    plan.returnIfWaiting = true;
    plan.totalMs = total;
  } else {
    if (multiplier != 0 || constant != 0) plan.totalMs = total;
    if (interval != 0) plan.intervalMs = interval;
  }
  return plan;
}

std::optional<uint64_t> PlanWrite(const COMMTIMEOUTS& t, DWORD size) {
  if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) return std::nullopt;
  return uint64_t{t.WriteTotalTimeoutMultiplier} * size + t.WriteTotalTimeoutConstant;
}

DWORD FinishRead(Device& device, uint8_t* buffer, DWORD size, DWORD& moved, uint64_t abortTicket) {
  // The plan and the clock are needed only once the first attempt, which
  // never waits, leaves the read short: a read of bytes already waiting
  // neither reads the time-outs nor the clock.
  const ReadPlan plan = PlanRead(device.Timeouts(), size);
  if (plan.neverWait) return ERROR_SUCCESS;
  if (moved > 0 && (plan.returnIfWaiting || plan.returnOnArrival)) return ERROR_SUCCESS;
  Deadline total;
  Deadline intervalEnd;
  size_t lastStep = moved;  // what the last attempt read
  for (bool first = true;; first = false) {
    const Clock::time_point now = Clock::now();
    if (first) total = After(now, plan.totalMs);
    if (lastStep > 0 && plan.intervalMs) intervalEnd = After(now, plan.intervalMs);
    const Deadline deadline = Earlier(total, intervalEnd);
    if (Passed(deadline, now)) return ERROR_SUCCESS;

    const std::optional<Waited> waited =
        WaitUnlessOutOfMemory(device, false, deadline, abortTicket);
    if (!waited) return Kept(moved);
    if (waited->result == WaitResult::kAborted) return ERROR_OPERATION_ABORTED;
    if (waited->result == WaitResult::kFailed) return waited->error;
    if (device.AbortingErrorPending()) return ERROR_OPERATION_ABORTED;

    const Moved step = device.ReadNow(buffer + moved, size - moved);
    if (step.error != ERROR_SUCCESS) return step.error;
    moved += static_cast<DWORD>(step.count);
    if (moved == size) return ERROR_SUCCESS;
    if (moved > 0 && plan.returnOnArrival) return ERROR_SUCCESS;
    lastStep = step.count;
  }
}

DWORD FinishWrite(Device& device, const uint8_t* data, DWORD size, DWORD& moved,
                  uint64_t abortTicket) {
  // As for a read, the limit is asked for only once a write has to wait.
  Deadline deadline;
  for (bool first = true;; first = false) {
    const Clock::time_point now = Clock::now();
    if (first) deadline = After(now, PlanWrite(device.Timeouts(), size));
    if (Passed(deadline, now)) return ERROR_SUCCESS;

    const std::optional<Waited> waited = WaitUnlessOutOfMemory(device, true, deadline, abortTicket);
    if (!waited) return Kept(moved);
    if (waited->result == WaitResult::kAborted) return ERROR_OPERATION_ABORTED;
    if (waited->result == WaitResult::kFailed) return waited->error;
    if (device.AbortingErrorPending()) return ERROR_OPERATION_ABORTED;

    const Moved step = device.WriteNow(data + moved, size - moved);
    if (step.error != ERROR_SUCCESS) return step.error;
    moved += static_cast<DWORD>(step.count);
    if (moved == size) return ERROR_SUCCESS;
  }
}

}  // namespace kavrel::platform::posix
