// The byte level of a Telnet COM port connection (the protocol serial servers
// such as ser2net speak on their "telnet(rfc2217)" ports): option
// negotiation, the COM-PORT-OPTION subnegotiations and the doubling of byte
// 0xFF in the data stream. No sockets here: the codec turns received bytes
// into data and replies, and queues what is to be sent in its outbox.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavrel::platform::net {

namespace telnet {
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kIac = 255;

inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kEcho = 1;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPort = 44;
}  // namespace telnet

// COM-PORT-OPTION commands as the client sends them; the server answers and
// notifies with the same number plus kServerOffset.
enum class ComPortCommand : uint8_t {
  kSignature = 0,
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
inline constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
namespace control {
inline constexpr uint8_t kNoFlowControl = 1;
inline constexpr uint8_t kXonXoff = 2;
inline constexpr uint8_t kHardwareFlow = 3;
inline constexpr uint8_t kBreakOn = 5;
inline constexpr uint8_t kBreakOff = 6;
inline constexpr uint8_t kDtrOn = 8;
inline constexpr uint8_t kDtrOff = 9;
inline constexpr uint8_t kRtsOn = 11;
inline constexpr uint8_t kRtsOff = 12;
// Outbound flow control a server may have set up by other means.
inline constexpr uint8_t kDcdFlow = 17;
inline constexpr uint8_t kDsrFlow = 19;
}  // namespace control

// PURGE-DATA values: the server's buffer of data from the line, of data to
// the line, or both.
namespace purge {
inline constexpr uint8_t kReceive = 1;
inline constexpr uint8_t kTransmit = 2;
inline constexpr uint8_t kBoth = 3;
}  // namespace purge

// One COM-PORT-OPTION message from the server, with the client's command
// number. `value` is the 32-bit big-endian baud rate for SET-BAUDRATE and the
// single byte for every other command (0 when the message carried none).
struct ComPortReply {
  ComPortCommand command{};
  uint32_t value = 0;
  size_t dataBefore = 0;  // the data queue's size when the message ended
};

// Received data waiting to be read: appended at the back, taken from the
// front, without moving bytes on every read.
class ByteQueue {
 public:
  size_t size() const { return bytes_.size() - head_; }
  bool empty() const { return size() == 0; }
  void Append(const uint8_t* data, size_t size) { bytes_.insert(bytes_.end(), data, data + size); }
  size_t Take(uint8_t* buffer, size_t size);
  void Clear() {
    bytes_.clear();
    head_ = 0;
  }
  // Drops what lies beyond the first `size` bytes.
  void Truncate(size_t size) {
    if (size < this->size()) bytes_.resize(head_ + size);
  }
  // Drops the first `size` bytes (or all there are).
  void Drop(size_t size) {
    head_ += size < this->size() ? size : this->size();
    if (head_ == bytes_.size()) Clear();
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t head_ = 0;
};

class TelnetCodec {
 public:
  // Asks for BINARY both ways and offers COM-PORT-OPTION.
  void Start();

  // Splits received bytes into data (appended to `data`), negotiation (the
  // answers go to the outbox) and COM-PORT-OPTION messages (appended to
  // `replies`). A sequence cut between two calls continues in the next.
  void Receive(const uint8_t* bytes, size_t size, ByteQueue& data,
               std::vector<ComPortReply>& replies);

  // Queues a COM-PORT-OPTION command with its value bytes, 0xFF doubled.
  void QueueCommand(ComPortCommand command, const uint8_t* value, size_t size);
  void QueueCommand(ComPortCommand command, uint8_t value) { QueueCommand(command, &value, 1); }
  void QueueBaudRate(uint32_t baud);

  // Bytes waiting to be sent, in order; the caller removes what it sent.
  std::vector<uint8_t>& outbox() { return outbox_; }
  const std::vector<uint8_t>& outbox() const { return outbox_; }

  // Whether the server agreed to each option.
  bool BinaryBothWays() const { return local_[telnet::kBinary].on && remote_[telnet::kBinary].on; }
  bool ComPortAgreed() const { return local_[telnet::kComPort].on; }
  bool ComPortRefused() const { return comPortRefused_; }
  // The server answered the request for BINARY, either way, with a refusal.
  bool BinaryRefused() const { return binaryRefused_; }

 private:
  struct OptionState {
    bool on = false;
    bool asked = false;  // we sent WILL (local) or DO (remote) and await the answer
  };
  enum class State : uint8_t { kData, kIac, kVerb, kSbOption, kSb, kSbIac };

  void Negotiate(uint8_t verb, uint8_t option);
  void Queue3(uint8_t a, uint8_t b, uint8_t c) { outbox_.insert(outbox_.end(), {a, b, c}); }
  void EndSubnegotiation(std::vector<ComPortReply>& replies);

  OptionState local_[256];   // options this side performs (WILL/WONT)
  OptionState remote_[256];  // options the server performs (DO/DONT)
  bool comPortRefused_ = false;
  bool binaryRefused_ = false;
  State state_ = State::kData;
  uint8_t verb_ = 0;
  uint8_t sbOption_ = 0;
  std::vector<uint8_t> sb_;
  std::vector<uint8_t> outbox_;
};

// Data bytes as they travel: 0xFF doubled. Encodes from `data` while the
// output has room for the whole encoding of a byte; returns the bytes
// written to `out` and sets `consumed` to the data bytes they carry.
size_t EncodeData(const uint8_t* data, size_t size, uint8_t* out, size_t room, size_t& consumed);

}  // namespace kavrel::platform::net
