// The Telnet COM port protocol without sockets: negotiation, framing, the
// doubling of 0xFF, and the port operations over an in-memory server.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <thread>

#include "platform/net/network_port.h"
#include "platform/posix/line_settings.h"

namespace kavrel::testing {
namespace {

using namespace platform::net;
using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

constexpr int IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

struct Decoded {
  std::string data;
  std::vector<ComPortReply> replies;
};

Decoded Feed(TelnetCodec& codec, const Bytes& in, bool byteByByte = false) {
  ByteQueue queue;
  Decoded d;
  if (byteByByte) {
    for (uint8_t b : in) codec.Receive(&b, 1, queue, d.replies);
  } else {
    codec.Receive(in.data(), in.size(), queue, d.replies);
  }
  d.data.resize(queue.size());
  queue.Take(reinterpret_cast<uint8_t*>(d.data.data()), d.data.size());
  return d;
}

TEST(TelnetCodec, NegotiationAnswersOnlyWhatChanges) {
  struct Case {
    const char* what;
    Bytes in;
    Bytes answer;
    bool binary, comPort, refused;
  };
  const Case cases[] = {
      {"a ser2net greeting", B({IAC, WILL, 3,  IAC, DO,  3,    IAC, WILL, 1,  IAC, DONT,
                                1,   IAC,  DO, 0,   IAC, WILL, 0,   IAC,  DO, 44}),
       B({IAC, DO, 3, IAC, WILL, 3, IAC, DONT, 1}), true, true, false},
      {"agreement repeated", B({IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44, IAC, DO, 0, IAC, WILL, 0}),
       B({}), true, true, false},
      {"unknown options refused", B({IAC, DO, 24, IAC, WILL, 31, IAC, WILL, 44}),
       B({IAC, WONT, 24, IAC, DONT, 31, IAC, DONT, 44}), false, false, false},
      {"com port refused", B({IAC, DONT, 44, IAC, WONT, 0}), B({}), false, false, true},
      {"binary withdrawn after agreement", B({IAC, DO, 0, IAC, WILL, 0, IAC, WONT, 0}),
       B({IAC, DONT, 0}), false, false, false},
  };
  for (const Case& c : cases) {
    for (bool byteByByte : {false, true}) {
      TelnetCodec codec;
      codec.Start();
      EXPECT_EQ(codec.outbox(), B({IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 44})) << c.what;
      codec.outbox().clear();
      Feed(codec, c.in, byteByByte);
      EXPECT_EQ(codec.outbox(), c.answer) << c.what;
      EXPECT_EQ(codec.BinaryBothWays(), c.binary) << c.what;
      EXPECT_EQ(codec.ComPortAgreed(), c.comPort) << c.what;
      EXPECT_EQ(codec.ComPortRefused(), c.refused) << c.what;
    }
  }
}

TEST(TelnetCodec, ReceivedBytesSplitIntoDataAndMessagesWhereverTheyAreCut) {
  struct Case {
    const char* what;
    Bytes in;
    std::string data;
    std::vector<std::pair<ComPortCommand, uint32_t>> replies;
  };
  const Case cases[] = {
      {"doubled 0xFF",
       B({'a', IAC, IAC, 'b', IAC, IAC}),
       "a\xFF"
       "b\xFF",
       {}},
      {"baud answer",
       B({'x', IAC, SB, 44, 101, 0, 0, 0x25, 0x80, IAC, SE, 'y'}),
       "xy",
       {{ComPortCommand::kSetBaudRate, 9600}}},
      {"0xFF inside a value",
       B({IAC, SB, 44, 101, 0, 0, IAC, IAC, IAC, IAC, IAC, SE}),
       "",
       {{ComPortCommand::kSetBaudRate, 65535}}},
      {"notifications",
       B({IAC, SB,   44,  107, 0x30, IAC, SE, IAC, SB,  44,
          106, 0x12, IAC, SE,  IAC,  SB,  44, 108, IAC, SE}),
       "",
       {{ComPortCommand::kNotifyModemState, 0x30},
        {ComPortCommand::kNotifyLineState, 0x12},
        {ComPortCommand::kFlowControlSuspend, 0}}},
      {"other options and commands carry nothing",
       B({'1', IAC, SB, 24, 1, IAC, SE, IAC, 241, '2', IAC, SB, 44, 5, 1, IAC, SE}),
       "12",
       {}},
      {"a short baud answer is dropped", B({IAC, SB, 44, 101, 0, 0, IAC, SE}), "", {}},
      {"answers without their value are dropped",
       B({IAC, SB, 44, 102, IAC, SE, IAC, SB, 44, 107, IAC, SE, IAC, SB, 44, 109, IAC, SE}),
       "",
       {{ComPortCommand::kFlowControlResume, 0}}},
      {"an unterminated subnegotiation gives way to a command",
       B({IAC, SB, 44, 102, 7, IAC, DO, 0, 'z'}),
       "z",
       {}},
  };
  for (const Case& c : cases) {
    for (bool byteByByte : {false, true}) {
      TelnetCodec codec;
      const Decoded d = Feed(codec, c.in, byteByByte);
      EXPECT_EQ(d.data, c.data) << c.what;
      ASSERT_EQ(d.replies.size(), c.replies.size()) << c.what;
      for (size_t i = 0; i < d.replies.size(); ++i) {
        EXPECT_EQ(d.replies[i].command, c.replies[i].first) << c.what;
        EXPECT_EQ(d.replies[i].value, c.replies[i].second) << c.what;
      }
    }
  }
}

TEST(TelnetCodec, CommandsAndDataDoubleEveryFF) {
  TelnetCodec codec;
  codec.QueueBaudRate(0x00FF2580);
  codec.QueueCommand(ComPortCommand::kSetModemStateMask, 0xFF);
  EXPECT_EQ(codec.outbox(), B({IAC, SB, 44, 1, 0, IAC, IAC, 0x25, 0x80, IAC, SE, IAC, SB, 44, 11,
                               IAC, IAC, IAC, SE}));

  // Every byte value, through small output buffers: a doubled 0xFF is
  // never split (one byte of room takes none), and decoding gives back the
  // data.
  Bytes out1(1);
  size_t none = 9;
  EXPECT_EQ(EncodeData(B({IAC}).data(), 1, out1.data(), 1, none), 0u);
  EXPECT_EQ(none, 0u);
  Bytes all;
  for (int i = 0; i < 512; ++i) all.push_back(static_cast<uint8_t>(i));
  for (size_t room : {2, 3, 7, 256, 4096}) {
    Bytes wire;
    size_t at = 0;
    while (at < all.size()) {
      Bytes out(room);
      size_t consumed = 0;
      const size_t n = EncodeData(all.data() + at, all.size() - at, out.data(), room, consumed);
      ASSERT_GT(consumed, 0u) << room;
      ASSERT_LE(n, room);
      wire.insert(wire.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
      at += consumed;
    }
    EXPECT_EQ(wire.size(), all.size() + 2);
    TelnetCodec codec2;
    EXPECT_EQ(Feed(codec2, wire).data, std::string(all.begin(), all.end())) << room;
  }
}

TEST(NetworkPortName, Forms) {
  struct Case {
    const char* name;
    bool ok;
    const char* host;
    uint16_t port;
  };
  const Case cases[] = {
      {"rfc2217://10.1.2.3:7000", true, "10.1.2.3", 7000},
      {"RFC2217://rack-3.lab:1", true, "rack-3.lab", 1},
      {"rfc2217://[::1]:65535", true, "::1", 65535},
      {"rfc2217://[fe80::1%eth0]:23", true, "fe80::1%eth0", 23},
      {"rfc2217://host", false, "", 0},
      {"rfc2217://host:", false, "", 0},
      {"rfc2217://:7000", false, "", 0},
      {"rfc2217://host:0", false, "", 0},
      {"rfc2217://host:65536", false, "", 0},
      {"rfc2217://host:70a", false, "", 0},
      {"rfc2217://::1:7000", false, "", 0},
      {"rfc2217://[::1]7000", false, "", 0},
      {"rfc2217://[]:7000", false, "", 0},
      {"rfc2217://[1:2:3:4:5:6:7:8]:1", true, "1:2:3:4:5:6:7:8", 1},
      {"rfc2217://[::ffff:10.0.0.1]:1", true, "::ffff:10.0.0.1", 1},
      {"rfc2217://[fe80::]:1", true, "fe80::", 1},
      {"rfc2217://[zz::1]:7000", false, "", 0},
      {"rfc2217://[1::2::3]:7000", false, "", 0},
      {"rfc2217://[1:2:3:4:5:6:7:8:9]:7000", false, "", 0},
      {"rfc2217://[1:2:3:4:5:6:7]:7000", false, "", 0},
      {"rfc2217://[::1%]:7000", false, "", 0},
      {"rfc2217://[::1.2.3.256]:7000", false, "", 0},
      {"rfc2217://a b:7000", false, "", 0},
      {"rfc2217://host:7000/x", false, "", 0},
      {"telnet://host:7000", false, "", 0},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseNetworkPortName(c.name);
    ASSERT_EQ(parsed.has_value(), c.ok) << c.name;
    if (!parsed) continue;
    EXPECT_EQ(parsed->host, c.host) << c.name;
    EXPECT_EQ(parsed->port, c.port) << c.name;
  }
}

// A server in memory: answers every COM port command it is sent the way
// ser2net does, except the SET-CONTROL values it is told to ignore, and
// takes at most `room` bytes per send.
class MemoryServer final : public Transport {
 public:
  struct Shared {
    std::mutex mutex;
    Bytes sent;      // data bytes as they travelled
    Bytes commands;  // every command byte sequence seen, flattened
    std::deque<uint8_t> toClient;
    std::vector<int> silentControls;
    std::vector<std::pair<int, int>> otherControls;  // SET-CONTROL values answered with others
    uint8_t modemMask = 0xFF;                        // SET-MODEMSTATE-MASK
    uint8_t modemLines = 0;                          // CTS, DSR, RI, DCD as the MS_*_ON bits
    size_t room = SIZE_MAX;
    bool closed = false;
    bool refuseBinary = false;  // WONT and DONT for BINARY in the greeting
    int heldCommand = -1;       // answers to it wait in `held` until the test lets them go
    std::deque<Bytes> held;
    bool owned = true;  // false: as a forked child's copy of the connection
  };
  explicit MemoryServer(std::shared_ptr<Shared> s) : s_(std::move(s)) {}

  bool Owned() const override {
    std::lock_guard lock(s_->mutex);
    return s_->owned;
  }

  IoStep Send(const uint8_t* data, size_t size) override {
    std::lock_guard lock(s_->mutex);
    if (s_->closed) return {0, ERROR_DEVICE_NOT_CONNECTED};
    const size_t n = std::min(size, s_->room);
    for (size_t i = 0; i < n; ++i) Parse(data[i]);
    return {n, ERROR_SUCCESS};
  }
  IoStep Receive(uint8_t* buffer, size_t size) override {
    std::lock_guard lock(s_->mutex);
    size_t n = 0;
    while (n < size && !s_->toClient.empty()) {
      buffer[n++] = s_->toClient.front();
      s_->toClient.pop_front();
    }
    if (n == 0 && s_->closed) return {0, ERROR_DEVICE_NOT_CONNECTED};
    return {n, ERROR_SUCCESS};
  }
  void Wait(bool, bool, const Deadline&, uint64_t) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Wake() override {}

 private:
  void Answer(Bytes sb) {
    if (sb[1] == 5 && std::find(s_->silentControls.begin(), s_->silentControls.end(), sb[2]) !=
                          s_->silentControls.end()) {
      return;
    }
    for (auto [asked, answered] : s_->otherControls) {
      if (sb[1] == 5 && sb[2] == asked) sb[2] = static_cast<uint8_t>(answered);
    }
    if (sb[1] > 12) return;
    if (sb[1] == 11) s_->modemMask = sb[2];
    if (sb[1] == 11 || sb[1] == 10 || sb[1] == 12) return;  // masks and purges: no answer
    sb[1] += 100;
    if (sb[1] == 101 && sb[2] == 0 && sb[3] == 0 && sb[4] == 0 && sb[5] == 0) {
      sb[4] = 0x25, sb[5] = 0x80;  // asked: 9600
    } else if (sb[1] > 101 && sb[1] < 106 && sb[2] == 0) {
      sb[2] = sb[1] == 102 ? 8 : 1;
    }
    Bytes out = {IAC, SB};
    for (uint8_t b : sb) {
      out.push_back(b);
      if (b == IAC) out.push_back(IAC);
    }
    out.insert(out.end(), {IAC, SE});
    if (sb[1] == s_->heldCommand + 100) {
      s_->held.push_back(out);
    } else {
      s_->toClient.insert(s_->toClient.end(), out.begin(), out.end());
    }
  }
  void Parse(uint8_t b) {
    if (state_ == 0) {
      if (b == IAC) {
        state_ = 1;
      } else {
        s_->sent.push_back(b);
      }
    } else if (state_ == 1) {
      if (b == IAC) {
        s_->sent.push_back(b);
        state_ = 0;
      } else if (b == SB) {
        sb_.clear();
        state_ = 3;
      } else if (b == WILL && !greeted_) {
        greeted_ = true;  // as ser2net: agree to everything asked
        const uint8_t binary[] = {IAC, DO, 0, IAC, WILL, 0};
        const uint8_t noBinary[] = {IAC, DONT, 0, IAC, WONT, 0};
        const uint8_t* greeting = s_->refuseBinary ? noBinary : binary;
        s_->toClient.insert(s_->toClient.end(), greeting, greeting + 6);
        s_->toClient.insert(s_->toClient.end(), {IAC, DO, 44});
        state_ = 2;
      } else {
        state_ = 2;
      }
    } else if (state_ == 2) {
      state_ = 0;  // the option of a negotiation
    } else if (state_ == 3) {
      if (b == IAC) {
        state_ = 4;
      } else {
        sb_.push_back(b);
      }
    } else if (state_ == 4) {
      if (b == IAC) {
        sb_.push_back(b);
        state_ = 3;
      } else {
        s_->commands.insert(s_->commands.end(), sb_.begin() + 1, sb_.end());
        Answer(sb_);
        state_ = 0;
      }
    }
  }

  std::shared_ptr<Shared> s_;
  int state_ = 0;
  bool greeted_ = false;
  Bytes sb_;
};

struct Connected {
  explicit Connected(size_t mostHeld = NetworkPort::kMostHeld)
      : port(std::make_unique<MemoryServer>(server), platform::posix::DefaultDcb(), mostHeld) {}
  std::shared_ptr<MemoryServer::Shared> server = std::make_shared<MemoryServer::Shared>();
  NetworkPort port;
  DWORD Open() { return port.Negotiate(Clock::now() + std::chrono::seconds(2)); }
  Bytes TakeCommands() {
    std::lock_guard lock(server->mutex);
    Bytes c;
    c.swap(server->commands);
    return c;
  }
  void ToClient(const Bytes& bytes) {
    std::lock_guard lock(server->mutex);
    server->toClient.insert(server->toClient.end(), bytes.begin(), bytes.end());
  }
  // Waits, bounded, until `done` holds under the server's lock.
  template <class Done>
  bool WaitFor(Done done) {
    for (int i = 0; i < 20000; ++i) {
      {
        std::lock_guard lock(server->mutex);
        if (done()) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  // The server's device lines change. As ser2net, it notifies the new state
  // with its change bits only when the mask holds one of those change bits.
  void ServerLines(uint8_t lines) {
    std::lock_guard lock(server->mutex);
    const uint8_t state = lines | ((lines ^ server->modemLines) >> 4);
    server->modemLines = lines;
    if ((state & server->modemMask & 0x0F) == 0) return;
    const uint8_t value = state & server->modemMask;
    server->toClient.insert(server->toClient.end(), {IAC, SB, 44, 107, value, IAC, SE});
  }
};

TEST(NetworkPort, SettingsTravelAsCommandsAndComeBackFromTheAnswers) {
  Connected c;
  ASSERT_EQ(c.Open(), ERROR_SUCCESS);
  // The masks, then the current line asked for.
  EXPECT_EQ(c.TakeCommands(), B({11, 0xFF, 10, 0x1E, 1, 0, 0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0}));

  struct Case {
    const char* what;
    DWORD baud;
    BYTE size, parity, stop;
    bool cts, xon;
    BYTE dtr, rts;
    Bytes commands;
  };
  const Case cases[] = {
      {"19200 7E2, no flow", 19200, 7, EVENPARITY, TWOSTOPBITS, false, false, DTR_CONTROL_ENABLE,
       RTS_CONTROL_DISABLE, B({1, 0, 0, 0x4B, 0, 2, 7, 3, 3, 4, 2, 5, 1, 5, 8, 5, 12})},
      {"0xFF in the rate, 5M1.5, hardware flow", 0x1FF, 5, MARKPARITY, ONE5STOPBITS, true, false,
       DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE,
       B({1, 0, 0, 1, 0xFF, 2, 5, 3, 4, 4, 3, 5, 3, 5, 9})},
      {"space parity, XON/XOFF", 115200, 8, SPACEPARITY, ONESTOPBIT, false, true,
       DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE,
       B({1, 0, 1, 0xC2, 0, 2, 8, 3, 5, 4, 1, 5, 2, 5, 8, 5, 11})},
      {"RTS handshake alone: no flow control, RTS on; DTR's mode unchanged: no DTR", 9600, 8,
       NOPARITY, ONESTOPBIT, false, false, DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE,
       B({1, 0, 0, 0x25, 0x80, 2, 8, 3, 1, 4, 1, 5, 1, 5, 11})},
  };
  for (const Case& k : cases) {
    DCB dcb = platform::posix::DefaultDcb();
    dcb.BaudRate = k.baud;
    dcb.ByteSize = k.size;
    dcb.Parity = k.parity;
    dcb.StopBits = k.stop;
    dcb.fOutxCtsFlow = k.cts;
    dcb.fOutX = dcb.fInX = k.xon;
    dcb.fDtrControl = k.dtr;
    dcb.fRtsControl = k.rts;
    ASSERT_EQ(c.port.SetState(dcb), ERROR_SUCCESS) << k.what;
    EXPECT_EQ(c.TakeCommands(), k.commands) << k.what;
    DCB got{};
    ASSERT_EQ(c.port.GetState(got), ERROR_SUCCESS);
    EXPECT_EQ(got.BaudRate, k.baud) << k.what;
    EXPECT_EQ(got.ByteSize, k.size) << k.what;
    EXPECT_EQ(got.Parity, k.parity) << k.what;
    EXPECT_EQ(got.StopBits, k.stop) << k.what;
    EXPECT_EQ(got.fOutxCtsFlow, k.cts) << k.what;
    EXPECT_EQ(got.fOutX, k.xon) << k.what;
  }

  // Values no line has are not reported as the line's: the block keeps
  // what was last set.
  c.ToClient(B({IAC, SB, 44, 101, 0, 0, 0, 0, IAC, SE, IAC, SB, 44, 102, 0, IAC, SE}));
  DCB got{};
  ASSERT_EQ(c.port.GetState(got), ERROR_SUCCESS);
  EXPECT_EQ(got.BaudRate, 9600u);
  EXPECT_EQ(got.ByteSize, 8);

  // A server that applies something else refuses, and says what it has.
  c.ToClient(B({IAC, SB, 44, 101, 0, 0, 0x4B, 0, IAC, SE}));
  ASSERT_EQ(c.port.GetState(got), ERROR_SUCCESS);
  EXPECT_EQ(got.BaudRate, 19200u);
}

// A server whose port uses DSR flow control, set up at the server, says so
// when asked for the flow control: the port opens, and reports none of the
// flow controls it sets.
TEST(NetworkPort, AServerWithAnotherFlowControlStillOpens) {
  Connected c;
  c.server->silentControls = {0};
  c.ToClient(B({IAC, SB, 44, 105, 19, IAC, SE}));
  ASSERT_EQ(c.Open(), ERROR_SUCCESS);
  DCB got{};
  ASSERT_EQ(c.port.GetState(got), ERROR_SUCCESS);
  EXPECT_FALSE(got.fOutxCtsFlow);
  EXPECT_FALSE(got.fOutX);
}

TEST(NetworkPort, LinesTheServerNeverAnswersFailLikeAMissingLineAfterOneBoundedWait) {
  Connected c;
  c.server->silentControls = {8, 9, 11, 12};
  ASSERT_EQ(c.Open(), ERROR_SUCCESS);
  auto start = Clock::now();
  EXPECT_EQ(c.port.Escape(SETDTR), ERROR_NOT_SUPPORTED);
  EXPECT_GE(Clock::now() - start, NetworkPort::kLineWait);
  start = Clock::now();
  EXPECT_EQ(c.port.Escape(CLRDTR), ERROR_NOT_SUPPORTED);  // known by now: no second wait
  EXPECT_LT(Clock::now() - start, NetworkPort::kLineWait);
  c.TakeCommands();
  EXPECT_EQ(c.port.Escape(SETBREAK), ERROR_SUCCESS);
  EXPECT_EQ(c.port.Escape(CLRBREAK), ERROR_SUCCESS);
  EXPECT_EQ(c.TakeCommands(), B({5, 5, 5, 6}));
  DWORD modem = 0;
  EXPECT_EQ(c.port.ModemStatus(modem), ERROR_NOT_SUPPORTED);  // never notified

  {
    std::lock_guard lock(c.server->mutex);
    c.server->silentControls.clear();
  }
  EXPECT_EQ(c.port.Escape(SETDTR), ERROR_NOT_SUPPORTED);  // known silent: sent, not awaited
  EXPECT_EQ(c.port.Escape(CLRDTR), ERROR_SUCCESS);        // but the server answered it after all
  EXPECT_EQ(c.port.Escape(SETRTS), ERROR_SUCCESS);
  c.ToClient(B({IAC, SB, 44, 107, 0xB3, IAC, SE}));
  EXPECT_EQ(c.port.ModemStatus(modem), ERROR_SUCCESS);
  EXPECT_EQ(modem, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

  // A server that keeps DTR on whatever it is told says so: no success.
  {
    std::lock_guard lock(c.server->mutex);
    c.server->otherControls = {{9, 8}};
  }
  EXPECT_EQ(c.port.Escape(CLRDTR), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(c.port.Escape(SETDTR), ERROR_SUCCESS);  // answered: not taken for a silent line
}

TEST(NetworkPort, ModemLinesFollowTheServerUpAndDown) {
  Connected c;
  ASSERT_EQ(c.Open(), ERROR_SUCCESS);
  auto lines = [&](DWORD want) {
    DWORD modem = 0xDEAD;
    for (int i = 0; i < 1000; ++i) {
      if (c.port.ModemStatus(modem) == ERROR_SUCCESS && modem == want) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return modem;
  };
  c.ServerLines(0xB0);
  EXPECT_EQ(lines(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  c.ServerLines(0x10);
  EXPECT_EQ(lines(MS_CTS_ON), MS_CTS_ON);
  c.ServerLines(0);  // the last line drops
  EXPECT_EQ(lines(0), 0u);
}

TEST(NetworkPort, DataKeepsEveryFFWhenTheStreamTakesOddAmounts) {
  Connected c;
  ASSERT_EQ(c.Open(), ERROR_SUCCESS);
  Bytes all;
  for (int i = 0; i < 1024; ++i) all.push_back(static_cast<uint8_t>(255 - i % 7 * 40));
  for (size_t room : {1, 2, 3, 5, 64}) {
    {
      std::lock_guard lock(c.server->mutex);
      c.server->room = room;
      c.server->sent.clear();
    }
    size_t at = 0;
    for (int guard = 0; at < all.size() && guard < 100000; ++guard) {
      const IoStep step = c.port.WriteNow(all.data() + at, all.size() - at);
      ASSERT_EQ(step.error, ERROR_SUCCESS);
      at += step.count;
    }
    c.port.WriteNow(nullptr, 0);  // sends what is left of a split pair
    std::lock_guard lock(c.server->mutex);
    EXPECT_EQ(c.server->sent, all) << room;
  }

  // Received data, line errors and a suspension.
  c.ToClient(B({'a', IAC, IAC, IAC, SB, 44, 106, 0x0C, IAC, SE, IAC, SB, 44, 108, IAC, SE}));
  uint8_t got[8] = {};
  EXPECT_EQ(c.port.ReadNow(got, sizeof got).count, 2u);
  EXPECT_EQ(got[1], 0xFF);
  DWORD errors = 0;
  COMSTAT stat{};
  ASSERT_EQ(c.port.ClearErrors(errors, stat), ERROR_SUCCESS);
  EXPECT_EQ(errors, CE_RXPARITY | CE_FRAME);
  EXPECT_TRUE(stat.fXoffHold);
  EXPECT_EQ(c.port.WriteNow(got, 1).count, 0u);  // held until the server resumes
  c.ToClient(B({IAC, SB, 44, 109, IAC, SE}));
  EXPECT_EQ(c.port.WriteNow(got, 1).count, 1u);
}

// A server that keeps sending what is not read: a suspended writer still
// sees the resumption behind the data, and a wait for an answer reads past
// the data without holding more than a bounded amount.
TEST(NetworkPort, MessagesBehindUnreadDataAreSeenAndWhatIsHeldStaysBounded) {
  constexpr size_t kHeld = 2u << 20;  // small enough to pass well within the wait when sanitized
  Connected c(kHeld);
  ASSERT_EQ(c.Open(), ERROR_SUCCESS);
  Bytes flood(1 << 20, 'x');
  c.ToClient(B({IAC, SB, 44, 108, IAC, SE}));
  c.ToClient(flood);
  c.ToClient(B({IAC, SB, 44, 109, IAC, SE}));
  const uint8_t one = '1';
  size_t written = 0;
  for (int i = 0; i < 100 && written == 0; ++i) written = c.port.WriteNow(&one, 1).count;
  EXPECT_EQ(written, 1u) << "still suspended";

  // Offers to refuse from a server that reads none of the refusals.
  Bytes sink(flood.size());
  EXPECT_EQ(c.port.ReadNow(sink.data(), sink.size()).count, flood.size());
  {
    std::lock_guard lock(c.server->mutex);
    c.server->room = 0;
    for (int i = 0; i < (1 << 20); ++i) {
      c.server->toClient.insert(c.server->toClient.end(), {IAC, WILL, 99});
    }
  }
  DWORD errors = 0;
  COMSTAT stat{};
  for (int i = 0; i < 10; ++i) ASSERT_EQ(c.port.ClearErrors(errors, stat), ERROR_SUCCESS);
  EXPECT_LT(stat.cbOutQue, 1u << 20);
  {
    std::lock_guard lock(c.server->mutex);
    c.server->room = SIZE_MAX;
    c.server->toClient.clear();
  }

  flood.assign(kHeld + (1 << 20), 'y');
  c.ToClient(flood);  // the answers to the settings come after all of it
  DCB dcb = platform::posix::DefaultDcb();
  dcb.BaudRate = 19200;
  EXPECT_EQ(c.port.SetState(dcb), ERROR_SUCCESS);
  ASSERT_EQ(c.port.ClearErrors(errors, stat), ERROR_SUCCESS);
  EXPECT_EQ(stat.cbInQue, kHeld);
  EXPECT_EQ(errors, static_cast<DWORD>(CE_RXOVER));
}

TEST(NetworkPort, AHalfSentFFIsCompletedBeforeTheHangUp) {
  std::shared_ptr<MemoryServer::Shared> server;
  std::thread makesRoom;
  {
    Connected c;
    ASSERT_EQ(c.Open(), ERROR_SUCCESS);
    server = c.server;
    server->room = 1;
    const uint8_t ff = 0xFF;
    EXPECT_EQ(c.port.WriteNow(&ff, 1).count, 1u);  // its first half went
    // The stream is full when the port closes, and takes more a moment later.
    server->room = 0;
    makesRoom = std::thread([server] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::lock_guard lock(server->mutex);
      server->room = SIZE_MAX;
    });
  }
  makesRoom.join();
  EXPECT_EQ(server->sent, B({0xFF}));
}

// A server that keeps its device open between users would otherwise hold
// the line in break for the next one, as a tty would.
// ... by the process that opened it: a forked child's close sends nothing.
TEST(NetworkPort, ABreakLeftOnEndsWithThePort) {
  std::shared_ptr<MemoryServer::Shared> server;
  for (bool leftOn : {true, false}) {
    for (bool owned : {true, false}) {
      {
        Connected c;
        ASSERT_EQ(c.Open(), ERROR_SUCCESS);
        server = c.server;
        EXPECT_EQ(c.port.Escape(SETBREAK), ERROR_SUCCESS);
        if (!leftOn) {
          EXPECT_EQ(c.port.Escape(CLRBREAK), ERROR_SUCCESS);
        }
        c.TakeCommands();
        std::lock_guard lock(server->mutex);
        server->owned = owned;
      }
      EXPECT_EQ(server->commands, leftOn && owned ? B({5, 6}) : B({})) << leftOn << owned;
    }
  }
}

TEST(NetworkPort, ADroppedConnectionFailsEverythingButWhatWasReceived) {
  Connected c;
  ASSERT_EQ(c.Open(), ERROR_SUCCESS);
  c.ToClient(B({'o', 'k'}));
  {
    std::lock_guard lock(c.server->mutex);
    c.server->closed = true;
  }
  uint8_t got[4];
  DWORD errors = 0;
  COMSTAT stat{};
  EXPECT_EQ(c.port.ClearErrors(errors, stat), ERROR_SUCCESS);
  EXPECT_EQ(stat.cbInQue, 2u);
  EXPECT_EQ(c.port.ReadNow(got, 4).count, 2u);
  EXPECT_EQ(c.port.ReadNow(got, 4).error, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(c.port.WriteNow(got, 1).error, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(c.port.Wait(false, std::nullopt), PortWait::kFailed);  // at once, no hang
  EXPECT_EQ(c.port.ClearErrors(errors, stat), ERROR_DEVICE_NOT_CONNECTED);
  DCB dcb = platform::posix::DefaultDcb();
  EXPECT_EQ(c.port.GetState(dcb), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(c.port.SetState(dcb), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(c.port.Escape(SETDTR), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(c.port.Purge(true, true), ERROR_DEVICE_NOT_CONNECTED);
}

TEST(NetworkPort, AServerThatHangsUpDuringTheGreetingRefusesTheUser) {
  Connected c;
  c.ToClient(B({IAC, DO, 44, 'P', 'o', 'r', 't', ' ', 'i', 'n', ' ', 'u', 's', 'e'}));
  c.server->closed = true;
  EXPECT_EQ(c.Open(), ERROR_ACCESS_DENIED);
}

// Data cannot pass unchanged without BINARY: the open fails as soon as the
// server refuses it, not at the end of the negotiation time.
TEST(NetworkPort, AServerThatRefusesBinaryFailsTheOpenAtOnce) {
  Connected c;
  c.server->refuseBinary = true;
  const auto start = Clock::now();
  EXPECT_EQ(c.port.Negotiate(start + std::chrono::seconds(20)), ERROR_NOT_SUPPORTED);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

// A setting answered after its wait ended is no answer to the next one: the
// next SetState waits for its own answer rather than fail on the old value.
TEST(NetworkPort, ALateAnswerCountsOnlyForTheRequestItAnswers) {
  Connected c;
  ASSERT_EQ(c.Open(), ERROR_SUCCESS);
  c.server->heldCommand = 4;  // stop bits: answered late
  DCB dcb = platform::posix::DefaultDcb();
  dcb.StopBits = TWOSTOPBITS;
  EXPECT_EQ(c.port.SetState(dcb), ERROR_INVALID_PARAMETER);  // the rest answered, not this

  dcb.StopBits = ONESTOPBIT;
  DWORD result = ERROR_GEN_FAILURE;
  std::thread set([&] { result = c.port.SetState(dcb); });
  // The old answer arrives while the new request waits, then the new one.
  ASSERT_TRUE(c.WaitFor([&] { return c.server->held.size() == 2; }));
  auto release = [&] {
    std::lock_guard lock(c.server->mutex);
    const Bytes answer = c.server->held.front();
    c.server->held.pop_front();
    c.server->toClient.insert(c.server->toClient.end(), answer.begin(), answer.end());
  };
  release();
  ASSERT_TRUE(c.WaitFor([&] { return c.server->toClient.empty(); }));
  release();
  set.join();
  EXPECT_EQ(result, ERROR_SUCCESS);
  DCB got{};
  ASSERT_EQ(c.port.GetState(got), ERROR_SUCCESS);
  EXPECT_EQ(got.StopBits, ONESTOPBIT);
}

}  // namespace
}  // namespace kavrel::testing
