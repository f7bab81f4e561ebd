// A network port as a device of the handle table: the device calls, with
// their time-out rules, run over it exactly as over a tty. One adapter for
// both builds (the socket or Winsock transport is the only difference).
#pragma once

#include <memory>

#include "platform/net/network_port.h"
#include "platform/posix/device.h"
#include "platform/posix/line_settings.h"

namespace kavrel::platform::net {

class NetworkPortDevice final : public posix::Device {
 public:
  NetworkPortDevice(std::unique_ptr<Transport> transport, bool canRead, bool canWrite)
      : Device(canRead, canWrite), port_(std::move(transport), posix::DefaultDcb()) {}

  NetworkPort& port() { return port_; }

  posix::Moved ReadNow(uint8_t* buffer, size_t size) override {
    const IoStep step = port_.ReadNow(buffer, size);
    return {step.count, step.error};
  }
  posix::Moved WriteNow(const uint8_t* data, size_t size) override {
    const IoStep step = port_.WriteNow(data, size);
    return {step.count, step.error};
  }
  posix::Waited Wait(bool forWrite, const posix::Deadline& deadline, uint64_t ticket) override {
    using posix::WaitResult;
    // Taken before the ticket is looked at: an abort after that look ends
    // the wait even when it comes before the wait begins.
    const uint64_t wakes = port_.Wakes();
    if (AbortTicket(forWrite) != ticket) return {WaitResult::kAborted};
    const PortWait result = port_.Wait(forWrite, deadline, wakes);
    if (AbortTicket(forWrite) != ticket) return {WaitResult::kAborted};
    switch (result) {
      case PortWait::kFailed:
        return {WaitResult::kFailed, ERROR_DEVICE_NOT_CONNECTED};
      case PortWait::kTimedOut:
        return {WaitResult::kTimedOut};
      case PortWait::kReady:
        break;
    }
    return {WaitResult::kReady};
  }
  bool AbortingErrorPending() override { return port_.AbortingErrorPending(); }
  DWORD GetState(DCB& dcb) override { return port_.GetState(dcb); }
  DWORD SetState(const DCB& dcb) override { return port_.SetState(dcb); }
  // The server sizes its buffers itself.
  DWORD SetQueueSizes(DWORD, DWORD) override { return port_.Connected(); }
  DWORD PurgeQueues(bool input, bool output) override { return port_.Purge(input, output); }
  DWORD ClearErrors(DWORD& errors, COMSTAT& stat) override {
    return port_.ClearErrors(errors, stat);
  }
  DWORD ModemStatus(DWORD& status) override { return port_.ModemStatus(status); }
  DWORD Escape(DWORD function) override { return port_.Escape(function); }

 protected:
  void WakeWaiters() override { port_.Wake(); }

 private:
  NetworkPort port_;
};

}  // namespace kavrel::platform::net
