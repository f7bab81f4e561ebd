// What every kind of device answers alike, since a host switches between
// them by name only: a pseudo-terminal, an end of the built-in null-modem
// and a network port (ser2net serving a pseudo-terminal). The test plays
// the far end of each line.
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "device_test_support.h"
#include "pty_pair.h"
#include "serial_server.h"

namespace kavrel::testing {
namespace {

enum class Kind { kTty, kNullModem, kNetwork };

class Contract : public ::testing::TestWithParam<Kind>, public Ops {
 protected:
  void SetUp() override {
    switch (GetParam()) {
      case Kind::kTty:
        if (!pty) pty = std::make_unique<PtyPair>();
        h = Open(pty->path());
        break;
      case Kind::kNullModem:
        h = Open("NULLMODEM50A");
        far = Open("NULLMODEM50B");
        ASSERT_NE(far, platform::kInvalidHandle);
        ASSERT_TRUE(Timeouts(far, MAXDWORD, 0, 0));
        break;
      case Kind::kNetwork:
        if (!HaveSer2net()) GTEST_SKIP() << "ser2net is not installed (tools/install-deps.sh)";
        if (!server) {
          pty = std::make_unique<PtyPair>();
          server = std::make_unique<Ser2net>(*pty);
        }
        h = Open(server->name());
        break;
    }
    ASSERT_NE(h, platform::kInvalidHandle) << error();
  }
  void TearDown() override {
    if (h != platform::kInvalidHandle) ops.CloseHandle(h);
    if (far != platform::kInvalidHandle) ops.CloseHandle(far);
  }

  // The far end sends; returns once the bytes are counted as waiting here.
  void Send(const std::string& data) {
    const DWORD before = Status(h).cbInQue;
    if (far != platform::kInvalidHandle) {
      ASSERT_EQ(Write(far, data), data.size());
    } else {
      pty->Send(data);
    }
    Stopwatch clock;
    while (Status(h).cbInQue < before + data.size() && clock.ms() < 3000) usleep(1000);
  }

  // Closes the line and opens it again (both ends of the null-modem, whose
  // other end would otherwise have lost its peer).
  void Reopen() {
    ASSERT_TRUE(ops.CloseHandle(h));
    if (far != platform::kInvalidHandle) {
      ASSERT_TRUE(ops.CloseHandle(far));
    }
    h = far = platform::kInvalidHandle;
    SetUp();
  }
  std::string Receive(size_t count) {
    if (far == platform::kInvalidHandle) return pty->Receive(count);
    return ReadAll(far, count);
  }

  Handle32 h = platform::kInvalidHandle;
  Handle32 far = platform::kInvalidHandle;
  std::unique_ptr<PtyPair> pty;
  std::unique_ptr<Ser2net> server;
};

std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
  switch (info.param) {
    case Kind::kTty:
      return "Tty";
    case Kind::kNullModem:
      return "NullModem";
    case Kind::kNetwork:
      return "Network";
  }
  return "?";
}

// Every call after a plain open: the block reads back as set, odd but
// valid members included; nothing to move is no failure; queue sizes are
// advice; codes outside the table are refused with 87 everywhere.
TEST_P(Contract, SettingsAndCodesAnswerAlike) {
  DCB dcb = State(h);
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_TRUE(dcb.fBinary);
  EXPECT_EQ(dcb.ByteSize, 8);
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  dcb.EvtChar = '~';
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.fErrorChar = dcb.fNull = dcb.fDsrSensitivity = dcb.fTXContinueOnXoff = 1;
  ASSERT_TRUE(ops.SetCommState(h, &dcb)) << error();
  const DCB back = State(h);
  EXPECT_EQ(back.XonLim, 100);
  EXPECT_EQ(back.XoffLim, 200);
  EXPECT_EQ(back.EvtChar, '~');
  EXPECT_EQ(back.ErrorChar, '?');
  EXPECT_EQ(back.EofChar, 0x1A);
  EXPECT_TRUE(back.fErrorChar && back.fNull && back.fDsrSensitivity && back.fTXContinueOnXoff);

  ASSERT_TRUE(Timeouts(h, 0, 0, 0));  // would wait for ever for a byte
  BOOL ok = FALSE;
  EXPECT_EQ(Read(h, 0, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(Write(h, "", &ok), 0u);
  EXPECT_TRUE(ok);
  for (DWORD size : {0u, 16u, 1u << 30}) EXPECT_TRUE(ops.SetupComm(h, size, size)) << size;

  for (DWORD code : {0u, 10u}) {
    EXPECT_FALSE(ops.EscapeCommFunction(h, code));
    EXPECT_EQ(error(), ERROR_INVALID_PARAMETER) << code;
  }
  for (DWORD code : {RESETDEV, SETXON, CLRBREAK}) EXPECT_TRUE(ops.EscapeCommFunction(h, code));
  EXPECT_FALSE(ops.GetCommModemStatus(h, nullptr));
  EXPECT_EQ(error(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ops.PurgeComm(h, 0x10));
  EXPECT_EQ(error(), ERROR_INVALID_PARAMETER);

  Send("0123456789");
  DWORD errors = 7;
  EXPECT_EQ(Status(h, &errors).cbInQue, 10u);
  EXPECT_EQ(errors, 0u);
  EXPECT_TRUE(ops.ClearCommError(h, nullptr, nullptr));
}

// PurgeComm ends exactly the transfers its abort flags name, wherever they
// wait; the clear flags alone end none.
TEST_P(Contract, PurgeEndsOnlyTheTransfersItsAbortFlagsName) {
  ASSERT_TRUE(Timeouts(h, 0, 0, 0));
  ASSERT_TRUE(ops.EscapeCommFunction(h, SETXOFF));  // a write waits as well
  for (const DWORD flags : {PURGE_TXCLEAR | PURGE_RXCLEAR, PURGE_TXABORT, PURGE_RXABORT,
                            PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR}) {
    std::atomic<int> ended{0};
    DWORD errors[2] = {0, 0};
    auto wait = [&](bool write) {
      Ops other;
      BOOL ok = TRUE;
      if (write) {
        other.Write(h, "held", &ok);
      } else {
        other.Read(h, 4, &ok);
      }
      errors[write] = ok ? 0 : other.error();
      ended |= 1 << write;
    };
    std::thread reader(wait, false), writer(wait, true);
    usleep(100 * 1000);
    ASSERT_TRUE(ops.PurgeComm(h, flags));
    const int expected = (flags & PURGE_RXABORT ? 1 : 0) | (flags & PURGE_TXABORT ? 2 : 0);
    Stopwatch clock;
    while (ended != expected && clock.ms() < 3000) usleep(1000);
    usleep(50 * 1000);
    EXPECT_EQ(ended, expected) << "flags " << flags;
    ASSERT_TRUE(ops.PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT));
    reader.join();
    writer.join();
    EXPECT_EQ(errors[0], ERROR_OPERATION_ABORTED);
    EXPECT_EQ(errors[1], ERROR_OPERATION_ABORTED);
  }
}

// Closing the handle ends a read another thread has waiting; the handle is
// invalid from then on, for every call.
TEST_P(Contract, ACloseEndsAWaitingReadAndTheHandleIsGone) {
  ASSERT_TRUE(Timeouts(h, 0, 0, 0));
  DWORD readError = 0;
  std::thread reader([&] {
    Ops other;
    BOOL ok = TRUE;
    other.Read(h, 4, &ok);
    readError = ok ? 0 : other.error();
  });
  usleep(100 * 1000);
  ASSERT_TRUE(ops.CloseHandle(h));
  reader.join();
  EXPECT_EQ(readError, ERROR_OPERATION_ABORTED);
  DCB dcb{};
  DWORD value = 0;
  BOOL ok = TRUE;
  const BOOL results[] = {ops.GetCommState(h, &dcb),         ops.SetupComm(h, 1024, 1024),
                          ops.PurgeComm(h, PURGE_RXCLEAR),   ops.EscapeCommFunction(h, SETXON),
                          ops.GetCommModemStatus(h, &value), ops.CloseHandle(h)};
  for (BOOL result : results) EXPECT_FALSE(result);
  Read(h, 1, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error(), ERROR_INVALID_HANDLE);
  h = platform::kInvalidHandle;
}

// SETXOFF holds the output, shows in COMSTAT, and ends with the handle (as
// a break does), as when a Windows port closes: the next user of the line
// can send.
TEST_P(Contract, AHoldEndsWithTheHandle) {
  ASSERT_TRUE(ops.EscapeCommFunction(h, SETXOFF));
  EXPECT_TRUE(Status(h).fXoffHold);
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0, 0, 100));
  BOOL ok = FALSE;
  EXPECT_EQ(Write(h, "held", &ok), 0u);
  EXPECT_TRUE(ok);  // a time-out
  ASSERT_TRUE(ops.EscapeCommFunction(h, SETBREAK));
  Reopen();
  EXPECT_FALSE(Status(h).fXoffHold);
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0, 0, 2000));
  EXPECT_EQ(Write(h, "sent", &ok), 4u);
  EXPECT_EQ(Receive(4), "sent");
}

// A break suspends transmission, as on Windows, until it is cleared (an
// XON does not end it): a write meanwhile waits, rather than going out
// under the break, where the far end would get none of it.
TEST_P(Contract, ABreakHoldsTheOutputUntilItEnds) {
  ASSERT_TRUE(ops.EscapeCommFunction(h, SETBREAK));
  ASSERT_TRUE(ops.EscapeCommFunction(h, SETXON));
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0, 0, 100));
  BOOL ok = FALSE;
  EXPECT_EQ(Write(h, "held", &ok), 0u);
  EXPECT_TRUE(ok);  // a time-out
  ASSERT_TRUE(ops.EscapeCommFunction(h, CLRBREAK));
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0, 0, 2000));
  EXPECT_EQ(Write(h, "sent", &ok), 4u);
  EXPECT_EQ(Receive(4), "sent");
}

// A read for all a count reported gets all of it at once, under both
// time-out rules that return with what is waiting, however far the count
// reached past a device's own buffering.
TEST_P(Contract, AReadForTheWholeCountGetsItAll) {
  ASSERT_TRUE(ops.SetupComm(h, 8192, 8192));  // room for it all on the null-modem
  for (const DWORD constant : {0u, 1000u}) {
    ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, constant));
    std::string sent;
    for (int i = 0; i < 6000; ++i) sent += static_cast<char>(i * 7 + i / 256 + constant);
    Send(sent);
    const DWORD waiting = Status(h).cbInQue;
    ASSERT_EQ(waiting, sent.size());
    EXPECT_EQ(Read(h, waiting), sent) << "time-out constant " << constant;
    EXPECT_EQ(Status(h).cbInQue, 0u);
  }
}

// PurgeComm's input clear has taken effect when it returns: what had
// arrived is gone, and what the line receives from then on is kept (a
// network port's server purges its own queue before the call returns).
TEST_P(Contract, AnInputPurgeDropsWhatArrivedAndKeepsWhatFollows) {
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0));
  for (int round = 0; round < 3; ++round) {
    Send("stale");
    ASSERT_TRUE(ops.PurgeComm(h, PURGE_RXCLEAR));
    EXPECT_EQ(Status(h).cbInQue, 0u);
    Send("fresh");
    EXPECT_EQ(Read(h, 100), "fresh") << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, Contract,
                         ::testing::Values(Kind::kTty, Kind::kNullModem, Kind::kNetwork), KindName);

}  // namespace
}  // namespace kavrel::testing
