// libFuzzer target for the receive side of a network port: whatever a
// broken or hostile serial server sends (negotiation, COM-PORT-OPTION
// answers, doubled 0xFF, subnegotiations cut anywhere), however the stream
// is split across reads. Two layers:
//
// - The codec alone: the same bytes fed whole and in fuzzer-chosen pieces
//   give the same data, messages, answers and option states; the data is
//   the stream's data bytes with 0xFF undoubled; the answers are whole
//   negotiation commands and never outgrow what provoked them.
// - A NetworkPort over an in-memory transport that plays the bytes back in
//   pieces, takes what is sent in pieces and hangs up once it has nothing
//   more to say, while the port is driven with reads, writes, settings and
//   line calls. What is read is the data sent by the server (less what a
//   purge or an overrun dropped); what is written reaches the wire exactly
//   once, well framed among the commands; nothing hangs.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/net/network_port.h"
#include "platform/posix/line_settings.h"

namespace {

using namespace kavrel::platform;
using namespace kavrel::platform::net;
using Bytes = std::vector<uint8_t>;

void Require(bool ok) {
  if (!ok) std::abort();
}

// The data bytes of a server's stream, decoded the plain way, byte by byte:
// IAC IAC is a data 0xFF; IAC and a verb take one more byte; IAC SB runs to
// IAC SE, and any other command after an IAC inside it ends it.
struct PlainDecode {
  Bytes data;
  size_t subnegotiations = 0;  // complete ones for COM-PORT-OPTION
  size_t negotiations = 0;     // IAC WILL/WONT/DO/DONT option
};

PlainDecode Decode(const Bytes& in) {
  PlainDecode out;
  enum { kData, kIac, kVerb, kSbOption, kSb, kSbIac } state = kData;
  uint8_t option = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    const uint8_t b = in[i];
    switch (state) {
      case kData:
        if (b == 255) {
          state = kIac;
        } else {
          out.data.push_back(b);
        }
        break;
      case kIac:
        if (b == 255) {
          out.data.push_back(b);
          state = kData;
        } else if (b >= 251) {
          state = kVerb;
        } else if (b == 250) {
          state = kSbOption;
        } else {
          state = kData;
        }
        break;
      case kVerb:
        ++out.negotiations;
        state = kData;
        break;
      case kSbOption:
        option = b;
        state = kSb;
        break;
      case kSb:
        if (b == 255) state = kSbIac;
        break;
      case kSbIac:
        if (b == 255) {
          state = kSb;
        } else if (b == 240) {
          if (option == 44) ++out.subnegotiations;
          state = kData;
        } else {
          state = kIac;
          --i;
        }
        break;
    }
  }
  return out;
}

// What a codec made of a stream.
struct CodecResult {
  Bytes data;
  std::vector<ComPortReply> replies;
  Bytes outbox;
  bool flags[4];
};

CodecResult RunCodec(const Bytes& wire, const std::vector<size_t>& cuts, bool start) {
  TelnetCodec codec;
  if (start) {
    codec.Start();
    codec.outbox().clear();
  }
  ByteQueue queue;
  CodecResult r;
  size_t at = 0, cut = 0;
  while (at < wire.size()) {
    size_t n = cuts.empty() ? wire.size() : cuts[cut++ % cuts.size()];
    n = std::min(n, wire.size() - at);
    codec.Receive(wire.data() + at, n, queue, r.replies);
    at += n;
    // Part of the queue is read now and then, as a port does.
    if (cut % 3 == 0) {
      uint8_t taken[7];
      const size_t got = queue.Take(taken, sizeof taken);
      r.data.insert(r.data.end(), taken, taken + got);
    }
  }
  const size_t rest = r.data.size();
  r.data.resize(rest + queue.size());
  Require(queue.Take(r.data.data() + rest, queue.size()) == r.data.size() - rest);
  Require(queue.empty());
  r.outbox = codec.outbox();
  r.flags[0] = codec.BinaryBothWays();
  r.flags[1] = codec.ComPortAgreed();
  r.flags[2] = codec.ComPortRefused();
  r.flags[3] = codec.BinaryRefused();
  return r;
}

void CheckCodec(const Bytes& wire, const std::vector<size_t>& cuts, bool start) {
  const CodecResult whole = RunCodec(wire, {}, start);
  const CodecResult pieces = RunCodec(wire, cuts, start);
  const PlainDecode plain = Decode(wire);
  Require(whole.data == plain.data);
  Require(pieces.data == plain.data);
  Require(whole.outbox == pieces.outbox);
  Require(std::equal(std::begin(whole.flags), std::end(whole.flags), std::begin(pieces.flags)));
  Require(whole.replies.size() == pieces.replies.size());
  for (size_t i = 0; i < whole.replies.size(); ++i) {
    Require(whole.replies[i].command == pieces.replies[i].command);
    Require(whole.replies[i].value == pieces.replies[i].value);
    Require(static_cast<uint8_t>(whole.replies[i].command) <= 12);
  }
  Require(whole.replies.size() <= plain.subnegotiations);
  // At most one three-byte answer per negotiation received, each whole.
  Require(whole.outbox.size() <= 3 * plain.negotiations);
  for (size_t i = 0; i < whole.outbox.size(); i += 3) {
    Require(i + 3 <= whole.outbox.size());
    Require(whole.outbox[i] == 255);
    Require(whole.outbox[i + 1] >= 251 && whole.outbox[i + 1] <= 254);
  }
}

// The server end of a connection, in memory: hands the client the wire in
// the given pieces, takes what the client sends in the given amounts, and
// hangs up when the client waits for more than there is.
struct Server {
  Bytes wire;
  size_t at = 0;
  std::vector<size_t> pieces;  // 0: nothing has arrived this time
  size_t piece = 0;
  std::vector<size_t> rooms;  // 0: the stream is full this time
  size_t room = 0;
  bool lastReceiveEmpty = false;
  bool lastSendEmpty = false;
  bool hungUp = false;
  int waits = 0;
  Bytes sent;
};

class ScriptedTransport final : public Transport {
 public:
  explicit ScriptedTransport(Server& s) : s_(s) {}

  IoStep Send(const uint8_t* data, size_t size) override {
    if (s_.hungUp) return {0, ERROR_DEVICE_NOT_CONNECTED};
    size_t n = s_.rooms.empty() ? size : s_.rooms[s_.room++ % s_.rooms.size()];
    // A full stream empties again: never full twice in a row.
    if (n == 0 && s_.lastSendEmpty) n = 1;
    n = std::min(n, size);
    s_.lastSendEmpty = n == 0;
    s_.sent.insert(s_.sent.end(), data, data + n);
    return {n, ERROR_SUCCESS};
  }
  IoStep Receive(uint8_t* buffer, size_t size) override {
    if (s_.at == s_.wire.size()) {
      if (s_.hungUp) return {0, ERROR_DEVICE_NOT_CONNECTED};
      return {};
    }
    size_t n = s_.pieces.empty() ? size : s_.pieces[s_.piece++ % s_.pieces.size()];
    if (n == 0 && s_.lastReceiveEmpty) n = 1;
    n = std::min({n, size, s_.wire.size() - s_.at});
    s_.lastReceiveEmpty = n == 0;
    std::memcpy(buffer, s_.wire.data() + s_.at, n);
    s_.at += n;
    return {n, ERROR_SUCCESS};
  }
  void Wait(bool wantReceive, bool, const Deadline&, uint64_t) override {
    // Nothing more will come: the server hangs up rather than let the
    // client wait out its time.
    if ((wantReceive && s_.at == s_.wire.size()) || ++s_.waits > 100000) s_.hungUp = true;
  }
  void Wake() override { CountWake(); }

 private:
  Server& s_;
};

// The client's stream as the server reads it: data with 0xFF doubled,
// negotiation commands and COM-PORT-OPTION subnegotiations, nothing else.
// Returns the data; `cut` tells whether the stream stops inside a sequence,
// `halfFF` whether it stops right after an IAC.
Bytes ClientData(const Bytes& sent, bool& cut, bool& halfFF) {
  Bytes data, command;
  bool breakOn = false;
  enum { kData, kIac, kVerb, kSbOption, kSb, kSbIac } state = kData;
  for (uint8_t b : sent) {
    switch (state) {
      case kData:
        if (b == 255) {
          state = kIac;
        } else {
          Require(!breakOn);  // data waits while a break is on
          data.push_back(b);
        }
        break;
      case kIac:
        if (b == 255) {
          Require(!breakOn);
          data.push_back(b);
          state = kData;
        } else if (b >= 251) {
          state = kVerb;
        } else {
          Require(b == 250);
          state = kSbOption;
        }
        break;
      case kVerb:
        state = kData;
        break;
      case kSbOption:
        Require(b == 44);
        command.clear();
        state = kSb;
        break;
      case kSb:
        if (b == 255) {
          state = kSbIac;
        } else {
          command.push_back(b);
        }
        break;
      case kSbIac:
        Require(b == 255 || b == 240);
        if (b == 255) {
          command.push_back(b);
          state = kSb;
          break;
        }
        // SET-CONTROL BREAK on and off.
        if (command.size() == 2 && command[0] == 5 && (command[1] == 5 || command[1] == 6)) {
          breakOn = command[1] == 5;
        }
        state = kData;
        break;
    }
  }
  cut = state != kData;
  halfFF = state == kIac;
  return data;
}

bool IsSubsequence(const Bytes& part, const Bytes& whole) {
  size_t j = 0;
  for (size_t i = 0; i < whole.size() && j < part.size(); ++i) {
    if (whole[i] == part[j]) ++j;
  }
  return j == part.size();
}

DCB FuzzedDcb(FuzzedDataProvider& in) {
  static constexpr DWORD kBauds[] = {110, 300, 1200, 9600, 19200, 38400, 57600, 115200, 921600};
  DCB dcb = posix::DefaultDcb();
  dcb.BaudRate = in.ConsumeBool() ? kBauds[in.ConsumeIntegralInRange<size_t>(0, 8)]
                                  : in.ConsumeIntegralInRange<DWORD>(1, 0xFFFFFFFF);
  dcb.ByteSize = in.ConsumeIntegralInRange<BYTE>(5, 8);
  dcb.Parity = in.ConsumeIntegralInRange<BYTE>(0, 4);
  dcb.StopBits = in.ConsumeIntegralInRange<BYTE>(0, 2);
  dcb.fOutxCtsFlow = in.ConsumeBool();
  dcb.fOutX = in.ConsumeBool();
  dcb.fInX = in.ConsumeBool();
  dcb.fDtrControl = in.ConsumeIntegralInRange<DWORD>(0, 2);
  dcb.fRtsControl = in.ConsumeIntegralInRange<DWORD>(0, 3);
  dcb.fAbortOnError = in.ConsumeBool();
  return dcb;
}

void CheckDcb(const DCB& dcb) {
  Require(dcb.BaudRate != 0);
  Require(dcb.ByteSize >= 5 && dcb.ByteSize <= 8);
  Require(dcb.Parity <= 4);
  Require(dcb.StopBits <= 2);
}

std::vector<size_t> Pieces(FuzzedDataProvider& in, size_t most) {
  std::vector<size_t> out(in.ConsumeIntegralInRange<size_t>(0, 8));
  for (size_t& n : out) n = in.ConsumeIntegralInRange<size_t>(0, most);
  return out;
}

void RunPort(FuzzedDataProvider& in, const Bytes& wire) {
  Server server;
  server.wire = wire;
  server.pieces = Pieces(in, 40);
  server.rooms = Pieces(in, 40);
  // A small hold limit lets the overrun path run on small inputs.
  const bool smallHold = in.ConsumeBool();
  const size_t mostHeld =
      smallHold ? in.ConsumeIntegralInRange<size_t>(1, 64) : NetworkPort::kMostHeld;
  Bytes read, written;
  bool dropped = smallHold;  // data may have gone to an overrun or a purge
  {
    auto port = std::make_unique<NetworkPort>(std::make_unique<ScriptedTransport>(server),
                                              posix::DefaultDcb(), mostHeld);
    if (in.ConsumeBool()) port->Negotiate(Clock::now() + std::chrono::seconds(5));
    for (int op = 0; op < 48 && in.remaining_bytes() > 0; ++op) {
      switch (in.ConsumeIntegralInRange<int>(0, 10)) {
        case 0: {
          uint8_t buffer[64];
          const IoStep step = port->ReadNow(buffer, in.ConsumeIntegralInRange<size_t>(0, 64));
          Require(step.count <= 64);
          read.insert(read.end(), buffer, buffer + step.count);
          break;
        }
        case 1: {
          Bytes data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 48));
          if (in.ConsumeBool()) {
            for (size_t i = 0; i < data.size(); i += 2) data[i] = 255;
          }
          const IoStep step = port->WriteNow(data.data(), data.size());
          Require(step.count <= data.size());
          written.insert(written.end(), data.begin(),
                         data.begin() + static_cast<std::ptrdiff_t>(step.count));
          break;
        }
        case 2: {
          DCB dcb{};
          if (port->GetState(dcb) == ERROR_SUCCESS) CheckDcb(dcb);
          break;
        }
        case 3:
          port->SetState(FuzzedDcb(in));
          break;
        case 4: {
          DWORD status = 0;
          if (port->ModemStatus(status) == ERROR_SUCCESS) Require((status & ~0xF0u) == 0);
          break;
        }
        case 5:
          port->Escape(in.ConsumeIntegralInRange<DWORD>(0, 10));
          break;
        case 6: {
          const bool input = in.ConsumeBool();
          dropped |= input;
          port->Purge(input, in.ConsumeBool());
          break;
        }
        case 7: {
          DWORD errors = 0;
          COMSTAT stat{};
          if (port->ClearErrors(errors, stat) == ERROR_SUCCESS) {
            Require((errors & ~DWORD{CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK | CE_RXOVER}) ==
                    0);
          }
          break;
        }
        case 8:
          port->Connected();
          break;
        case 9:
          port->AbortingErrorPending();
          break;
        case 10:
          // A deadline already past: the wait looks and returns.
          port->Wait(in.ConsumeBool(), Clock::now() - std::chrono::seconds(1));
          break;
      }
    }
    // Whatever is left arrives and is read, also after a hang-up.
    for (int round = 0; round < 1000000; ++round) {
      uint8_t buffer[256];
      const IoStep step = port->ReadNow(buffer, sizeof buffer);
      read.insert(read.end(), buffer, buffer + step.count);
      if (step.count == 0 && (step.error != ERROR_SUCCESS || server.at == server.wire.size()))
        break;
    }
    Require(server.at == server.wire.size());
  }
  const Bytes expected = Decode(wire).data;
  if (dropped) {
    Require(IsSubsequence(read, expected));
  } else {
    Require(read == expected);
  }
  bool cut = false, halfFF = false;
  Bytes wireData = ClientData(server.sent, cut, halfFF);
  // A port that closes while the server listens sends everything first.
  Require(server.hungUp || !cut);
  // A 0xFF whose first half went before the hang-up counts as written.
  if (wireData != written && halfFF) wireData.push_back(255);
  Require(wireData == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool start = in.ConsumeBool();
  std::vector<size_t> cuts = Pieces(in, 24);
  std::replace(cuts.begin(), cuts.end(), size_t{0}, size_t{1});
  const Bytes wire =
      in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, in.remaining_bytes()));
  CheckCodec(wire, cuts, start);
  RunPort(in, wire);
  return 0;
}
