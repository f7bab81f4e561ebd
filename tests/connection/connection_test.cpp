// The connection layer over the scripted platform: the exact platform
// sequences, StatusComm, ReadBuffer, the thread's state and the events.
#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

#include "support/test_host.h"

namespace kavrel::testing {
namespace {

using Ops = std::vector<std::string>;

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { CurrentThreadState() = ThreadState{}; }
  void TearDown() override { CurrentThreadState() = ThreadState{}; }

  // Opens slot 1 at 9600 through OpenComm and forgets the calls it made.
  void Open(short port = 1) {
    t.comms->put_PortComm(port);
    t.comms->put_BaudComm(9600);
    ASSERT_EQ(S_OK, t.comms->OpenComm());
    rt.device.ClearCalls();
  }
  VARIANT_BOOL Status() {
    VARIANT_BOOL s = 0;
    t.comms->get_StatusComm(&s);
    return s;
  }
  std::string Buffer() {
    BSTR b = nullptr;
    t.comms->get_ReadBuffer(&b);
    std::string out = Utf8(b);
    SysFreeString(b);
    return out;
  }
  std::string LastError() {
    TestBstr message;
    LONG code = 0;
    t.comms->CommGetError(&message.s, &code);
    return Utf8(message.s);
  }

  RecordingSink sink;  // outlives the object, which holds it while connected
  ScriptedRuntime rt;
  TestObject t{rt.runtime()};
  ThreadState& ts = CurrentThreadState();
};

TEST_F(ConnectionTest, OpenCommClosesOpensConfiguresAndRaisesRtsThenDtr) {
  t.comms->put_PortComm(1);
  t.comms->put_BaudComm(19200);
  VARIANT_BOOL statusWhenRtsRose = 0;
  rt.device.Script("EscapeCommFunction",
                   {.during = [&] { t.comms->get_StatusComm(&statusWhenRtsRose); }});
  ASSERT_EQ(S_OK, t.comms->OpenComm());
  EXPECT_EQ(
      (Ops{"SleepEx", "CreateFileA", "SetupComm", "PurgeComm", "SetCommTimeouts", "GetCommState",
           "BuildCommDCBA", "SetCommState", "EscapeCommFunction", "EscapeCommFunction"}),
      rt.device.ops());
  EXPECT_EQ(100, rt.device.CallsOf("SleepEx")[0].args[0]);
  EXPECT_EQ("COM1", rt.device.CallsOf("CreateFileA")[0].text);
  EXPECT_EQ("baud=19200 parity=N data=8 stop=1", rt.device.CallsOf("BuildCommDCBA")[0].text);
  auto lines = rt.device.CallsOf("EscapeCommFunction");
  EXPECT_EQ(SETRTS, lines[0].args[1]);
  EXPECT_EQ(SETDTR, lines[1].args[1]);
  EXPECT_EQ(-1, statusWhenRtsRose) << "StatusComm is set before the lines rise";
  EXPECT_EQ(-1, Status());
  EXPECT_EQ(0, ts.lngStatus);
  EXPECT_EQ(4, ts.intLoopState);
  EXPECT_EQ(0, rt.pump.count) << "the closing looprocess returns at once";
}

TEST_F(ConnectionTest, OpenCommOnANewObjectFailsQuietlyForSlotZero) {
  ASSERT_EQ(S_OK, t.comms->OpenComm());
  EXPECT_EQ((Ops{"SleepEx"}), rt.device.ops()) << "no device is opened";
  EXPECT_EQ(0, Status());
  EXPECT_EQ(9, ts.lngStatus);
  EXPECT_EQ("Error (9): CommOpen - Subscript out of range", LastError());
}

TEST_F(ConnectionTest, OpenCommThatCannotOpenTheDeviceLeavesTheLinesAlone) {
  t.comms->put_PortComm(3);
  rt.device.Script("CreateFileA", {.result = -1, .lastError = 2});
  ASSERT_EQ(S_OK, t.comms->OpenComm());
  EXPECT_EQ(0, Status());
  EXPECT_EQ(2, ts.lngStatus);
  EXPECT_TRUE(rt.device.CallsOf("EscapeCommFunction").empty());
  EXPECT_EQ("COM3", rt.device.CallsOf("CreateFileA")[0].text);
}

TEST_F(ConnectionTest, OpenCommTwiceReopensTheSameSlotAndLeavesOthersOpen) {
  Open(1);
  ASSERT_EQ(S_OK, t.comms->OpenComm());
  EXPECT_EQ((Ops{"SleepEx", "CloseHandle", "CreateFileA", "SetupComm", "PurgeComm",
                 "SetCommTimeouts", "GetCommState", "BuildCommDCBA", "SetCommState",
                 "EscapeCommFunction", "EscapeCommFunction"}),
            rt.device.ops());
  EXPECT_EQ(-1, Status());
  rt.device.ClearCalls();
  rt.device.SetDefaultHandle(200);
  t.comms->put_PortComm(2);
  ASSERT_EQ(S_OK, t.comms->OpenComm());
  EXPECT_TRUE(rt.device.CallsOf("CloseHandle").empty()) << "slot 2 was not open; slot 1 stays";
  EXPECT_EQ(-1, t.object()->portTable[0].blnOpen);
  EXPECT_EQ(-1, t.object()->portTable[1].blnOpen);
}

TEST_F(ConnectionTest, AFailingWaitMakesOpenCommFailWithThatError) {
  t.comms->put_PortComm(1);
  rt.device.Script("SleepEx", {.outOfMemory = true});
  EXPECT_EQ(static_cast<HRESULT>(0x800A0007u), t.comms->OpenComm());
  EXPECT_EQ(u"Out of memory", TakeErrorDescription());
  EXPECT_EQ(4, ts.intLoopState) << "what ran before the failure stays done";
  EXPECT_TRUE(rt.device.CallsOf("CreateFileA").empty());
}

TEST_F(ConnectionTest, CloseCommWaitsStopsLoopsAndKeepsTheFlags) {
  Open(1);
  ts.intLoopState = 0;
  ts.lngStatus = 55;
  ASSERT_EQ(S_OK, t.comms->CloseComm());
  EXPECT_EQ((Ops{"SleepEx", "CloseHandle"}), rt.device.ops());
  EXPECT_EQ(4, ts.intLoopState);
  EXPECT_EQ(0, ts.lngStatus);
  EXPECT_EQ(-1, Status()) << "closing changes neither StatusComm nor ReadBuffer";
  rt.device.ClearCalls();
  ts.lngStatus = 55;
  ASSERT_EQ(S_OK, t.comms->CloseComm());
  EXPECT_EQ((Ops{"SleepEx"}), rt.device.ops()) << "nothing open: only the wait";
  EXPECT_EQ(0, ts.lngStatus);
}

TEST_F(ConnectionTest, ControlOnAndOffRunBothStepsWhateverTheyReturn) {
  t.comms->put_PortComm(7);
  ASSERT_EQ(S_OK, t.comms->ControlOn());
  EXPECT_EQ(9, ts.lngStatus);
  EXPECT_EQ("Error (9): CommSetLine - Subscript out of range", LastError());
  Open(1);
  rt.device.Script("EscapeCommFunction", {.result = 0, .lastError = 50});
  ASSERT_EQ(S_OK, t.comms->ControlOff());
  auto lines = rt.device.CallsOf("EscapeCommFunction");
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(CLRRTS, lines[0].args[1]);
  EXPECT_EQ(CLRDTR, lines[1].args[1]);
  EXPECT_EQ(0, ts.lngStatus) << "the DTR step's status overwrites the RTS step's";
  EXPECT_NE(std::string::npos, LastError().find("Error (50): CommSetLine (EscapeCommFunction)"))
      << "the RTS failure stays visible in the record";
}

TEST_F(ConnectionTest, ReadCommReplacesTheBufferOnlyWhenCharactersCame) {
  Open(1);
  rt.device.Script("ClearCommError", {.value = 5});
  rt.device.Script("ReadFile", {.data = "hello"});
  ASSERT_EQ(S_OK, t.comms->ReadComm());
  EXPECT_EQ(64, rt.device.CallsOf("ReadFile")[0].args[1]) << "asks for 64";
  EXPECT_EQ("hello", Buffer());
  EXPECT_EQ(-1, Status());
  EXPECT_EQ(5, ts.lngStatus);
  rt.device.Script("ClearCommError", {.value = 3});
  rt.device.Script("ReadFile", {.data = "abc"});
  t.comms->ReadComm();
  EXPECT_EQ("abc", Buffer());
  // Nothing waiting: everything stays.
  t.object()->statusComm = 0;
  t.comms->ReadComm();
  EXPECT_EQ("abc", Buffer());
  EXPECT_EQ(0, Status());
  EXPECT_EQ(0, ts.lngStatus);
  // A failed read: StatusComm false, the buffer kept.
  t.object()->statusComm = -1;
  rt.device.Script("ClearCommError", {.result = 0, .lastError = 6});
  t.comms->ReadComm();
  EXPECT_EQ(0, Status());
  EXPECT_EQ("abc", Buffer());
  EXPECT_EQ(-1, ts.lngStatus);
}

TEST_F(ConnectionTest, ClearCommPurgesBothQueuesAndStoresTheStatus) {
  Open(2);
  ASSERT_EQ(S_OK, t.comms->ClearComm());
  ASSERT_EQ((Ops{"PurgeComm"}), rt.device.ops());
  EXPECT_EQ(15, rt.device.calls()[0].args[1]);
  t.comms->put_PortComm(0);
  ASSERT_EQ(S_OK, t.comms->ClearComm());
  EXPECT_EQ(9, ts.lngStatus);
  EXPECT_EQ(-1, Status()) << "ClearComm leaves StatusComm";
}

TEST_F(ConnectionTest, WriteCommSendsWaitsAndRaisesDataSent) {
  Open(1);
  VARIANT_BOOL statusInHandler = 0;
  sink.handler = [&](DISPID, const std::u16string&) { t.comms->get_StatusComm(&statusInHandler); };
  Connect(t.comms.get(), &sink);
  t.object()->statusComm = 0;
  ts.intLoopState = 0;
  TestBstr text(u"AT\r");
  ASSERT_EQ(S_OK, t.comms->WriteComm(&text.s));
  EXPECT_EQ((Ops{"SleepEx", "WriteFile"}), rt.device.ops());
  EXPECT_EQ("AT\r", rt.device.CallsOf("WriteFile")[0].text);
  EXPECT_EQ(4, ts.intLoopState);
  EXPECT_EQ(3, ts.lngExpected);
  EXPECT_EQ(3, ts.lngStatus);
  ASSERT_EQ(1u, sink.events.size());
  EXPECT_EQ(KAVREL_DISPID_DATASENT, sink.events[0].first);
  EXPECT_EQ(u"AT\r", sink.events[0].second);
  EXPECT_EQ(-1, statusInHandler);
  EXPECT_EQ(11, rt.pump.count) << "CommWrite's pumps; looprocess pumped nothing";

  // Empty text: 0 expected, 0 written, DataSent with empty text.
  TestBstr empty(u"");
  ASSERT_EQ(S_OK, t.comms->WriteComm(&empty.s));
  EXPECT_EQ(0, ts.lngExpected);
  ASSERT_EQ(2u, sink.events.size());
  EXPECT_EQ(u"", sink.events[1].second);
}

TEST_F(ConnectionTest, AWriteCommInsideAnotherOnesPumpLeavesItsOutcomeAlone) {
  Open(1);
  Connect(t.comms.get(), &sink);
  bool nested = false;
  rt.pump.handler = [&] {
    if (nested) return;
    nested = true;
    TestBstr inner(u"xy");
    t.comms->WriteComm(&inner.s);
  };
  TestBstr text(u"hello");
  ASSERT_EQ(S_OK, t.comms->WriteComm(&text.s));
  EXPECT_EQ(-1, Status()) << "all five characters went out";
  ASSERT_EQ(2u, sink.events.size());
  EXPECT_EQ(u"xy", sink.events[0].second);
  EXPECT_EQ(u"hello", sink.events[1].second);
}

TEST_F(ConnectionTest, WriteCommOnANeverOpenedSlotClearsStatusWithoutAnEvent) {
  t.comms->put_PortComm(4);
  t.object()->statusComm = -1;
  Connect(t.comms.get(), &sink);
  rt.device.Script("WriteFile", {.result = 0, .lastError = 6});
  TestBstr text(u"x");
  ASSERT_EQ(S_OK, t.comms->WriteComm(&text.s));
  EXPECT_EQ(0, Status());
  EXPECT_TRUE(sink.events.empty());
  EXPECT_EQ(100, rt.device.CallsOf("SleepEx")[0].args[0]) << "the wait comes first anyway";
}

TEST_F(ConnectionTest, LooprocessReturnsAtOnceOnceStopped) {
  ts.intLoopState = 4;
  ASSERT_EQ(S_OK, t.comms->looprocess());
  ts.intLoopState = 32767;
  ASSERT_EQ(S_OK, t.comms->looprocess());
  EXPECT_TRUE(rt.device.calls().empty());
  EXPECT_EQ(0, rt.pump.count);
}

// A polling loop on a thread where nothing has stopped loops yet: passes
// run until a handler stops them, and each pass runs to its end.
TEST_F(ConnectionTest, LooprocessPollsUntilAHandlerStopsItAfterTheWholePass) {
  Open(1);
  ts.intLoopState = 0;
  Connect(t.comms.get(), &sink);
  rt.device.Script("ClearCommError", {.value = 2});
  rt.device.Script("ReadFile", {.data = "ok"});
  bool stopped = false;
  rt.pump.handler = [&] {
    // At the first pump of the third pass (two DataArrived so far).
    if (!stopped && sink.events.size() == 2) {
      stopped = true;
      t.comms->ClearComm();
      TestBstr text(u"stop");
      t.comms->WriteComm(&text.s);  // sets intLoopState to 4 for every loop of the thread
    }
  };
  ASSERT_EQ(S_OK, t.comms->looprocess());
  // Three passes: each raises DataArrived with the unchanged buffer.
  std::vector<std::u16string> arrived;
  for (auto& e : sink.events)
    if (e.first == KAVREL_DISPID_DATAARRIVED) arrived.push_back(e.second);
  EXPECT_EQ((std::vector<std::u16string>{u"ok", u"ok", u"ok"}), arrived)
      << "reads after the first brought nothing; the buffer is raised again";
  EXPECT_EQ(1u, rt.device.CallsOf("ReadFile").size());
  // Each pass's purge only ends transfers, keeping both queues; the host's
  // own ClearComm (here from the pump, after the second pass) empties both.
  std::vector<long long> purges;
  for (const Call& c : rt.device.CallsOf("PurgeComm")) purges.push_back(c.args[1]);
  EXPECT_EQ((std::vector<long long>{3, 3, 15, 3}), purges);
  auto sleeps = rt.device.CallsOf("SleepEx");
  EXPECT_EQ(20, sleeps.back().args[0]) << "the stopped pass still ends with its 20 ms wait";
}

TEST_F(ConnectionTest, AHandlerMayReleaseTheLastReferenceDuringDataArrived) {
  Open(1);
  ts.intLoopState = 0;
  Connect(t.comms.get(), &sink);
  rt.device.Script("ClearCommError", {.value = 1});
  rt.device.Script("ReadFile", {.data = "x"});
  _comms* raw = t.comms.get();
  sink.handler = [&](DISPID id, const std::u16string&) {
    if (id != KAVREL_DISPID_DATAARRIVED) return;
    raw->CloseComm();  // ends the loop after this pass
    t.comms.reset();   // and the host lets go
  };
  ASSERT_EQ(S_OK, raw->looprocess());  // the running member kept the object alive
  EXPECT_EQ(1u, sink.events.size());
}

TEST_F(ConnectionTest, ANestedLoopAndTheOuterOneBothEndAfterTheirPasses) {
  Open(1);
  TestObject other(rt.runtime());
  other.comms->put_PortComm(3);
  ts.intLoopState = 0;
  int pumps = 0;
  bool nested = false;
  rt.pump.handler = [&] {
    ++pumps;
    if (pumps == 1) {
      nested = true;
      t.comms->looprocess();  // polls on its own while the state is below 4
      nested = false;
    } else if (nested && pumps == 6) {
      other.comms->OpenComm();  // another object: stops every loop of the thread
    }
  };
  ASSERT_EQ(S_OK, t.comms->looprocess());
  EXPECT_EQ(4, ts.intLoopState);
  int passWaits = 0;
  for (const Call& c : rt.device.CallsOf("SleepEx")) passWaits += c.args[0] == 20;
  // The nested loop ran three passes (pumps 2-3, 4-5, 6-...), then the outer
  // loop finished its first pass; nothing ran a further pass.
  EXPECT_EQ(4, passWaits);
  EXPECT_EQ("COM3", rt.device.CallsOf("CreateFileA").back().text);
}

TEST_F(ConnectionTest, ADataSentHandlerMayReleaseTheHostsLastReference) {
  Open(1);
  Connect(t.comms.get(), &sink);
  _comms* raw = t.comms.get();
  sink.handler = [&](DISPID, const std::u16string&) { t.comms.reset(); };
  TestBstr text(u"bye");
  EXPECT_EQ(S_OK, raw->WriteComm(&text.s));  // runs to its end on a live object
  EXPECT_EQ(1u, sink.events.size());
}

TEST_F(ConnectionTest, ObjectsOfOneThreadShareTheLoopStateAndOthersDoNot) {
  TestObject second(rt.runtime());
  ts.intLoopState = 0;
  second.comms->CloseComm();
  EXPECT_EQ(4, ts.intLoopState) << "the first object's loops stop too";
  std::thread([&] {
    ScriptedRuntime other;
    TestObject third(other.runtime());
    EXPECT_EQ(0, CurrentThreadState().intLoopState);
  }).join();
}

// A host thread that ends inside a handler (pthread_exit, cancellation, an
// interpreter letting its threads go) unwinds through the member: the
// process goes on, and the object and the sink are let go as on a return.
TEST(ThreadExitTest, AThreadEndingInAHandlerUnwindsThroughTheMemberAndLetsGo) {
  struct Run {
    RecordingSink sink;
    bool handled = false;
    bool returned = false;
  } run;
  run.sink.handler = [&](DISPID, const std::u16string&) {
    run.handled = true;
    pthread_exit(nullptr);
  };
  const auto body = [](void* r) -> void* {
    auto& run = *static_cast<Run*>(r);
    ScriptedRuntime rt;
    TestObject t{rt.runtime()};
    t.comms->put_PortComm(1);
    t.comms->put_BaudComm(9600);
    if (t.comms->OpenComm() != S_OK) return nullptr;
    Connect(t.comms.get(), &run.sink);
    TestBstr text(u"AT");
    t.comms->WriteComm(&text.s);
    run.returned = true;
    return nullptr;
  };
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, nullptr, body, &run));
  ASSERT_EQ(0, pthread_join(thread, nullptr));
  EXPECT_TRUE(run.handled);
  EXPECT_FALSE(run.returned);
  EXPECT_EQ(1, run.sink.refs) << "the object (or a delivery) still holds the sink";
}

TEST(MessagePumpTest, TheHostsPumpRunsOncePerPumpingPointOnItsThread) {
  struct Counter {
    int calls = 0;
  } counter;
  KavrelSetMessagePump([](void* c) { ++static_cast<Counter*>(c)->calls; }, &counter);
  platform::NativeRuntime().pump.Pump();
  platform::NativeRuntime().pump.Pump();
  std::thread([] { platform::NativeRuntime().pump.Pump(); }).join();
  EXPECT_EQ(2, counter.calls) << "another thread has no pump installed";
  KavrelSetMessagePump(nullptr, nullptr);
  platform::NativeRuntime().pump.Pump();
  EXPECT_EQ(2, counter.calls);
}

TEST(MessagePumpTest, RepeatedPumpingCallsTheHostEachTimeUntilItsHandlerRemovesIt) {
  struct Counter {
    int calls = 0;
    int removeAt = 0;
  } counter;
  const KavrelMessagePump pump = [](void* c) {
    auto& counter = *static_cast<Counter*>(c);
    if (++counter.calls == counter.removeAt) KavrelSetMessagePump(nullptr, nullptr);
  };
  KavrelSetMessagePump(pump, &counter);
  platform::NativeRuntime().pump.PumpRepeatedly(10);
  EXPECT_EQ(10, counter.calls);
  counter = {0, 3};
  platform::NativeRuntime().pump.PumpRepeatedly(10);
  EXPECT_EQ(3, counter.calls) << "the handler took the pump away on its third call";
  platform::NativeRuntime().pump.PumpRepeatedly(10);
  EXPECT_EQ(3, counter.calls);
}

}  // namespace
}  // namespace kavrel::testing
