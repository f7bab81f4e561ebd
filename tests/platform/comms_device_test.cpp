// The comms object over the real Linux device layer: pseudo-terminals and
// the built-in null-modem, driven through the port and connection members
// as a host drives them.
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "device_test_support.h"
#include "platform/posix/null_modem.h"
#include "pty_pair.h"
#include "support/test_host.h"

namespace kavrel::testing {
namespace {

constexpr const char16_t* kSettings = u"baud=9600 parity=N data=8 stop=1";

std::u16string U16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class Comms : public ::testing::Test {
 protected:
  void TearDown() override {
    for (short port = 1; port <= 4; ++port) Close(port);
  }

  LONG Open(short port, const std::string& name, std::u16string_view settings = kSettings) {
    return CallCommOpen(comms(), port, U16(name), settings);
  }
  LONG Set(short port, std::u16string_view settings) {
    return CallCommSet(comms(), port, settings);
  }
  LONG Close(short port) { return CallCommClose(comms(), port); }
  // CommRead of size bytes; the bytes received, in the ANSI code page.
  LONG Read(short port, LONG size, std::string* bytes = nullptr) {
    std::u16string text;
    const LONG r = CallCommRead(comms(), port, size, &text);
    if (bytes) *bytes = codec().ToAnsi(text.data(), text.size());
    return r;
  }
  // Reads with CommRead(64) until count bytes came or ms passed.
  std::string ReadAll(short port, size_t count, int ms = 3000) {
    std::string all;
    Stopwatch clock;
    while (all.size() < count && clock.ms() < ms) {
      std::string piece;
      if (Read(port, 64, &piece) < 0) break;
      all += piece;
      if (piece.empty()) usleep(1000);
    }
    return all;
  }
  LONG Write(short port, const std::string& bytes) {
    return CallCommWrite(comms(), port, codec().FromAnsi(bytes.data(), bytes.size()));
  }
  VARIANT_BOOL Line(short port, short mask) {
    VARIANT_BOOL state = 7;
    EXPECT_EQ(0, CallCommGetLine(comms(), port, mask, &state));
    return state;
  }
  LONG SetLine(short port, short line, VARIANT_BOOL state) {
    return CallCommSetLine(comms(), port, line, state);
  }
  std::string ErrorLine(LONG* code = nullptr) { return CallCommGetError(comms(), code); }
  std::string Source() { return Utf8(obj.object()->errorRecord.strSource.view()); }

  static platform::TextCodec& codec() { return platform::NativeRuntime().text; }
  _comms* comms() { return obj.comms.get(); }

  TestObject obj{platform::NativeRuntime()};
};

// Sets a null-modem end's DCB flag through the device layer before the
// comms object opens it (an end keeps its settings between opens).
void AbortOnErrorAt(const std::string& end) {
  Ops device;
  const Handle32 h = device.Open(end);
  ASSERT_NE(h, platform::kInvalidHandle);
  DCB dcb = device.State(h);
  dcb.fAbortOnError = 1;
  ASSERT_TRUE(device.ops.SetCommState(h, &dcb));
  ASSERT_TRUE(device.ops.CloseHandle(h));
}

TEST_F(Comms, PseudoTerminalByPathAndByComPortCarriesEveryByte) {
  PtyPair pty;
  setenv("KAVREL_COM4", pty.path().c_str(), 1);
  ASSERT_EQ(Open(1, "COM4"), 0) << ErrorLine();
  unsetenv("KAVREL_COM4");
  EXPECT_EQ(ProbeLine(pty.master()).speed, 9600u);

  const std::string all = EveryByteValue();
  EXPECT_EQ(Write(1, all), static_cast<LONG>(all.size()));
  EXPECT_EQ(pty.Receive(all.size()), all);
  pty.Send(all);
  EXPECT_EQ(ReadAll(1, all.size()), all);

  ASSERT_EQ(Close(1), 0);
  ASSERT_EQ(Open(2, pty.path()), 0) << ErrorLine();  // by path
}

TEST_F(Comms, CommReadReturnsAtOnceWithWhatWaitsAndZeroForNothing) {
  PtyPair pty;
  ASSERT_EQ(Open(1, pty.path()), 0);
  Stopwatch clock;
  std::string got;
  EXPECT_EQ(Read(1, 64, &got), 0);
  EXPECT_EQ(got, "");
  EXPECT_LT(clock.ms(), 500);

  pty.Send("12345");
  usleep(50 * 1000);
  clock = Stopwatch();
  EXPECT_EQ(Read(1, 64, &got), 5);  // asks for 64, gets what waits, without the 1 s wait
  EXPECT_EQ(got, "12345");
  EXPECT_LT(clock.ms(), 500);
}

TEST_F(Comms, ASecondOpenOfTheSameDeviceIsDenied) {
  PtyPair pty;
  ASSERT_EQ(Open(1, pty.path()), 0);
  EXPECT_EQ(Open(2, pty.path()), 5);
  LONG code = 0;
  const std::string line = ErrorLine(&code);
  EXPECT_EQ(code, 5);
  EXPECT_EQ(line, "Error (5): CommOpen (CreateFile) - Access is denied.\r\n");
  TestObject other{platform::NativeRuntime()};  // another object on the thread
  short port = 1;
  TestBstr n(U16(pty.path())), s(kSettings);
  LONG r = -99;
  EXPECT_EQ(S_OK, other.comms->CommOpen(&port, &n.s, &s.s, &r));
  EXPECT_EQ(r, 5);
}

TEST_F(Comms, ModeStringsReachTheDevice) {
  PtyPair pty;
  ASSERT_EQ(Open(1, pty.path()), 0);
  EXPECT_EQ(Set(1, u"baud=19200 parity=N data=8 stop=2 octs=on"), 0);
  LineProbe line = ProbeLine(pty.master());
  EXPECT_EQ(line.speed, 19200u);
  EXPECT_TRUE(line.twoStopBits && line.rtscts && !line.ixon);
  EXPECT_EQ(Set(1, u"COM1: 57600,n,8,1,x"), 0);
  line = ProbeLine(pty.master());
  EXPECT_EQ(line.speed, 57600u);
  EXPECT_TRUE(!line.twoStopBits && !line.rtscts && line.ixon && line.ixoff);
  EXPECT_EQ(Set(1, u"baud=250000"), 0);
  EXPECT_EQ(ProbeLine(pty.master()).speed, 250000u);

  EXPECT_EQ(Set(1, u"baud=fast"), 87);
  EXPECT_EQ(Source(), "CommSet (BuildCommDCB)");
  EXPECT_EQ(ProbeLine(pty.master()).speed, 250000u);  // unchanged
  EXPECT_EQ(Set(1, u"baud=0"), 87);                   // well formed, but no line runs at 0
  EXPECT_EQ(Source(), "CommSet (SetCommState)");
  EXPECT_EQ(ProbeLine(pty.master()).speed, 250000u);
}

// A line another program left under RTS/CTS flow control: a mode string
// that does not turn CTS flow control on frees the output from CTS (with
// nothing driving CTS, every write would wait out its time-out), and RTS
// handshake alone does not hold the output either.
TEST_F(Comms, OnlyCtsFlowControlHoldsTheOutputOnCts) {
  PtyPair pty;
  termios t{};
  ASSERT_EQ(tcgetattr(pty.master(), &t), 0);
  t.c_cflag |= CRTSCTS;
  ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &t), 0);
  ASSERT_EQ(Open(1, pty.path()), 0);
  EXPECT_FALSE(ProbeLine(pty.master()).rtscts);
  EXPECT_EQ(Set(1, u"baud=9600 octs=on"), 0);
  EXPECT_TRUE(ProbeLine(pty.master()).rtscts);
  EXPECT_EQ(Set(1, u"baud=9600 rts=hs"), 0);
  EXPECT_FALSE(ProbeLine(pty.master()).rtscts);
  EXPECT_EQ(Set(1, u"9600,n,8,1,p"), 0);
  EXPECT_TRUE(ProbeLine(pty.master()).rtscts);
}

// A standard rate stays readable by every other program after the close;
// only a rate without a constant of its own is set as a custom one.
TEST_F(Comms, StandardRatesStayReadableAfterTheClose) {
  PtyPair pty;
  const std::pair<const char16_t*, unsigned> rates[] = {{u"baud=115200", 115200},
                                                        {u"baud=19200 parity=E data=7", 19200}};
  for (const auto& [settings, rate] : rates) {
    ASSERT_EQ(Open(1, pty.path(), settings), 0);
    ASSERT_EQ(Close(1), 0);
    EXPECT_EQ(LibcOutputSpeed(pty.master()), rate);
  }
  ASSERT_EQ(Open(1, pty.path(), u"baud=250000"), 0);
  EXPECT_EQ(ProbeLine(pty.master()).speed, 250000u);
  EXPECT_EQ(LibcOutputSpeed(pty.master()), 0u);
  EXPECT_EQ(Set(1, u"baud=57600"), 0);
  EXPECT_EQ(LibcOutputSpeed(pty.master()), 57600u);
}

TEST_F(Comms, AMalformedModeStringLeavesTheSlotOpen) {
  PtyPair pty;
  EXPECT_EQ(Open(1, pty.path(), u"baud=9600 parity=Q"), 87);
  EXPECT_EQ(Source(), "CommOpen (BuildCommDCB)");
  EXPECT_EQ(ErrorLine(), "Error (87): CommOpen (BuildCommDCB) - The parameter is incorrect.\r\n");
  EXPECT_EQ(Open(1, pty.path()), -1);  // still open
  EXPECT_EQ(Close(1), 0);
  EXPECT_EQ(Open(1, pty.path()), 0);  // and released by the close
}

TEST_F(Comms, APeerThatGoesAwayFailsReadAndWriteWithinTheTimeouts) {
  PtyPair pty;
  ASSERT_EQ(Open(1, pty.path()), 0);
  pty.CloseMaster();
  Stopwatch clock;
  EXPECT_EQ(Read(1, 64), -1);
  LONG code = 0;
  EXPECT_EQ(ErrorLine(&code),
            "Error (1167): CommRead (ClearCommError) - The device is not "
            "connected.\r\n");
  EXPECT_EQ(Write(1, "data"), -1);
  EXPECT_EQ(ErrorLine(&code),
            "Error (1167): CommWrite (WriteFile) - The device is not "
            "connected.\r\n  COMM Error Flags = 0");
  EXPECT_LT(clock.ms(), 1000);
}

TEST_F(Comms, NullModemCarriesEveryByteAndTheModemLines) {
  ASSERT_EQ(Open(1, "NULLMODEM20A"), 0);
  ASSERT_EQ(Open(2, "NULLMODEM20B"), 0);
  const std::string all = EveryByteValue();
  EXPECT_EQ(Write(1, all), static_cast<LONG>(all.size()));
  EXPECT_EQ(ReadAll(2, all.size()), all);
  EXPECT_EQ(Write(2, all), static_cast<LONG>(all.size()));
  EXPECT_EQ(ReadAll(1, all.size()), all);

  constexpr short kDtr = 2, kRts = 3;
  // Both lines up after the open: CTS, DSR and carrier at the other end.
  for (short mask : {0x10, 0x20, 0x30, 0x80, -1}) EXPECT_EQ(Line(2, mask), -1) << mask;
  EXPECT_EQ(Line(2, 0x40), 0);  // no ring
  EXPECT_EQ(Line(2, 0), 0);
  EXPECT_EQ(SetLine(1, kDtr, 0), 0);
  EXPECT_EQ(Line(2, 0x20), 0);
  EXPECT_EQ(Line(2, 0x80), 0);
  EXPECT_EQ(Line(2, 0x30), -1);  // CTS still on
  EXPECT_EQ(SetLine(1, kRts, 0), 0);
  EXPECT_EQ(Line(2, 0x10), 0);
  EXPECT_EQ(Line(2, -1), 0);
  EXPECT_EQ(SetLine(1, kDtr, 1), 0);
  EXPECT_EQ(Line(2, 0x80), -1);
  EXPECT_EQ(SetLine(1, 4, -1), 87);  // no line 4: code 0 is refused
  EXPECT_EQ(Source(), "CommSetLine (EscapeCommFunction)");
}

// As on Windows, a new mode string changes DTR or RTS only when it changes
// that line's control mode: a host that lowered them keeps them low through
// a new speed.
TEST_F(Comms, LinesTheHostLoweredStayLowThroughANewSpeed) {
  ASSERT_EQ(Open(1, "NULLMODEM24A"), 0);
  ASSERT_EQ(Open(2, "NULLMODEM24B"), 0);
  constexpr short kDtr = 2, kRts = 3;
  ASSERT_EQ(SetLine(1, kDtr, 0), 0);
  ASSERT_EQ(SetLine(1, kRts, 0), 0);
  ASSERT_EQ(Set(1, u"baud=19200 parity=N data=8 stop=1"), 0);
  EXPECT_EQ(Line(2, -1), 0);
  ASSERT_EQ(Set(1, u"baud=19200 dtr=off"), 0);
  ASSERT_EQ(Set(1, u"baud=19200 dtr=on"), 0);  // a new mode: DTR follows it
  EXPECT_EQ(Line(2, 0xA0), -1);
  EXPECT_EQ(Line(2, 0x10), 0);
}

TEST_F(Comms, LineErrorsAndBreakShowInTheErrorLine) {
  AbortOnErrorAt("NULLMODEM21B");
  ASSERT_EQ(Open(1, "NULLMODEM21A"), 0);
  ASSERT_EQ(Open(2, "NULLMODEM21B"), 0);

  ASSERT_TRUE(platform::posix::NullModemInjectLineErrors("NULLMODEM21B", CE_OVERRUN | CE_FRAME));
  EXPECT_EQ(Write(2, "x"), -1);
  EXPECT_EQ(ErrorLine(),
            "Error (995): CommWrite (WriteFile) - The I/O operation has been aborted because of "
            "either a thread exit or an application request.\r\n  COMM Error Flags = A");
  EXPECT_EQ(Write(2, "x"), 1);  // the error line collected the flags

  EXPECT_EQ(SetLine(1, 1, -1), 0);  // break on
  EXPECT_EQ(Write(2, "y"), -1);
  EXPECT_NE(ErrorLine().find("  COMM Error Flags = 10"), std::string::npos);
  EXPECT_EQ(SetLine(1, 1, 0), 0);
  EXPECT_EQ(Write(2, "z"), 1);
  EXPECT_EQ(ReadAll(1, 2), "xz");
}

TEST_F(Comms, ANullModemPeerThatClosesFailsTheOtherEnd) {
  ASSERT_EQ(Open(1, "NULLMODEM22A"), 0);
  ASSERT_EQ(Open(2, "NULLMODEM22B"), 0);
  ASSERT_EQ(Close(2), 0);
  Stopwatch clock;
  EXPECT_EQ(Read(1, 64), -1);
  EXPECT_EQ(Source(), "CommRead (ClearCommError)");
  EXPECT_EQ(Write(1, "lost"), -1);
  LONG code = 0;
  ErrorLine(&code);
  EXPECT_EQ(code, 1167);
  EXPECT_EQ(Source(), "CommWrite (WriteFile)");
  EXPECT_LT(clock.ms(), 500);
}

// Releasing the object leaves its open ports as they are: the peer still
// sees DTR, and the device is still taken until its handle is closed.
TEST(CommsRelease, LeavesOpenPortsOpen) {
  Ops far;
  const Handle32 b = far.Open("NULLMODEM44B");
  ASSERT_NE(b, platform::kInvalidHandle);
  Handle32 held = 0;
  {
    TestObject obj{platform::NativeRuntime()};
    ASSERT_EQ(CallCommOpen(obj.comms.get(), 1, u"NULLMODEM44A", kSettings), 0);
    held = obj.object()->portTable[0].lngHandle;
    ASSERT_TRUE(far.Modem(b) & MS_DSR_ON);
  }
  EXPECT_TRUE(far.Modem(b) & MS_DSR_ON);
  TestObject second{platform::NativeRuntime()};
  EXPECT_EQ(CallCommOpen(second.comms.get(), 1, u"NULLMODEM44A", kSettings), 5);
  EXPECT_TRUE(far.ops.CloseHandle(held));
  EXPECT_TRUE(far.ops.CloseHandle(b));
}

// The connection layer end to end: COM1 mapped onto a cable end, the other
// end played through the device layer.
TEST_F(Comms, ConnectionLayerOverTheNullModem) {
  setenv("KAVREL_COM1", "NULLMODEM23A", 1);
  Ops far;
  const Handle32 b = far.Open("NULLMODEM23B");
  ASSERT_NE(b, platform::kInvalidHandle);
  ASSERT_EQ(S_OK, comms()->put_PortComm(1));
  ASSERT_EQ(S_OK, comms()->put_BaudComm(19200));
  ASSERT_EQ(S_OK, comms()->OpenComm());
  unsetenv("KAVREL_COM1");
  VARIANT_BOOL status = 0;
  ASSERT_EQ(S_OK, comms()->get_StatusComm(&status));
  ASSERT_EQ(status, -1) << ErrorLine();
  EXPECT_EQ(far.Modem(b), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);  // ControlOn raised both

  TestBstr text(u"hello");
  ASSERT_EQ(S_OK, comms()->WriteComm(&text.s));
  ASSERT_TRUE(far.Timeouts(b, MAXDWORD, 0, 1000));
  EXPECT_EQ(far.Read(b, 5), "hello");

  EXPECT_EQ(far.Write(b, "world"), 5u);
  ASSERT_EQ(S_OK, comms()->ReadComm());
  BSTR received = nullptr;
  ASSERT_EQ(S_OK, comms()->get_ReadBuffer(&received));
  EXPECT_EQ(Utf8(received), "world");
  SysFreeString(received);

  ASSERT_EQ(S_OK, comms()->CloseComm());
  EXPECT_EQ(far.Modem(b), 0u);
  far.ops.CloseHandle(b);
}

}  // namespace
}  // namespace kavrel::testing
