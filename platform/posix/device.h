// One opened device behind a handle: a tty or an end of the built-in
// null-modem. The device operations validate the handle and their arguments,
// then call these; the time-out rules of ReadFile and WriteFile live once,
// in transfer.cpp, over ReadNow/WriteNow/Wait.
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/win32_records.h"

namespace kavrel::platform::posix {

using Clock = std::chrono::steady_clock;
// When a wait gives up; none waits without limit.
using Deadline = std::optional<Clock::time_point>;

// The time-out argument of poll(2) for a wait until deadline: -1 without
// one, 0 once it has passed, else the milliseconds left, rounded up.
inline int PollTimeout(const Deadline& deadline) {
  if (!deadline) return -1;
  const auto left = *deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// The outcome of a transfer step that does not wait: bytes moved (0 when
// the device has nothing to give or no room now), or a Win32 error.
struct Moved {
  size_t count = 0;
  DWORD error = ERROR_SUCCESS;
};

enum class WaitResult {
  kReady,     // something changed: try again (may be spurious)
  kTimedOut,  // the deadline passed
  kAborted,   // PurgeComm or CloseHandle ended the transfer
  kFailed,    // the device is gone; the error says how
};

struct Waited {
  WaitResult result = WaitResult::kReady;
  DWORD error = ERROR_SUCCESS;
};

// What GetOverlappedResult reports: the last transfer on the handle.
struct Transfer {
  DWORD count = 0;
  DWORD error = ERROR_SUCCESS;
};

class Device {
 public:
  virtual ~Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Transfers without waiting.
  virtual Moved ReadNow(uint8_t* buffer, size_t size) = 0;
  virtual Moved WriteNow(const uint8_t* data, size_t size) = 0;
  // Blocks until the device may have become readable (or writable), the
  // device goes away, AbortTransfers runs after `ticket` was taken, or the
  // deadline passes.
  virtual Waited Wait(bool forWrite, const Deadline& deadline, uint64_t ticket) = 0;
  // Whether an error-aborting line error is pending (DCB fAbortOnError): a
  // transfer then fails until ClearCommError.
  virtual bool AbortingErrorPending() = 0;

  // The other operations; each returns ERROR_SUCCESS or the Win32 error.
  virtual DWORD GetState(DCB& dcb) = 0;
  virtual DWORD SetState(const DCB& dcb) = 0;  // already validated
  virtual DWORD SetQueueSizes(DWORD inQueue, DWORD outQueue) = 0;
  virtual DWORD PurgeQueues(bool input, bool output) = 0;
  virtual DWORD ClearErrors(DWORD& errors, COMSTAT& stat) = 0;
  virtual DWORD ModemStatus(DWORD& status) = 0;
  virtual DWORD Escape(DWORD function) = 0;  // a known code

  // Ends the reads, the writes or both that are waiting now, on any thread.
  void AbortTransfers(bool reads, bool writes) {
    if (reads) abortTickets_[0].fetch_add(1, std::memory_order_acq_rel);
    if (writes) abortTickets_[1].fetch_add(1, std::memory_order_acq_rel);
    WakeWaiters();
  }
  uint64_t AbortTicket(bool forWrite) const {
    return abortTickets_[forWrite].load(std::memory_order_acquire);
  }

  // Read on every transfer, set seldom: a reader takes no lock, and tries
  // again in the rare case that a setter ran meanwhile. (A reader that sees
  // any value a setter stored also sees that setter's odd version.)
  COMMTIMEOUTS Timeouts() const {
    for (;;) {
      const uint32_t before = timeoutsVersion_.load(std::memory_order_acquire);
      COMMTIMEOUTS t;
      t.ReadIntervalTimeout = timeouts_[0].load(std::memory_order_acquire);
      t.ReadTotalTimeoutMultiplier = timeouts_[1].load(std::memory_order_acquire);
      t.ReadTotalTimeoutConstant = timeouts_[2].load(std::memory_order_acquire);
      t.WriteTotalTimeoutMultiplier = timeouts_[3].load(std::memory_order_acquire);
      t.WriteTotalTimeoutConstant = timeouts_[4].load(std::memory_order_acquire);
      if ((before & 1) == 0 && timeoutsVersion_.load(std::memory_order_relaxed) == before) return t;
    }
  }
  void SetTimeouts(const COMMTIMEOUTS& timeouts) {
    std::lock_guard lock(mutex_);  // one setter at a time
    const uint32_t version = timeoutsVersion_.load(std::memory_order_relaxed);
    timeoutsVersion_.store(version + 1, std::memory_order_relaxed);
    timeouts_[0].store(timeouts.ReadIntervalTimeout, std::memory_order_release);
    timeouts_[1].store(timeouts.ReadTotalTimeoutMultiplier, std::memory_order_release);
    timeouts_[2].store(timeouts.ReadTotalTimeoutConstant, std::memory_order_release);
    timeouts_[3].store(timeouts.WriteTotalTimeoutMultiplier, std::memory_order_release);
    timeouts_[4].store(timeouts.WriteTotalTimeoutConstant, std::memory_order_release);
    timeoutsVersion_.store(version + 2, std::memory_order_release);
  }
  Transfer LastTransfer() const {
    const uint64_t packed = lastTransfer_.load(std::memory_order_acquire);
    return {static_cast<DWORD>(packed), static_cast<DWORD>(packed >> 32)};
  }
  void SetLastTransfer(const Transfer& transfer) {
    lastTransfer_.store(uint64_t{transfer.count} | uint64_t{transfer.error} << 32,
                        std::memory_order_release);
  }

  bool canRead() const { return canRead_; }
  bool canWrite() const { return canWrite_; }

  // Set when the device's handle is closed; a transfer still running on it
  // may finish, but the handle no longer finds it.
  void MarkRemoved() { removed_.store(true, std::memory_order_release); }
  bool removed() const { return removed_.load(std::memory_order_acquire); }

 protected:
  Device(bool canRead, bool canWrite) : canRead_(canRead), canWrite_(canWrite) {}
  virtual void WakeWaiters() = 0;

 private:
  const bool canRead_;
  const bool canWrite_;
  std::atomic<uint64_t> abortTickets_[2] = {0, 0};  // reads, writes
  std::mutex mutex_;
  std::atomic<uint32_t> timeoutsVersion_{0};          // odd while a setter writes
  std::atomic<DWORD> timeouts_[5] = {0, 0, 0, 0, 0};  // all zero, as a freshly opened Windows port
  std::atomic<uint64_t> lastTransfer_{0};             // count, error << 32
  std::atomic<bool> removed_{false};
};

}  // namespace kavrel::platform::posix
