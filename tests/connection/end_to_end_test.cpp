// The connection layer end to end over the built-in virtual null-modem and
// a pseudo-terminal: real traffic, the events, and the waits as measured.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/test_host.h"

namespace kavrel::testing {
namespace {

using Clock = std::chrono::steady_clock;
double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A host object on COM2 whose device is one end of a cable, and a peer
// object holding the other end in its slot 1.
class EndToEndTest : public ::testing::Test {
 public:
  void SetUp() override {
    CurrentThreadState() = ThreadState{};
    setenv("KAVREL_COM2", "NULLMODEM7A", 1);
    host.comms->put_PortComm(2);
    host.comms->put_BaudComm(115200);
    short slot = 1;
    TestBstr name(u"NULLMODEM7B"), mode(u"baud=115200 parity=N data=8 stop=1");
    LONG r = -1;
    ASSERT_EQ(S_OK, peer.comms->CommOpen(&slot, &name.s, &mode.s, &r));
    ASSERT_EQ(0, r);
  }
  void TearDown() override {
    host.comms->CloseComm();
    short slot = 1;
    LONG r = 0;
    peer.comms->CommClose(&slot, &r);
    unsetenv("KAVREL_COM2");
    CurrentThreadState() = ThreadState{};
  }
  std::string PeerRead() {
    short slot = 1;
    std::string all;
    for (int i = 0; i < 50; ++i) {
      TestBstr got;
      LONG size = 1024, n = 0;
      peer.comms->CommRead(&slot, &got.s, &size, &n);
      if (n > 0) all += Utf8(got.s);
      if (n <= 0 && !all.empty()) break;
      if (n <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return all;
  }
  void PeerWrite(std::u16string_view text) {
    short slot = 1;
    TestBstr t(text);
    LONG n = 0;
    peer.comms->CommWrite(&slot, &t.s, &n);
    ASSERT_EQ(static_cast<LONG>(text.size()), n);
  }
  VARIANT_BOOL Status() {
    VARIANT_BOOL s = 0;
    host.comms->get_StatusComm(&s);
    return s;
  }

  RecordingSink sink;
  TestObject host{platform::NativeRuntime()};
  TestObject peer{platform::NativeRuntime()};
};

TEST_F(EndToEndTest, OpenWriteReadAndCloseMoveRealBytesAndTakeTheirWaits) {
  Connect(host.comms.get(), &sink);
  auto start = Clock::now();
  ASSERT_EQ(S_OK, host.comms->OpenComm());
  const double openMs = MsSince(start);
  ASSERT_EQ(-1, Status());

  // The host raised RTS and DTR: the peer sees CTS, DSR and carrier detect.
  short slot = 1, mask = 0xB0;
  VARIANT_BOOL on = 0;
  LONG r = -1;
  peer.comms->CommGetLine(&slot, &mask, &on, &r);
  EXPECT_EQ(0, r);
  EXPECT_EQ(-1, on);

  TestBstr text(u"MEAS?\r\n\u20AC\u00FF");
  start = Clock::now();
  ASSERT_EQ(S_OK, host.comms->WriteComm(&text.s));
  const double writeMs = MsSince(start);
  EXPECT_EQ(-1, Status());
  ASSERT_EQ(1u, sink.events.size());
  EXPECT_EQ(u"MEAS?\r\n\u20AC\u00FF", sink.events[0].second);
  EXPECT_EQ(std::string("MEAS?\r\n\xE2\x82\xAC\xC3\xBF"), PeerRead());

  PeerWrite(u"+1.5E+00\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(S_OK, host.comms->ReadComm());
  BSTR buffer = nullptr;
  host.comms->get_ReadBuffer(&buffer);
  EXPECT_EQ("+1.5E+00\r\n", Utf8(buffer));
  SysFreeString(buffer);

  start = Clock::now();
  ASSERT_EQ(S_OK, host.comms->CloseComm());
  const double closeMs = MsSince(start);
  EXPECT_GE(openMs, 100.0);
  EXPECT_GE(writeMs, 100.0);
  EXPECT_GE(closeMs, 100.0);
  std::printf("[ measured ] OpenComm %.1f ms, WriteComm %.1f ms, CloseComm %.1f ms\n", openMs,
              writeMs, closeMs);
}

TEST_F(EndToEndTest, APollingLoopDeliversDataArrivedUntilAHandlerWritesBack) {
  // looprocess polls only on a thread where no WriteComm, CloseComm or
  // OpenComm has run: open the slot with CommOpen, as such a host does.
  short slot = 2;
  TestBstr name(u"COM2"), mode(u"baud=115200 parity=N data=8 stop=1");
  LONG r = -1;
  ASSERT_EQ(S_OK, host.comms->CommOpen(&slot, &name.s, &mode.s, &r));
  ASSERT_EQ(0, r);
  Connect(host.comms.get(), &sink);
  std::vector<double> passes;
  auto passStart = Clock::now();
  sink.handler = [&](DISPID id, const std::u16string& text) {
    if (id != KAVREL_DISPID_DATAARRIVED) return;
    passes.push_back(MsSince(passStart));
    passStart = Clock::now();
    if (text == u"PING\r") {
      TestBstr reply(u"PONG\r");
      host.comms->WriteComm(&reply.s);  // stops the loop after this pass
    }
  };
  // The host's message pump is where the instrument's answer turns up: the
  // peer writes from the pump on its seventh call (objects belong to their
  // thread, so the peer cannot write from another one).
  struct Feed {
    EndToEndTest* test;
    int pumps = 0;
  } feed{this};
  KavrelSetMessagePump(
      [](void* c) {
        auto* f = static_cast<Feed*>(c);
        if (++f->pumps == 7) f->test->PeerWrite(u"PING\r");
      },
      &feed);
  host.object()->statusComm = -1;  // DataArrived is raised while StatusComm is true
  const HRESULT looped = host.comms->looprocess();
  KavrelSetMessagePump(nullptr, nullptr);
  ASSERT_EQ(S_OK, looped);
  ASSERT_FALSE(passes.empty());
  EXPECT_EQ(u"PING\r", sink.events.back().first == KAVREL_DISPID_DATAARRIVED
                           ? sink.events.back().second
                           : sink.events[sink.events.size() - 2].second);
  EXPECT_EQ("PONG\r", PeerRead());
  double shortest = 1e9;
  for (size_t i = 1; i < passes.size(); ++i) shortest = std::min(shortest, passes[i]);
  if (passes.size() > 1) {
    EXPECT_GE(shortest, 20.0) << "each pass waits 20 ms";
  }
  std::printf("[ measured ] %zu polling passes, shortest %.1f ms\n", passes.size(), shortest);
}

TEST(PseudoTerminalEndToEndTest, TheConnectionLayerWorksOverAPty) {
  CurrentThreadState() = ThreadState{};
  int master = -1, slave = -1;
  char path[128] = {};
  ASSERT_EQ(0, openpty(&master, &slave, path, nullptr, nullptr));
  close(slave);
  setenv("KAVREL_COM3", path, 1);
  TestObject host(platform::NativeRuntime());
  host.comms->put_PortComm(3);
  host.comms->put_BaudComm(38400);
  ASSERT_EQ(S_OK, host.comms->OpenComm());
  VARIANT_BOOL status = 0;
  host.comms->get_StatusComm(&status);
  EXPECT_EQ(-1, status);
  TestBstr text(u"*IDN?\r");
  ASSERT_EQ(S_OK, host.comms->WriteComm(&text.s));
  char got[64] = {};
  ssize_t n = 0;
  for (int i = 0; i < 100 && n <= 0; ++i) {
    n = read(master, got, sizeof got);
    if (n <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ("*IDN?\r", std::string(got, n > 0 ? n : 0));
  ASSERT_EQ(6, write(master, "ACME\r\n", 6));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  host.comms->ReadComm();
  BSTR buffer = nullptr;
  host.comms->get_ReadBuffer(&buffer);
  EXPECT_EQ("ACME\r\n", Utf8(buffer));
  SysFreeString(buffer);
  host.comms->CloseComm();
  close(master);
  unsetenv("KAVREL_COM3");
  CurrentThreadState() = ThreadState{};
}

// The device vanishes under a running polling loop (the far end of the pty
// closes): every pass goes on failing with 1167 and waiting its 20 ms, no
// pass spins or hangs, and the loop still stops when the host asks.
TEST(PseudoTerminalEndToEndTest, APollingLoopOutlivesItsDeviceAndStillStops) {
  CurrentThreadState() = ThreadState{};
  int master = -1, slave = -1;
  char path[128] = {};
  ASSERT_EQ(0, openpty(&master, &slave, path, nullptr, nullptr));
  close(slave);
  setenv("KAVREL_COM4", path, 1);
  TestObject host(platform::NativeRuntime());
  host.comms->put_PortComm(4);
  short slot = 4;
  TestBstr name(u"COM4"), mode(u"baud=9600 parity=N data=8 stop=1");
  LONG r = -1;
  ASSERT_EQ(S_OK, host.comms->CommOpen(&slot, &name.s, &mode.s, &r));
  ASSERT_EQ(0, r);
  struct Loop {
    TestObject* host;
    int master;
    int pumps = 0;  // one at the start of each pass, one more in a read that got data
    Clock::time_point vanished;
    double untilStop = 0;
    std::string errorAfter;
  } loop{&host, master};
  KavrelSetMessagePump(
      [](void* c) {
        auto* l = static_cast<Loop*>(c);
        if (++l->pumps == 3) {
          close(l->master);
          l->vanished = Clock::now();
        } else if (l->pumps == 13) {
          l->untilStop = MsSince(l->vanished);
          l->errorAfter = CallCommGetError(l->host->comms.get());
          l->host->comms->CloseComm();  // what a host does: stops the loop
        }
      },
      &loop);
  const HRESULT looped = host.comms->looprocess();
  KavrelSetMessagePump(nullptr, nullptr);
  EXPECT_EQ(S_OK, looped);
  EXPECT_LE(loop.pumps, 14) << "the loop ends after the pass that asked it to";
  EXPECT_EQ(0u, loop.errorAfter.find("Error (1167): ")) << loop.errorAfter;
  // The passes over the vanished device took their waits: no busy loop.
  EXPECT_GE(loop.untilStop, 5 * 20.0 - 1);
  VARIANT_BOOL status = -1;
  host.comms->get_StatusComm(&status);
  EXPECT_EQ(0, status);
  unsetenv("KAVREL_COM4");
  CurrentThreadState() = ThreadState{};
}

}  // namespace
}  // namespace kavrel::testing
