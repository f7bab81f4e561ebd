#include "platform/net/network_port.h"

#include <algorithm>
#include <cstring>

#include "platform/line_modes.h"

namespace kavrel::platform::net {

namespace {

using std::chrono::milliseconds;

constexpr std::string_view kScheme = "rfc2217://";
// Received data this side holds before it leaves the rest to TCP's own
// flow control.
constexpr size_t kInputLimit = 256 * 1024;
// Answers to the server (option refusals) this side queues before it reads
// no more from a server that does not read them.
constexpr size_t kAnswerLimit = 64 * 1024;
constexpr size_t kChunk = 64 * 1024;
// Reads per pump when the input limit does not apply, so that a stream
// that never pauses still lets the caller look at its clock.
constexpr int kPumpRounds = 64;
constexpr std::chrono::milliseconds kLookInterval{2};
// How often a close tries again to send what the stream had no room for:
// a socket may take a few bytes well before it reports room to write.
constexpr std::chrono::milliseconds kRetry{10};

constexpr uint8_t kModemLines = 0xF0;  // CTS, DSR, RI, DCD: the MS_*_ON bits
// Notifications asked for: the lines and their change bits. A server sends
// a modem state only when it has a bit of the mask on (ser2net: a change
// bit), so a mask of the lines alone would never hear of a line that drops
// when no other is on, and from ser2net nothing after the first state.
constexpr uint8_t kModemStateMask = 0xFF;
constexpr uint8_t kLineErrors = 0x1E;  // overrun, parity, framing, break

DWORD ErrorFlags(uint8_t lineState) {
  DWORD flags = 0;
  if (lineState & 0x02) flags |= CE_OVERRUN;
  if (lineState & 0x04) flags |= CE_RXPARITY;
  if (lineState & 0x08) flags |= CE_FRAME;
  if (lineState & 0x10) flags |= CE_BREAK;
  return flags;
}

// Protocol codes of the DCB's members.
uint8_t ParityCode(BYTE parity) { return static_cast<uint8_t>(parity + 1); }
uint8_t StopCode(BYTE stopBits) {
  return stopBits == ONESTOPBIT ? 1 : stopBits == TWOSTOPBITS ? 2 : 3;
}
// Hardware flow control holds the output while CTS is low: only CTS flow
// control asks for it, not RTS handshake alone.
uint8_t FlowCode(const DCB& dcb) {
  if (dcb.fOutxCtsFlow) return control::kHardwareFlow;
  if (dcb.fOutX || dcb.fInX) return control::kXonXoff;
  return control::kNoFlowControl;
}

// Within 2%, the tolerance of asynchronous serial framing.
bool CloseEnough(uint32_t actual, DWORD wanted) {
  const unsigned long long a = actual, w = wanted;
  return a * 50 >= w * 49 && a * 50 <= w * 51;
}

bool DecimalPort(std::string_view text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

bool HostNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

bool HexDigit(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9');
}

// A dotted IPv4 address, as the last 32 bits of an IPv6 one: four
// decimal numbers to 255, without leading zeros.
bool Ipv4Tail(std::string_view text) {
  for (int part = 0; part < 4; ++part) {
    const size_t dot = text.find('.');
    if ((dot == std::string_view::npos) != (part == 3)) return false;
    const std::string_view number = text.substr(0, dot);
    if (number.empty() || number.size() > 3 || (number.size() > 1 && number[0] == '0')) {
      return false;
    }
    unsigned value = 0;
    for (char c : number) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255) return false;
    if (dot != std::string_view::npos) text.remove_prefix(dot + 1);
  }
  return true;
}

// Colon-separated groups of 1 to 4 hex digits (the last may be an IPv4
// address, worth two); counts them into `groups`.
bool Ipv6Groups(std::string_view text, bool last, int& groups) {
  groups = 0;
  if (text.empty()) return true;
  for (;;) {
    const size_t colon = text.find(':');
    const std::string_view group = text.substr(0, colon);
    if (last && colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
      if (!Ipv4Tail(group)) return false;
      groups += 2;
      return true;
    }
    if (group.empty() || group.size() > 4 || !std::all_of(group.begin(), group.end(), HexDigit)) {
      return false;
    }
    ++groups;
    if (colon == std::string_view::npos) return true;
    text.remove_prefix(colon + 1);
  }
}

// An IPv6 address in its text form, with an optional zone (an interface
// name or number) after '%'.
bool Ipv6Literal(std::string_view host) {
  const size_t percent = host.find('%');
  if (percent != std::string_view::npos) {
    const std::string_view zone = host.substr(percent + 1);
    if (zone.empty() || !std::all_of(zone.begin(), zone.end(), HostNameCharacter)) return false;
    host = host.substr(0, percent);
  }
  const size_t gap = host.find("::");
  int left = 0, right = 0;
  if (gap == std::string_view::npos) return Ipv6Groups(host, true, left) && left == 8;
  if (host.find("::", gap + 1) != std::string_view::npos) return false;
  return Ipv6Groups(host.substr(0, gap), false, left) &&
         Ipv6Groups(host.substr(gap + 2), true, right) && left + right <= 7;
}

}  // namespace

bool IsNetworkPortName(std::string_view name) {
  if (name.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return false;
  }
  return true;
}

std::optional<NetworkPortName> ParseNetworkPortName(std::string_view name) {
  if (!IsNetworkPortName(name)) return std::nullopt;
  name.remove_prefix(kScheme.size());
  NetworkPortName parsed;
  std::string_view host, port;
  if (!name.empty() && name[0] == '[') {
    const size_t close = name.find(']');
    if (close == std::string_view::npos || close + 1 >= name.size() || name[close + 1] != ':') {
      return std::nullopt;
    }
    host = name.substr(1, close - 1);
    port = name.substr(close + 2);
    if (!Ipv6Literal(host)) return std::nullopt;
  } else {
    const size_t colon = name.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = name.substr(0, colon);
    port = name.substr(colon + 1);
    if (!std::all_of(host.begin(), host.end(), HostNameCharacter)) return std::nullopt;
  }
  if (host.empty() || host.size() > 253 || !DecimalPort(port, parsed.port)) return std::nullopt;
  parsed.host = std::string(host);
  return parsed;
}

NetworkPort::NetworkPort(std::unique_ptr<Transport> transport, const DCB& initial, size_t mostHeld)
    : transport_(std::move(transport)), scratch_(kChunk), mostHeld_(mostHeld), shadow_(initial) {}

NetworkPort::~NetworkPort() {
  std::lock_guard lock(mutex_);
  // A forked child sends nothing on the connection its parent uses.
  if (!transport_->Owned()) return;
  // A break left on ends with the port, as a local port's does: a server
  // that keeps its device open would hold the line in break for its next
  // user.
  if (breakOn_ && !closed_) {
    codec_.QueueCommand(ComPortCommand::kSetControl, control::kBreakOff);
  }
  // A stream still full of written data takes the rest a moment later:
  // it is given the time a setting is given, not dropped at once (the
  // server would see half a doubled 0xFF, or miss a line change).
  const Clock::time_point until = Clock::now() + kSettingWait;
  for (Flush(); !codec_.outbox().empty() && !closed_ && Clock::now() < until; Flush()) {
    transport_->Wait(false, true, std::min(until, Clock::now() + kRetry), transport_->Wakes());
  }
}

DWORD NetworkPort::Negotiate(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  codec_.Start();
  // Without binary transmission data bytes do not pass as they are: a
  // refusal of either direction ends the negotiation at once.
  auto refused = [&] { return codec_.ComPortRefused() || codec_.BinaryRefused(); };
  DWORD error = Await(lock, deadline, [&] {
    return (codec_.ComPortAgreed() && codec_.BinaryBothWays()) || refused();
  });
  if (error == ERROR_DEVICE_NOT_CONNECTED) return ERROR_ACCESS_DENIED;
  if (error != ERROR_SUCCESS || refused()) return ERROR_NOT_SUPPORTED;

  // Line changes as they happen, and the line as the server has it now (a
  // zero value asks without changing anything).
  codec_.QueueCommand(ComPortCommand::kSetModemStateMask, kModemStateMask);
  codec_.QueueCommand(ComPortCommand::kSetLineStateMask, kLineErrors);
  codec_.QueueBaudRate(0);
  codec_.QueueCommand(ComPortCommand::kSetDataSize, 0);
  codec_.QueueCommand(ComPortCommand::kSetParity, 0);
  codec_.QueueCommand(ComPortCommand::kSetStopSize, 0);
  codec_.QueueCommand(ComPortCommand::kSetControl, 0);
  error = Await(lock, deadline, [&] {
    return answers_[kBaud] && answers_[kSize] && answers_[kParity] && answers_[kStop] &&
           answers_[kFlow];
  });
  // Refused users hear the greeting before the server hangs up.
  if (error == ERROR_DEVICE_NOT_CONNECTED) return ERROR_ACCESS_DENIED;
  return error;
}

void NetworkPort::Flush() {
  std::vector<uint8_t>& out = codec_.outbox();
  while (!out.empty() && !closed_) {
    const IoStep step = transport_->Send(out.data(), out.size());
    if (step.error != ERROR_SUCCESS) {
      closed_ = true;
    } else if (step.count == 0) {
      break;
    } else {
      out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(step.count));
    }
  }
}

bool NetworkPort::ReadsOn(bool beyondQueueLimit) const {
  return (beyondQueueLimit || in_.size() < kInputLimit) && codec_.outbox().size() < kAnswerLimit;
}

void NetworkPort::Pump(bool beyondQueueLimit) {
  for (int round = 0; round < kPumpRounds && !closed_; ++round) {
    if (!ReadsOn(beyondQueueLimit)) break;
    const IoStep step = transport_->Receive(scratch_.data(), scratch_.size());
    if (step.error != ERROR_SUCCESS) {
      closed_ = true;
      break;
    }
    if (step.count == 0) break;
    codec_.Receive(scratch_.data(), step.count, in_, replies_);
    if (in_.size() > mostHeld_) {
      in_.Truncate(mostHeld_);
      lineErrors_ |= CE_RXOVER;
    }
    size_t dropped = 0;
    for (const ComPortReply& reply : replies_) {
      if (reply.command == ComPortCommand::kPurgeData) {
        silent_[kPurge] = false;
        if ((reply.value & purge::kReceive) && answers_[kPurge] != inputPurgesSent_) {
          ++answers_[kPurge];
          const size_t stale = reply.dataBefore - std::min(reply.dataBefore, dropped);
          in_.Drop(stale);
          dropped += stale;
        }
      } else {
        Take(reply);
      }
    }
    replies_.clear();
    if (step.count < scratch_.size()) break;
  }
}

bool NetworkPort::Stale(Answer kind, uint32_t value) {
  if (!owed_[kind]) return false;
  // A server answers in order: this is the answer owed, or that one never
  // comes. Only an answer that fits the old request and not the new one is
  // taken for the old: one that fits both says the same either way.
  owed_[kind] = false;
  auto fits = [&](uint32_t wanted) {
    return kind == kBaud ? CloseEnough(value, wanted) : value == wanted;
  };
  return asking_ && fits(owedValue_[kind]) && !fits(asked_[kind]);
}

void NetworkPort::Take(const ComPortReply& reply) {
  const auto value = static_cast<uint8_t>(reply.value);
  auto answered = [&](Answer kind) {
    ++answers_[kind];
    silent_[kind] = false;
  };
  switch (reply.command) {
    case ComPortCommand::kSetBaudRate:
      if (Stale(kBaud, reply.value)) break;
      baud_ = reply.value;
      answered(kBaud);
      break;
    case ComPortCommand::kSetDataSize:
      if (Stale(kSize, value)) break;
      size_ = value;
      answered(kSize);
      break;
    case ComPortCommand::kSetParity:
      if (Stale(kParity, value)) break;
      parity_ = value;
      answered(kParity);
      break;
    case ComPortCommand::kSetStopSize:
      if (Stale(kStop, value)) break;
      stop_ = value;
      answered(kStop);
      break;
    case ComPortCommand::kSetControl:
      // The outbound flow control: one of the three this side sets, or DCD
      // or DSR flow on a server set up that way (which asked for the
      // current setting answers with it).
      if ((value >= control::kNoFlowControl && value <= control::kHardwareFlow) ||
          value == control::kDcdFlow || value == control::kDsrFlow) {
        if (Stale(kFlow, value)) break;
        flow_ = value;
        answered(kFlow);
      } else if (value == control::kDtrOn || value == control::kDtrOff) {
        lines_[0] = value;
        answered(kDtr);
      } else if (value == control::kRtsOn || value == control::kRtsOff) {
        lines_[1] = value;
        answered(kRts);
      }
      break;
    case ComPortCommand::kNotifyLineState:
      lineErrors_ |= ErrorFlags(value);
      break;
    case ComPortCommand::kNotifyModemState:
      modem_ = value & kModemLines;
      answered(kModem);
      break;
    case ComPortCommand::kFlowControlSuspend:
      suspended_ = true;
      break;
    case ComPortCommand::kFlowControlResume:
      suspended_ = false;
      break;
    default:
      break;
  }
}

template <class Done>
DWORD NetworkPort::Await(std::unique_lock<std::mutex>& lock, Clock::time_point until, Done done) {
  for (;;) {
    Flush();
    Pump(true);
    if (done()) return ERROR_SUCCESS;
    if (closed_) return Lost();
    if (Clock::now() >= until) return ERROR_SEM_TIMEOUT;
    const bool receive = ReadsOn(true);
    const bool send = !codec_.outbox().empty();
    const uint64_t wakes = transport_->Wakes();
    lock.unlock();
    transport_->Wait(receive, send, until, wakes);
    lock.lock();
  }
}

IoStep NetworkPort::ReadNow(uint8_t* buffer, size_t size) {
  std::lock_guard lock(mutex_);
  Flush();
  if (in_.size() < size) Pump(false);
  const size_t count = in_.Take(buffer, size);
  if (count == 0 && closed_) return {0, Lost()};
  return {count, ERROR_SUCCESS};
}

IoStep NetworkPort::WriteNow(const uint8_t* data, size_t size) {
  std::lock_guard lock(mutex_);
  Flush();
  // A suspension or a hang-up may be waiting; a stream of writes looks for
  // them every few milliseconds rather than with a system call each.
  const Clock::time_point now = Clock::now();
  if (suspended_ || now - lastLook_ >= kLookInterval) {
    lastLook_ = now;
    Pump(suspended_);  // the resumption may lie behind more data than is held
  }
  if (closed_) return {0, Lost()};
  if (size == 0 || !CanSendData()) return {};
  const size_t span = std::min(size, kChunk / 2);
  if (!std::memchr(data, telnet::kIac, span)) {
    const IoStep step = transport_->Send(data, span);
    if (step.error != ERROR_SUCCESS) closed_ = true;
    return step;
  }
  size_t consumed = 0;
  const size_t encoded = EncodeData(data, span, scratch_.data(), scratch_.size(), consumed);
  const IoStep step = transport_->Send(scratch_.data(), encoded);
  if (step.error != ERROR_SUCCESS) {
    closed_ = true;
    return step;
  }
  // The data bytes that went; a 0xFF whose first half went counts as sent,
  // its second half goes ahead of everything else.
  size_t sent = 0, moved = 0;
  while (sent < step.count) {
    if (data[moved] == telnet::kIac) {
      if (sent + 1 == step.count) codec_.outbox().push_back(telnet::kIac);
      sent += 2;
    } else {
      ++sent;
    }
    ++moved;
  }
  return {moved, ERROR_SUCCESS};
}

PortWait NetworkPort::Wait(bool forWrite, const Deadline& deadline, uint64_t wakesSeen) {
  std::unique_lock lock(mutex_);
  Flush();
  Pump(suspended_);
  if (!forWrite && !in_.empty()) return PortWait::kReady;
  if (closed_) return PortWait::kFailed;
  if (deadline && Clock::now() >= *deadline) return PortWait::kTimedOut;
  const bool receive = ReadsOn(suspended_);  // as the pump above
  const bool send = !codec_.outbox().empty() || (forWrite && CanSendData());
  lock.unlock();
  transport_->Wait(receive, send, deadline, wakesSeen);
  return PortWait::kReady;
}

bool NetworkPort::AbortingErrorPending() {
  std::lock_guard lock(mutex_);
  return shadow_.fAbortOnError && lineErrors_ != 0;
}

DWORD NetworkPort::GetState(DCB& dcb) {
  std::lock_guard lock(mutex_);
  Flush();
  Pump(false);
  if (closed_) return Lost();
  dcb = shadow_;
  // Values no line can have (a server that answers a query with 0) leave
  // the block as it was, as for parity and stop bits below.
  if (baud_ != 0) dcb.BaudRate = baud_;
  if (size_ >= 5 && size_ <= 8) dcb.ByteSize = size_;
  if (parity_ >= 1 && parity_ <= 5) dcb.Parity = static_cast<BYTE>(parity_ - 1);
  if (stop_ == 1) dcb.StopBits = ONESTOPBIT;
  if (stop_ == 2) dcb.StopBits = TWOSTOPBITS;
  if (stop_ == 3) dcb.StopBits = ONE5STOPBITS;
  // The server's hardware flow control is CTS flow control, with RTS
  // handshake unless the block has an RTS handshake of its own; RTS
  // handshake without it is kept in the block.
  const bool hardware = flow_ == control::kHardwareFlow;
  if (hardware && !dcb.fOutxCtsFlow && dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  }
  dcb.fOutxCtsFlow = hardware ? 1 : 0;
  const bool software = flow_ == control::kXonXoff;
  if (software && !dcb.fOutX && !dcb.fInX) dcb.fOutX = dcb.fInX = 1;
  if (!software) dcb.fOutX = dcb.fInX = 0;
  return ERROR_SUCCESS;
}

DWORD NetworkPort::SetState(const DCB& dcb) {
  // RTS that follows transmission is nothing the protocol can ask for.
  if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) return ERROR_INVALID_PARAMETER;
  std::unique_lock lock(mutex_);
  Flush();
  Pump(false);
  if (closed_) return Lost();
  uint32_t before[kAnswerKinds];
  std::copy(std::begin(answers_), std::end(answers_), before);
  const uint8_t flow = FlowCode(dcb);
  codec_.QueueBaudRate(dcb.BaudRate);
  codec_.QueueCommand(ComPortCommand::kSetDataSize, dcb.ByteSize);
  codec_.QueueCommand(ComPortCommand::kSetParity, ParityCode(dcb.Parity));
  codec_.QueueCommand(ComPortCommand::kSetStopSize, StopCode(dcb.StopBits));
  codec_.QueueCommand(ComPortCommand::kSetControl, flow);
  // DTR and RTS as the DCB says; a server whose device has no such lines
  // does not answer, which is no reason to refuse the settings. After the
  // first settings a line changes only with its control mode, as on
  // Windows: one the caller has set or cleared stays so through a new speed.
  if (!linesSet_ || DtrModeChanged(shadow_, dcb)) {
    codec_.QueueCommand(ComPortCommand::kSetControl, dcb.fDtrControl != DTR_CONTROL_DISABLE
                                                         ? control::kDtrOn
                                                         : control::kDtrOff);
  }
  // RTS handshake without CTS flow control has no code: RTS stays on.
  if (!linesSet_ || RtsModeChanged(shadow_, dcb)) {
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
      codec_.QueueCommand(ComPortCommand::kSetControl, dcb.fRtsControl == RTS_CONTROL_ENABLE
                                                           ? control::kRtsOn
                                                           : control::kRtsOff);
    } else if (flow != control::kHardwareFlow) {
      codec_.QueueCommand(ComPortCommand::kSetControl, control::kRtsOn);
    }
  }
  linesSet_ = true;
  constexpr Answer kSettings[] = {kBaud, kSize, kParity, kStop, kFlow};
  asked_[kBaud] = dcb.BaudRate;
  asked_[kSize] = dcb.ByteSize;
  asked_[kParity] = ParityCode(dcb.Parity);
  asked_[kStop] = StopCode(dcb.StopBits);
  asked_[kFlow] = flow;
  asking_ = true;
  const DWORD error = Await(lock, Clock::now() + kSettingWait, [&] {
    for (Answer kind : kSettings) {
      if (answers_[kind] == before[kind]) return false;
    }
    return true;
  });
  asking_ = false;
  // An answer that comes after the wait belongs to this request, not to
  // the next one.
  for (Answer kind : kSettings) {
    if (answers_[kind] == before[kind]) {
      owed_[kind] = true;
      owedValue_[kind] = asked_[kind];
    }
  }
  // A server that answered some settings and not the others applied only
  // those (ser2net leaves 1.5 stop bits unanswered on a device without
  // them): a refusal, like an answer with another value, not a time-out.
  const bool someAnswered =
      std::any_of(std::begin(kSettings), std::end(kSettings),
                  [&](Answer kind) { return answers_[kind] != before[kind]; });
  if (error != ERROR_SUCCESS && !(error == ERROR_SEM_TIMEOUT && someAnswered)) return error;
  shadow_ = dcb;
  shadow_.DCBlength = sizeof(DCB);
  shadow_.fBinary = 1;
  shadow_.fDummy2 = 0;
  // The server answers with what it applied: anything else is a refusal.
  if (!CloseEnough(baud_, dcb.BaudRate) || size_ != dcb.ByteSize ||
      parity_ != ParityCode(dcb.Parity) || stop_ != StopCode(dcb.StopBits) || flow_ != flow) {
    return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

DWORD NetworkPort::Connected() {
  std::lock_guard lock(mutex_);
  Flush();
  Pump(false);
  return closed_ ? Lost() : ERROR_SUCCESS;
}

DWORD NetworkPort::Purge(bool input, bool output) {
  std::unique_lock lock(mutex_);
  Flush();
  if (input) {
    in_.Clear();  // first, so that bytes about to go count toward no overrun
    Pump(true);   // what has arrived by now goes too
    in_.Clear();
  }
  if (closed_) return Lost();
  if (input || output) {
    codec_.QueueCommand(ComPortCommand::kPurgeData, input && output ? purge::kBoth
                                                    : input         ? purge::kReceive
                                                                    : purge::kTransmit);
    Flush();
    // The server purges its receive side when the command reaches it: until
    // it answers, what arrives was received before the purge and goes too,
    // and data its device receives after the purge returns is kept.
    if (input && !silent_[kPurge] && !closed_) {
      const uint32_t mine = ++inputPurgesSent_;
      const DWORD error = Await(lock, Clock::now() + kLineWait,
                                [&] { return static_cast<int32_t>(answers_[kPurge] - mine) >= 0; });
      if (error == ERROR_SEM_TIMEOUT) {
        silent_[kPurge] = true;  // not waited for again unless the server answers after all
        return ERROR_SUCCESS;
      }
      return error;
    }
  }
  return closed_ ? Lost() : ERROR_SUCCESS;
}

DWORD NetworkPort::ClearErrors(DWORD& errors, COMSTAT& stat) {
  std::lock_guard lock(mutex_);
  Flush();
  Pump(false);
  if (closed_ && in_.empty()) return Lost();
  errors = lineErrors_;
  lineErrors_ = 0;
  stat = COMSTAT{};
  stat.fXoffHold = suspended_ || xoffHold_;
  stat.cbInQue = static_cast<DWORD>(std::min<size_t>(in_.size(), MAXDWORD));
  stat.cbOutQue = static_cast<DWORD>(codec_.outbox().size());
  return ERROR_SUCCESS;
}

DWORD NetworkPort::ModemStatus(DWORD& status) {
  std::unique_lock lock(mutex_);
  Flush();
  Pump(false);
  if (closed_) return Lost();
  if (answers_[kModem] == 0) {
    if (silent_[kModem]) return ERROR_NOT_SUPPORTED;
    const DWORD error =
        Await(lock, Clock::now() + kLineWait, [&] { return answers_[kModem] != 0; });
    if (error == ERROR_SEM_TIMEOUT) {
      silent_[kModem] = true;
      return ERROR_NOT_SUPPORTED;
    }
    if (error != ERROR_SUCCESS) return error;
  }
  status = modem_;
  return ERROR_SUCCESS;
}

DWORD NetworkPort::SetLine(std::unique_lock<std::mutex>& lock, Answer line, uint8_t value) {
  codec_.QueueCommand(ComPortCommand::kSetControl, value);
  if (silent_[line]) {
    Flush();
    return closed_ ? Lost() : ERROR_NOT_SUPPORTED;
  }
  const uint32_t before = answers_[line];
  // An answer with the other state (or one to an earlier change still on
  // its way) is no success: the line is as asked only once the server says so.
  const DWORD error = Await(lock, Clock::now() + kLineWait, [&] {
    return answers_[line] != before && lines_[line - kDtr] == value;
  });
  if (error == ERROR_SEM_TIMEOUT) {
    // As a device without control of the line; one that never answered
    // is not waited for again unless the server answers after all.
    if (answers_[line] == before) silent_[line] = true;
    return ERROR_NOT_SUPPORTED;
  }
  return error;
}

DWORD NetworkPort::Escape(DWORD function) {
  std::unique_lock lock(mutex_);
  Flush();
  Pump(false);
  if (closed_) return Lost();
  switch (function) {
    case SETXOFF:  // transmit as if XOFF had been received
    case SETXON:
      xoffHold_ = function == SETXOFF;
      lock.unlock();
      transport_->Wake();  // a write waiting for room may go on
      return ERROR_SUCCESS;
    case SETRTS:
    case CLRRTS:
      // A line under handshake control is the server's, not the caller's.
      if (shadow_.fRtsControl == RTS_CONTROL_HANDSHAKE) return ERROR_INVALID_PARAMETER;
      return SetLine(lock, kRts, function == SETRTS ? control::kRtsOn : control::kRtsOff);
    case SETDTR:
    case CLRDTR:
      if (shadow_.fDtrControl == DTR_CONTROL_HANDSHAKE) return ERROR_INVALID_PARAMETER;
      return SetLine(lock, kDtr, function == SETDTR ? control::kDtrOn : control::kDtrOff);
    case RESETDEV:
      return ERROR_SUCCESS;
    case SETBREAK:
    case CLRBREAK:
      // As on Windows, a break suspends transmission: data written
      // meanwhile goes after the break, not to a device sending one.
      codec_.QueueCommand(ComPortCommand::kSetControl,
                          function == SETBREAK ? control::kBreakOn : control::kBreakOff);
      breakOn_ = function == SETBREAK;
      Flush();
      if (closed_) return Lost();
      lock.unlock();
      transport_->Wake();  // a write waiting for the break to end may go on
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace kavrel::platform::net
