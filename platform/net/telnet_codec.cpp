#include "platform/net/telnet_codec.h"

#include <algorithm>
#include <cstring>

namespace kavrel::platform::net {

namespace {

using namespace telnet;

// A subnegotiation longer than any COM-PORT-OPTION message is cut here.
constexpr size_t kLongestSubnegotiation = 64;

bool PerformHere(uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}
// The server may echo nothing back and may perform no COM port of its own.
bool LetServerPerform(uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }

}  // namespace

size_t ByteQueue::Take(uint8_t* buffer, size_t size) {
  const size_t count = std::min(size, this->size());
  if (count == 0) return 0;
  std::memcpy(buffer, bytes_.data() + head_, count);
  head_ += count;
  if (head_ == bytes_.size()) {
    Clear();
  } else if (head_ >= 65536 && head_ * 2 >= bytes_.size()) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  return count;
}

void TelnetCodec::Start() {
  local_[kBinary].asked = true;
  Queue3(kIac, kWill, kBinary);
  remote_[kBinary].asked = true;
  Queue3(kIac, kDo, kBinary);
  local_[kComPort].asked = true;
  Queue3(kIac, kWill, kComPort);
}

// Answers only what changes an option's state, so that two sides can never
// keep answering each other.
void TelnetCodec::Negotiate(uint8_t verb, uint8_t option) {
  switch (verb) {
    case kWill: {
      OptionState& s = remote_[option];
      if (!LetServerPerform(option)) {
        Queue3(kIac, kDont, option);
      } else if (!s.on) {
        s.on = true;
        if (!s.asked) Queue3(kIac, kDo, option);
      }
      s.asked = false;
      break;
    }
    case kWont: {
      OptionState& s = remote_[option];
      if (option == kBinary && s.asked) binaryRefused_ = true;
      if (s.on) {
        s.on = false;
        Queue3(kIac, kDont, option);
      }
      s.asked = false;
      break;
    }
    case kDo: {
      OptionState& s = local_[option];
      if (!PerformHere(option)) {
        Queue3(kIac, kWont, option);
      } else if (!s.on) {
        s.on = true;
        if (!s.asked) Queue3(kIac, kWill, option);
      }
      s.asked = false;
      break;
    }
    case kDont: {
      OptionState& s = local_[option];
      if (option == kComPort && (s.on || s.asked)) comPortRefused_ = true;
      if (option == kBinary && s.asked) binaryRefused_ = true;
      if (s.on) {
        s.on = false;
        Queue3(kIac, kWont, option);
      }
      s.asked = false;
      break;
    }
    default:
      break;
  }
}

void TelnetCodec::Receive(const uint8_t* bytes, size_t size, ByteQueue& data,
                          std::vector<ComPortReply>& replies) {
  const uint8_t* const end = bytes + size;
  const uint8_t* p = bytes;
  while (p < end) {
    if (state_ == State::kData) {
      // Runs of plain data go to the queue in one piece.
      const auto* iac = static_cast<const uint8_t*>(std::memchr(p, kIac, end - p));
      const uint8_t* stop = iac ? iac : end;
      data.Append(p, stop - p);
      p = stop;
      if (iac) {
        state_ = State::kIac;
        ++p;
      }
      continue;
    }
    const uint8_t b = *p++;
    switch (state_) {
      case State::kIac:
        if (b == kIac) {
          data.Append(&b, 1);
          state_ = State::kData;
        } else if (b >= kWill) {
          verb_ = b;
          state_ = State::kVerb;
        } else if (b == kSb) {
          state_ = State::kSbOption;
        } else {
          state_ = State::kData;  // NOP, GA, a stray SE and the like carry nothing here
        }
        break;
      case State::kVerb:
        Negotiate(verb_, b);
        state_ = State::kData;
        break;
      case State::kSbOption:
        sbOption_ = b;
        sb_.clear();
        state_ = State::kSb;
        break;
      case State::kSb:
        if (b == kIac) {
          state_ = State::kSbIac;
        } else if (sb_.size() < kLongestSubnegotiation) {
          sb_.push_back(b);
        }
        break;
      case State::kSbIac:
        if (b == kIac) {
          if (sb_.size() < kLongestSubnegotiation) sb_.push_back(b);
          state_ = State::kSb;
        } else if (b == kSe) {
          const size_t known = replies.size();
          EndSubnegotiation(replies);
          if (replies.size() > known) replies.back().dataBefore = data.size();
          state_ = State::kData;
        } else {
          // A command inside an unterminated subnegotiation: the
          // subnegotiation is dropped and the command taken as such.
          --p;
          state_ = State::kIac;
        }
        break;
      case State::kData:
        break;
    }
  }
}

void TelnetCodec::EndSubnegotiation(std::vector<ComPortReply>& replies) {
  if (sbOption_ != kComPort || sb_.empty()) return;
  const uint8_t code = sb_[0];
  if (code < kServerOffset ||
      code > kServerOffset + static_cast<uint8_t>(ComPortCommand::kPurgeData)) {
    return;
  }
  ComPortReply reply;
  reply.command = static_cast<ComPortCommand>(code - kServerOffset);
  switch (reply.command) {
    case ComPortCommand::kSetBaudRate:
      if (sb_.size() < 5) return;
      reply.value =
          uint32_t{sb_[1]} << 24 | uint32_t{sb_[2]} << 16 | uint32_t{sb_[3]} << 8 | sb_[4];
      break;
    case ComPortCommand::kSignature:
    case ComPortCommand::kFlowControlSuspend:
    case ComPortCommand::kFlowControlResume:
      if (sb_.size() >= 2) reply.value = sb_[1];
      break;
    default:
      // A message that lacks its value says nothing: taken as 0 it would
      // read as a data size of 0 or a line with every signal off.
      if (sb_.size() < 2) return;
      reply.value = sb_[1];
      break;
  }
  replies.push_back(reply);
}

void TelnetCodec::QueueCommand(ComPortCommand command, const uint8_t* value, size_t size) {
  outbox_.insert(outbox_.end(), {kIac, kSb, kComPort, static_cast<uint8_t>(command)});
  for (size_t i = 0; i < size; ++i) {
    outbox_.push_back(value[i]);
    if (value[i] == kIac) outbox_.push_back(kIac);
  }
  outbox_.insert(outbox_.end(), {kIac, kSe});
}

void TelnetCodec::QueueBaudRate(uint32_t baud) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                            static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
  QueueCommand(ComPortCommand::kSetBaudRate, bytes, 4);
}

size_t EncodeData(const uint8_t* data, size_t size, uint8_t* out, size_t room, size_t& consumed) {
  size_t in = 0, written = 0;
  while (in < size && written < room) {
    const size_t span = std::min(size - in, room - written);
    const auto* iac = static_cast<const uint8_t*>(std::memchr(data + in, kIac, span));
    const size_t plain = iac ? static_cast<size_t>(iac - (data + in)) : span;
    std::memcpy(out + written, data + in, plain);
    in += plain;
    written += plain;
    if (!iac) continue;
    if (room - written < 2) break;  // a doubled 0xFF is never split
    out[written++] = kIac;
    out[written++] = kIac;
    ++in;
  }
  consumed = in;
  return written;
}

}  // namespace kavrel::platform::net
