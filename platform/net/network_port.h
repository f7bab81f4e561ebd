// A serial port on a serial server, reached over a byte stream: the Win32
// port operations carried by the Telnet COM port protocol. The stream itself
// is a Transport, so this code serves every socket API.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/telnet_codec.h"
#include "platform/win32_records.h"

namespace kavrel::platform::net {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;  // none: no limit

// Win32 numbers of network failures.
inline constexpr DWORD kErrorBadNetPath = 53;           // the host name does not resolve
inline constexpr DWORD kErrorConnectionRefused = 1225;  // nothing listens on the port
inline constexpr DWORD kErrorNetworkUnreachable = 1231;
inline constexpr DWORD kErrorHostUnreachable = 1232;

// "rfc2217://HOST:PORT": a host name, an IPv4 address or an IPv6 address in
// brackets, and a port from 1 to 65535. The scheme is matched in any case.
struct NetworkPortName {
  std::string host;  // without the brackets
  uint16_t port = 0;
};
bool IsNetworkPortName(std::string_view name);  // the scheme alone
std::optional<NetworkPortName> ParseNetworkPortName(std::string_view name);

struct IoStep {
  size_t count = 0;
  DWORD error = ERROR_SUCCESS;
};

// A connected byte stream that never blocks except in Wait.
class Transport {
 public:
  virtual ~Transport() = default;
  // What can go now (0 when the stream is full); ERROR_DEVICE_NOT_CONNECTED
  // once the connection is gone.
  virtual IoStep Send(const uint8_t* data, size_t size) = 0;
  // What has arrived (0 when nothing has); ERROR_DEVICE_NOT_CONNECTED at the
  // end of the stream.
  virtual IoStep Receive(uint8_t* buffer, size_t size) = 0;
  // Returns when the stream may be read (wantReceive) or written
  // (wantSend), when Wake is called (or has been since Wakes() gave
  // wakesSeen), or at the deadline; may return early.
  virtual void Wait(bool wantReceive, bool wantSend, const Deadline& deadline,
                    uint64_t wakesSeen) = 0;
  // Ends a Wait on any thread.
  virtual void Wake() = 0;
  // Whether this process speaks for the connection: a forked child only
  // lets go of its copy and must not change the line its parent uses.
  virtual bool Owned() const { return true; }
  uint64_t Wakes() const { return wakes_.load(std::memory_order_acquire); }

 protected:
  // First thing in Wake, before any waiter is woken.
  void CountWake() { wakes_.fetch_add(1, std::memory_order_acq_rel); }

 private:
  std::atomic<uint64_t> wakes_{0};
};

enum class PortWait { kReady, kTimedOut, kFailed };

// Every operation is safe on any thread; waits happen outside the lock.
class NetworkPort {
 public:
  // `mostHeld`: the received data held at most (below).
  NetworkPort(std::unique_ptr<Transport> transport, const DCB& initial,
              size_t mostHeld = kMostHeld);
  // Ends a break left on, and sends what is still queued (the second half
  // of a 0xFF already counted as written, a line change) before the
  // transport hangs up.
  ~NetworkPort();

  // Option negotiation on a fresh connection, up to the deadline. A server
  // that closes the connection meanwhile refuses this user (ser2net does so
  // while another client has the port): ERROR_ACCESS_DENIED. One that does
  // not speak the COM port protocol: ERROR_NOT_SUPPORTED.
  DWORD Negotiate(Clock::time_point deadline);

  // Transfers without waiting, and one wait for either.
  IoStep ReadNow(uint8_t* buffer, size_t size);
  IoStep WriteNow(const uint8_t* data, size_t size);
  // wakesSeen: Wakes() before the caller last looked at what ends its wait.
  PortWait Wait(bool forWrite, const Deadline& deadline, uint64_t wakesSeen);
  PortWait Wait(bool forWrite, const Deadline& deadline) {
    return Wait(forWrite, deadline, Wakes());
  }
  void Wake() { transport_->Wake(); }
  uint64_t Wakes() const { return transport_->Wakes(); }

  bool AbortingErrorPending();
  DWORD GetState(DCB& dcb);
  DWORD SetState(const DCB& dcb);  // already validated
  DWORD Connected();               // ERROR_SUCCESS while the connection lasts
  DWORD Purge(bool input, bool output);
  DWORD ClearErrors(DWORD& errors, COMSTAT& stat);
  DWORD ModemStatus(DWORD& status);
  DWORD Escape(DWORD function);  // a known code

  // How long a setting waits for the server's answer, and a line change or
  // the first modem state (which some servers never send) before the port
  // answers as a device without those lines.
  static constexpr std::chrono::milliseconds kSettingWait{3000};
  static constexpr std::chrono::milliseconds kLineWait{500};
  // Received data held at most: a wait for an answer, or for a resumption
  // of a suspended flow, reads past the usual limit to find it, and data
  // beyond this is lost to an overrun (CE_RXOVER), as on a local port.
  static constexpr size_t kMostHeld = 16u << 20;

 private:
  // What the server answers; kPurge counts its answers to input purges.
  enum Answer { kBaud, kSize, kParity, kStop, kFlow, kDtr, kRts, kModem, kPurge, kAnswerKinds };

  void Flush();
  void Pump(bool beyondQueueLimit);
  // Whether a pump reads from the server: while what is held is under the
  // input limit (or beyond it, when asked) and while the answers to what it
  // reads can still be queued.
  bool ReadsOn(bool beyondQueueLimit) const;
  void Take(const ComPortReply& reply);
  // Whether an answer to a setting is the late one to a request that was
  // given up on, while a newer request waits for its own.
  bool Stale(Answer kind, uint32_t value);
  bool CanSendData() const {
    return !suspended_ && !xoffHold_ && !breakOn_ && codec_.outbox().empty();
  }
  DWORD Lost() const { return ERROR_DEVICE_NOT_CONNECTED; }
  // Sends what is queued, then waits (lock released) until `done` holds,
  // the connection goes or `until` passes (ERROR_SEM_TIMEOUT).
  template <class Done>
  DWORD Await(std::unique_lock<std::mutex>& lock, Clock::time_point until, Done done);
  DWORD SetLine(std::unique_lock<std::mutex>& lock, Answer line, uint8_t value);

  std::mutex mutex_;
  const std::unique_ptr<Transport> transport_;
  TelnetCodec codec_;
  ByteQueue in_;
  std::vector<ComPortReply> replies_;
  std::vector<uint8_t> scratch_;
  const size_t mostHeld_;
  Clock::time_point lastLook_{};  // when a write last looked at what arrived
  bool closed_ = false;
  bool suspended_ = false;  // FLOWCONTROL-SUSPEND from the server
  bool xoffHold_ = false;   // SETXOFF
  bool breakOn_ = false;    // SETBREAK: data waits until CLRBREAK
  bool linesSet_ = false;   // SetState has sent DTR and RTS
  uint32_t answers_[kAnswerKinds] = {};
  bool silent_[kAnswerKinds] = {};  // asked before and never answered
  // Settings: the values a waiting SetState asked for, and those of a
  // request left unanswered when its wait ended (its answer may yet come).
  bool asking_ = false;
  uint32_t asked_[kAnswerKinds] = {};
  bool owed_[kAnswerKinds] = {};
  uint32_t owedValue_[kAnswerKinds] = {};
  uint8_t lines_[2] = {};  // DTR and RTS as the server last answered
  uint32_t baud_ = 9600;
  uint8_t size_ = 8, parity_ = 1, stop_ = 1, flow_ = control::kNoFlowControl;
  uint8_t modem_ = 0;
  // Purges of the server's receive side sent (answers_[kPurge] counts those
  // answered): data the server sent ahead of such an answer was received
  // before that purge.
  uint32_t inputPurgesSent_ = 0;
  DWORD lineErrors_ = 0;
  DCB shadow_{};  // the DCB as last set; the server's answers override what they hold
};

}  // namespace kavrel::platform::net
