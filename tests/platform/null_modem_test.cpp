// The built-in null-modem through the device operations. Every test takes a
// cable of its own: an end keeps its settings between opens.
#include "platform/posix/null_modem.h"

#include <unistd.h>

#include <thread>

#include "device_test_support.h"

namespace kavrel::testing {
namespace {

using platform::posix::NullModemInjectLineErrors;
using platform::posix::NullModemSetRing;

class NullModem : public ::testing::Test, public Ops {
 protected:
  void TearDown() override {
    for (Handle32 h : opened) ops.CloseHandle(h);
  }
  Handle32 OpenEnd(const std::string& name) {
    const Handle32 h = Open(name);
    EXPECT_NE(h, platform::kInvalidHandle) << name << " error " << error();
    opened.push_back(h);
    return h;
  }
  void Cable(int n, const char* suffix = "") {
    const std::string base = "NULLMODEM" + std::to_string(n);
    a = OpenEnd(base + "A" + suffix);
    b = OpenEnd(base + "B");
  }
  void Close(Handle32 h) {
    EXPECT_TRUE(ops.CloseHandle(h));
    std::erase(opened, h);
  }

  Handle32 a = platform::kInvalidHandle, b = platform::kInvalidHandle;
  std::vector<Handle32> opened;
};

TEST_F(NullModem, WhatOneEndWritesTheOtherReadsExactly) {
  Cable(1);
  ASSERT_TRUE(Timeouts(a, MAXDWORD, 0, 1000, 0, 1000));
  ASSERT_TRUE(Timeouts(b, MAXDWORD, 0, 1000, 0, 1000));
  const std::string all = EveryByteValue();
  EXPECT_EQ(Write(a, all), all.size());
  EXPECT_EQ(Status(b).cbInQue, all.size());
  EXPECT_EQ(ReadAll(b, all.size()), all);
  EXPECT_EQ(Write(b, all), all.size());
  EXPECT_EQ(ReadAll(a, all.size()), all);
  EXPECT_EQ(Status(a).cbInQue, 0u);
}

TEST_F(NullModem, EachEndOpensOnceAndNamesAreCaseBlind) {
  Cable(2);
  EXPECT_EQ(Open("nullmodem2a"), platform::kInvalidHandle);
  EXPECT_EQ(error(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open("\\\\.\\NULLMODEM2B:PACED"), platform::kInvalidHandle);
  EXPECT_EQ(error(), ERROR_ACCESS_DENIED);
  Close(a);
  a = OpenEnd("\\\\.\\nullmodem2a");
  EXPECT_NE(a, platform::kInvalidHandle);
  setenv("KAVREL_COM7", "NULLMODEM3A", 1);  // a COM port mapped onto a cable
  const Handle32 mapped = OpenEnd("COM7");
  EXPECT_EQ(Open("NULLMODEM3A"), platform::kInvalidHandle);
  unsetenv("KAVREL_COM7");
  const Handle32 far = OpenEnd("NULLMODEM3B");
  EXPECT_EQ(Write(mapped, "hi"), 2u);
  EXPECT_EQ(Read(far, 2), "hi");
}

TEST_F(NullModem, DtrDrivesDsrAndCarrierRtsDrivesCts) {
  Cable(4);
  // Both ends raise DTR and RTS when they open.
  EXPECT_EQ(Modem(a), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  EXPECT_TRUE(ops.EscapeCommFunction(b, CLRDTR));
  EXPECT_EQ(Modem(a), MS_CTS_ON);
  EXPECT_TRUE(ops.EscapeCommFunction(b, CLRRTS));
  EXPECT_EQ(Modem(a), 0u);
  EXPECT_TRUE(ops.EscapeCommFunction(b, SETRTS));
  EXPECT_EQ(Modem(a), MS_CTS_ON);
  EXPECT_TRUE(ops.EscapeCommFunction(b, SETDTR));
  EXPECT_EQ(Modem(a), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  EXPECT_EQ(Modem(b), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

  ASSERT_TRUE(NullModemSetRing("NULLMODEM4A", true));
  EXPECT_EQ(Modem(a) & MS_RING_ON, MS_RING_ON);
  EXPECT_EQ(Modem(b) & MS_RING_ON, 0u);

  DCB dcb = State(b);  // the DCB's line controls act on the lines too
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  ASSERT_TRUE(ops.SetCommState(b, &dcb));
  EXPECT_EQ(Modem(a) & (MS_DSR_ON | MS_RLSD_ON), 0u);
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(ops.SetCommState(b, &dcb));
  EXPECT_FALSE(ops.EscapeCommFunction(b, CLRRTS));  // the driver owns RTS now
  EXPECT_EQ(error(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ops.EscapeCommFunction(b, 0));
  EXPECT_EQ(error(), ERROR_INVALID_PARAMETER);

  Close(b);
  EXPECT_EQ(Modem(a) & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), 0u);
}

TEST_F(NullModem, BreakAndInjectedLineErrorsShowAtTheReceivingEnd) {
  Cable(5);
  DWORD errors = 0;
  Status(b, &errors);
  EXPECT_EQ(errors, 0u);
  ASSERT_TRUE(ops.EscapeCommFunction(a, SETBREAK));
  Status(b, &errors);
  EXPECT_EQ(errors, CE_BREAK);
  Status(b, &errors);
  EXPECT_EQ(errors, 0u);  // cleared by the look
  Status(a, &errors);
  EXPECT_EQ(errors, 0u);

  // Transmission is held while the break lasts.
  ASSERT_TRUE(Timeouts(a, 0, 0, 0, 0, 100));
  BOOL ok = FALSE;
  EXPECT_EQ(Write(a, "held", &ok), 0u);
  EXPECT_TRUE(ok);
  ASSERT_TRUE(ops.EscapeCommFunction(a, CLRBREAK));
  EXPECT_EQ(Write(a, "sent"), 4u);

  ASSERT_TRUE(NullModemInjectLineErrors("NULLMODEM5B", CE_OVERRUN | CE_FRAME));
  Status(b, &errors);
  EXPECT_EQ(errors, CE_OVERRUN | CE_FRAME);
  EXPECT_FALSE(NullModemInjectLineErrors("NULLMODEM6A", CE_FRAME));  // not open
}

TEST_F(NullModem, AbortOnErrorFailsTransfersUntilTheErrorIsCleared) {
  Cable(7);
  DCB dcb = State(b);
  dcb.fAbortOnError = 1;
  ASSERT_TRUE(ops.SetCommState(b, &dcb));
  ASSERT_TRUE(Write(a, "xyz"));
  ASSERT_TRUE(NullModemInjectLineErrors("NULLMODEM7B", CE_RXPARITY));
  BOOL ok = TRUE;
  Read(b, 3, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error(), ERROR_OPERATION_ABORTED);
  Write(b, "w", &ok);
  EXPECT_FALSE(ok);
  DWORD errors = 0;
  Status(b, &errors);
  EXPECT_EQ(errors, CE_RXPARITY);
  EXPECT_EQ(Read(b, 3, &ok), "xyz");
  EXPECT_TRUE(ok);
}

TEST_F(NullModem, APeerThatClosesFailsTheOtherEndPromptly) {
  Cable(8);
  ASSERT_TRUE(Timeouts(a, 0, 0, 0, 0, 0));  // no time-outs
  ASSERT_TRUE(Write(b, "last"));
  std::thread closer([&] {
    usleep(100 * 1000);
    Ops().ops.CloseHandle(b);
  });
  Stopwatch clock;
  BOOL ok = FALSE;
  EXPECT_EQ(ReadAll(a, 4), "last");  // what arrived before stays readable
  Read(a, 10, &ok);                  // then the wait ends with the failure
  EXPECT_FALSE(ok);
  EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_LT(clock.ms(), 2000);
  closer.join();
  std::erase(opened, b);
  for (int again = 0; again < 3; ++again) {
    clock = Stopwatch();
    Read(a, 10, &ok);
    EXPECT_FALSE(ok);
    Write(a, "x", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
    Status(a, nullptr, &ok);
    EXPECT_FALSE(ok);
    EXPECT_LT(clock.ms(), 1000);  // no time-outs are set: only the failure ends these
  }
}

TEST_F(NullModem, TimeoutsAndFlowControlHoldAsOnALine) {
  Cable(9);
  // The whole request, or the total time-out.
  ASSERT_TRUE(Timeouts(b, MAXDWORD, 0, 300));
  std::thread late([&] {
    usleep(50 * 1000);
    Ops().Write(a, "ab");
  });
  Stopwatch clock;
  EXPECT_EQ(Read(b, 5), "ab");
  EXPECT_GE(clock.ms(), 280);
  late.join();

  // CTS flow control: nothing goes while the other end holds RTS low.
  DCB dcb = State(a);
  dcb.fOutxCtsFlow = 1;
  ASSERT_TRUE(ops.SetCommState(a, &dcb));
  ASSERT_TRUE(ops.EscapeCommFunction(b, CLRRTS));
  ASSERT_TRUE(Timeouts(a, 0, 0, 0, 0, 100));
  EXPECT_EQ(Write(a, "wait"), 0u);
  COMSTAT held = Status(a);
  EXPECT_EQ(held.fCtsHold, 1u);
  ASSERT_TRUE(ops.EscapeCommFunction(b, SETRTS));
  EXPECT_EQ(Write(a, "go"), 2u);

  // A full input queue holds the writer back: nothing is dropped.
  ASSERT_TRUE(ops.SetupComm(b, 64, 64));
  ASSERT_TRUE(ops.PurgeComm(b, PURGE_RXCLEAR));
  clock = Stopwatch();
  EXPECT_EQ(Write(a, std::string(200, 'q')), 64u);
  EXPECT_GE(clock.ms(), 90);
  EXPECT_EQ(Status(b).cbInQue, 64u);
}

TEST_F(NullModem, PacedBytesTravelAtTheBaudRate) {
  Cable(10, ":PACED");
  DCB dcb = State(a);
  dcb.BaudRate = 9600;  // 8N1: ten bits, about 1.04 ms a byte
  ASSERT_TRUE(ops.SetCommState(a, &dcb));
  ASSERT_TRUE(Timeouts(b, 0, 0, 2000));
  Stopwatch clock;
  EXPECT_EQ(Write(a, std::string(192, 'p')), 192u);
  EXPECT_GT(Status(a).cbOutQue, 50u);  // still on the wire
  EXPECT_EQ(Read(b, 192).size(), 192u);
  EXPECT_GE(clock.ms(), 190);
  EXPECT_LT(clock.ms(), 1500);
  // The other direction is not paced.
  clock = Stopwatch();
  EXPECT_EQ(Write(b, std::string(192, 'u')), 192u);
  EXPECT_EQ(Status(a).cbInQue, 192u);
  EXPECT_LT(clock.ms(), 150);  // paced, it would take 200 ms
}

// A device that answers and hangs up at once: its close lets what is still
// on the wire arrive first, so the peer reads the answer and only then
// finds the line gone.
TEST_F(NullModem, APacedEndThatClosesDeliversWhatWasOnTheWire) {
  Cable(12, ":PACED");
  DCB dcb = State(a);
  dcb.BaudRate = 9600;
  ASSERT_TRUE(ops.SetCommState(a, &dcb));
  const std::string answer(100, 'r');
  ASSERT_EQ(Write(a, answer), answer.size());
  Close(a);
  EXPECT_EQ(Status(b).cbInQue, answer.size());
  ASSERT_TRUE(Timeouts(b, MAXDWORD, 0, 0));
  EXPECT_EQ(Read(b, 200), answer);
  BOOL ok = TRUE;
  Read(b, 1, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(NullModem, APacedEndHoldsItsQueuedBytesWhileFlowControlOrABreakHoldsIt) {
  Cable(11, ":PACED");
  DCB dcb = State(a);
  dcb.BaudRate = 9600;  // about 1.04 ms a byte
  dcb.fOutxCtsFlow = 1;
  ASSERT_TRUE(ops.SetCommState(a, &dcb));
  ASSERT_TRUE(Timeouts(b, 0, 0, 2000));
  struct Hold {
    Handle32* end;
    DWORD on, off;
  };
  for (const Hold& hold :
       {Hold{&b, CLRRTS, SETRTS}, Hold{&a, SETXOFF, SETXON}, Hold{&a, SETBREAK, CLRBREAK}}) {
    SCOPED_TRACE(hold.on);
    ASSERT_EQ(Write(a, std::string(100, 'h')), 100u);
    ASSERT_TRUE(ops.EscapeCommFunction(*hold.end, hold.on));
    const size_t before = Status(b).cbInQue;
    usleep(150 * 1000);  // the whole queue's time on the line
    EXPECT_LE(Status(b).cbInQue, before + 1);
    EXPECT_GE(Status(a).cbOutQue, 90u);
    ASSERT_TRUE(ops.EscapeCommFunction(*hold.end, hold.off));
    EXPECT_EQ(Read(b, 100), std::string(100, 'h'));
  }
}

// A host that exits while its other threads still stream over cables exits
// cleanly (before, the exit destroyed the handle table and the cables under
// those threads, and about one exit in three crashed).
TEST(NullModemExit, TheProcessExitsWhileThreadsStreamOverCables) {
  int status = 0, round = 0;
  for (; round < 20 && status == 0; ++round) {
    const pid_t child = fork();
    if (child == 0) {
      alarm(5);
      for (int cable = 14; cable < 17; ++cable) {
        std::thread([cable] {
          Ops o;
          const std::string name = "NULLMODEM" + std::to_string(cable);
          for (;;) {
            const Handle32 a = o.Open(name + "A"), b = o.Open(name + "B");
            o.Timeouts(b, MAXDWORD, 0, 0);
            for (int i = 0; i < 20; ++i) {
              o.Write(a, "0123456789abcdef");
              o.Read(b, 64);
            }
            o.ops.CloseHandle(a);
            o.ops.CloseHandle(b);
          }
        }).detach();
      }
      usleep(20000);
      exit(0);
    }
    if (waitpid(child, &status, 0) != child) status = -1;
  }
  EXPECT_EQ(status, 0) << "round " << round;
}

}  // namespace
}  // namespace kavrel::testing
