// The connection layer end to end over the built-in virtual null-modem and
// a pseudo-terminal: real traffic, the events, and the waits as measured.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "platform/posix/device_ops.h"
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
  // Opens the host's slot 2 with CommOpen, as a host that polls does: the
  // loop runs only on a thread where no OpenComm has run.
  void OpenHostSlot(std::u16string_view device, std::u16string_view settings) {
    short slot = 2;
    TestBstr name(device), mode(settings);
    LONG r = -1;
    ASSERT_EQ(S_OK, host.comms->CommOpen(&slot, &name.s, &mode.s, &r));
    ASSERT_EQ(0, r);
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
  OpenHostSlot(u"COM2", u"baud=115200 parity=N data=8 stop=1");
  if (HasFatalFailure()) return;
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

// A command the host sends from its message pump while the loop runs goes
// out whole: the flush of that pass ends transfers but keeps what the write
// handed to a device that sends it at line speed.
TEST_F(EndToEndTest, AWriteFromTheMessagePumpSurvivesTheRestOfThePass) {
  OpenHostSlot(u"NULLMODEM7A:PACED", u"baud=9600 parity=N data=8 stop=1");
  if (HasFatalFailure()) return;
  const std::u16string command = u"MEAS:VOLT:DC? 10,0.001\r";
  struct Sender {
    _comms* comms;
    const std::u16string* command;
    int pumps = 0;
  } sender{host.comms.get(), &command};
  KavrelSetMessagePump(
      [](void* c) {
        auto* s = static_cast<Sender*>(c);
        if (++s->pumps != 1) return;
        TestBstr text(*s->command);
        s->comms->WriteComm(&text.s);  // stops the loop after this pass
      },
      &sender);
  const HRESULT looped = host.comms->looprocess();
  KavrelSetMessagePump(nullptr, nullptr);
  ASSERT_EQ(S_OK, looped);
  EXPECT_EQ(-1, Status());
  std::string got;
  for (int i = 0; i < 1500 && got.size() < command.size(); ++i) {
    short peerSlot = 1;
    TestBstr piece;
    LONG size = 64, n = 0;
    peer.comms->CommRead(&peerSlot, &piece.s, &size, &n);
    if (n > 0)
      got += Utf8(piece.s);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(std::string(command.begin(), command.end()), got);
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

// Numbered lines, 26 bytes each, in writes of 1 to 65 lines: several
// bursts are larger than one read takes.
std::vector<std::string> StreamWrites() {
  std::vector<std::string> writes;
  const int burstLines[] = {50, 2, 1, 65, 5, 44};
  int line = 0;
  for (size_t burst = 0; line < 420; ++burst) {
    std::string text;
    for (int i = 0; i < burstLines[burst % 6] && line < 420; ++i, ++line) {
      char buffer[48];
      std::snprintf(buffer, sizeof buffer, "line %05d of the stream\r\n", line);
      text += buffer;
    }
    writes.push_back(text);
  }
  return writes;
}

// Whether successive DataArrived texts can be exactly `sent`: each text is
// the next piece of it, or the previous text again (a pass that read
// nothing raises the unchanged buffer). Tracks every position the texts can
// have reached, since a piece may happen to equal the one before.
::testing::AssertionResult AddsUpTo(const std::vector<std::string>& texts,
                                    const std::string& sent) {
  std::set<size_t> reached{0};
  for (size_t i = 0; i < texts.size(); ++i) {
    std::set<size_t> next;
    for (size_t at : reached) {
      if (sent.compare(at, texts[i].size(), texts[i]) == 0) next.insert(at + texts[i].size());
      if (i > 0 && texts[i] == texts[i - 1]) next.insert(at);
    }
    reached.swap(next);
  }
  if (reached.count(sent.size())) return ::testing::AssertionSuccess();
  size_t fresh = 0;
  for (size_t i = 0; i < texts.size(); ++i)
    if (i == 0 || texts[i] != texts[i - 1]) fresh += texts[i].size();
  return ::testing::AssertionFailure() << texts.size() << " DataArrived texts bring " << fresh
                                       << " new bytes of the " << sent.size() << " sent";
}

// Opens `device` with CommOpen on a fresh thread, runs looprocess there and
// collects the DataArrived texts while `peerWrite` sends the stream; a
// handler ends the loop once the stream has come (or after a time bound).
std::vector<std::string> LoopWhilePeerStreams(
    const std::u16string& device, const std::function<void(const std::string&)>& peerWrite,
    const std::string& sent, DWORD inputQueue = 0) {
  std::vector<std::string> texts;
  std::atomic<int> opened{0};  // 1 open, -1 failed
  std::atomic<bool> peerDone{false};
  std::thread loop([&] {
    RecordingSink sink;  // outlives the object, which lets go of it as it goes
    TestObject host{platform::NativeRuntime()};
    host.comms->put_PortComm(1);
    short slot = 1;
    TestBstr name(device), mode(u"baud=115200 parity=N data=8 stop=1");
    LONG r = -1;
    host.comms->CommOpen(&slot, &name.s, &mode.s, &r);
    // A device whose driver buffers more than one read takes, as a UART
    // driver does; the opened slot's handle is the test's to size.
    if (r == 0 && inputQueue &&
        !platform::NativeRuntime().device.SetupComm(host.object()->portTable[0].lngHandle,
                                                    inputQueue, 1024)) {
      r = -1;
    }
    opened = r == 0 ? 1 : -1;
    if (r != 0) return;
    Connect(host.comms.get(), &sink);
    size_t fresh = 0;  // bytes of the texts that differ from the one before
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
    sink.handler = [&](DISPID id, const std::u16string& text) {
      if (id != KAVREL_DISPID_DATAARRIVED) return;
      std::string bytes(text.begin(), text.end());
      if (texts.empty() || bytes != texts.back()) fresh += bytes.size();
      texts.push_back(std::move(bytes));
      if (peerDone && deadline - Clock::now() > std::chrono::seconds(5))
        deadline = Clock::now() + std::chrono::seconds(5);
      if (fresh >= sent.size() || Clock::now() > deadline) host.comms->CloseComm();
    };
    // Bounded also when no event comes: the pump starts every pass.
    struct Bound {
      _comms* comms;
      Clock::time_point end = Clock::now() + std::chrono::seconds(90);
    } bound{host.comms.get()};
    KavrelSetMessagePump(
        [](void* c) {
          auto* b = static_cast<Bound*>(c);
          if (Clock::now() > b->end) b->comms->CloseComm();
        },
        &bound);
    host.comms->looprocess();
    KavrelSetMessagePump(nullptr, nullptr);
    host.comms->CloseComm();
  });
  while (opened == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (opened == 1) {
    for (const std::string& piece : StreamWrites()) {
      peerWrite(piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(piece.size() > 1024 ? 30 : 5));
    }
  }
  peerDone = true;
  loop.join();
  EXPECT_EQ(opened, 1);
  return texts;
}

std::string Stream() {
  std::string all;
  for (const std::string& piece : StreamWrites()) all += piece;
  return all;
}

TEST(PollingLoopStreamTest, LosesNothingOverAPty) {
  int master = -1, slave = -1;
  char path[128] = {};
  ASSERT_EQ(0, openpty(&master, &slave, path, nullptr, nullptr));
  close(slave);
  const std::string sent = Stream();
  const auto texts = LoopWhilePeerStreams(
      std::u16string(path, path + std::strlen(path)),
      [&](const std::string& piece) {
        ASSERT_EQ(static_cast<ssize_t>(piece.size()), write(master, piece.data(), piece.size()));
      },
      sent);
  close(master);
  EXPECT_TRUE(AddsUpTo(texts, sent));
}

TEST(PollingLoopStreamTest, LosesNothingOverTheNullModem) {
  platform::posix::TtyDeviceOps far;
  const platform::Handle32 b = far.CreateFileA("NULLMODEM45B", GENERIC_READ | GENERIC_WRITE, 0,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  ASSERT_NE(b, platform::kInvalidHandle);
  COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 10000};
  ASSERT_TRUE(far.SetCommTimeouts(b, &timeouts));
  const std::string sent = Stream();
  const auto texts = LoopWhilePeerStreams(
      u"NULLMODEM45A",
      [&](const std::string& piece) {
        DWORD written = 0;
        OVERLAPPED o{};
        far.WriteFile(b, piece.data(), static_cast<DWORD>(piece.size()), &written, &o);
        ASSERT_EQ(piece.size(), written);
      },
      sent, 4096);
  far.CloseHandle(b);
  EXPECT_TRUE(AddsUpTo(texts, sent));
}

}  // namespace
}  // namespace kavrel::testing
