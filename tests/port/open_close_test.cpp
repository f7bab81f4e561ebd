// CommOpen, CommSet, CommClose and CommFlush against the scripted platform,
// and the closing of open ports when the object goes.
#include "port_fixture.h"

namespace kavrel::testing {
namespace {

using testing::operator<<;

using Args = std::vector<long long>;

TEST_F(PortTest, OpenOpensSizesPurgesTimesAndConfiguresTheDevice) {
  Outcome built;
  built.value = 19200;  // BuildCommDCBA edits the slot's block
  dev().Script("BuildCommDCBA", built);
  EXPECT_EQ(0, Open(2, u"COM2", u"baud=19200 parity=N data=8 stop=1"));

  EXPECT_EQ((std::vector<std::string>{"CreateFileA", "SetupComm", "PurgeComm", "SetCommTimeouts",
                                      "GetCommState", "BuildCommDCBA", "SetCommState"}),
            dev().ops());
  const auto& c = dev().calls();
  EXPECT_EQ("COM2", c[0].text);
  EXPECT_EQ((Args{0xC0000000, 0, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0}), c[0].args);
  EXPECT_EQ((Args{100, 1024, 1024}), c[1].args);
  EXPECT_EQ((Args{100, 15}), c[2].args);
  EXPECT_EQ((Args{100, MAXDWORD, 0, 1000, 1000, 0}), c[3].args);
  EXPECT_EQ((Args{100}), c[4].args);
  EXPECT_EQ("baud=19200 parity=N data=8 stop=1", c[5].text);
  EXPECT_EQ((Args{100, 19200}), c[6].args);  // the same block, as edited

  EXPECT_TRUE(slot(2).blnOpen);
  EXPECT_EQ(100, slot(2).lngHandle);
  EXPECT_EQ(19200u, slot(2).udtDCB.BaudRate);
  EXPECT_EQ(kUntouched, Status());  // CommOpen keeps its own status
}

struct StepFailure {
  std::string op;
  std::string source;
  bool leavesSlotOpen = true;
};

class OpenStepFails : public PortTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(OpenStepFails, RecordsTheStepAndStopsThere) {
  const auto& step = GetParam();
  Outcome failure = Failing(1117);
  if (step.op == "CreateFileA") failure.result = -1;
  dev().Script(step.op, failure);

  EXPECT_EQ(1117, Open(1));
  EXPECT_EQ(step.op, LastDeviceOp());
  EXPECT_EQ(1117, object().errorRecord.lngCode);
  EXPECT_EQ(step.source, Source());
  EXPECT_EQ("The request could not be performed because of an I/O device error.\r\n", Text());
  EXPECT_EQ(step.leavesSlotOpen, slot(1).blnOpen != 0);
  EXPECT_EQ(step.leavesSlotOpen ? 100 : -1, slot(1).lngHandle);
  EXPECT_EQ(kUntouched, Status());
  dev().ClearCalls();
  EXPECT_EQ(step.leavesSlotOpen ? -1 : 0, Open(1)) << "a configured-or-not open slot is in use";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OpenStepFails,
    ::testing::Values(StepFailure{"CreateFileA", "CommOpen (CreateFile)", false},
                      StepFailure{"SetupComm", "CommOpen (SetupComm)", true},
                      StepFailure{"PurgeComm", "CommOpen (PurgeComm)", true},
                      StepFailure{"SetCommTimeouts", "CommOpen (SetCommTimeouts)", true},
                      StepFailure{"GetCommState", "CommOpen (GetCommState)", true},
                      StepFailure{"BuildCommDCBA", "CommOpen (BuildCommDCB)", true},
                      StepFailure{"SetCommState", "CommOpen (SetCommState)", true}),
    [](const auto& info) { return info.param.op; });

TEST_F(PortTest, OpenRefusesASlotInUseWithoutTouchingTheDevice) {
  OpenReady(3);
  EXPECT_EQ(-1, Open(3, u"COM7"));
  EXPECT_TRUE(dev().calls().empty());
  EXPECT_EQ(100, slot(3).lngHandle);
  LONG code = 0;
  EXPECT_EQ("Error (-1): CommOpen - Port in use.", Message(&code));
  EXPECT_EQ(-1, code);
}

TEST_F(PortTest, MalformedModeStringLeavesTheDeviceOpenUntilClosed) {
  dev().Script("BuildCommDCBA", Failing(87));
  EXPECT_EQ(87, Open(1, u"COM1", u"baud=fast"));
  EXPECT_EQ(-1, Open(1));
  dev().ClearCalls();
  EXPECT_EQ(0, Close(1));
  ASSERT_EQ(1u, dev().calls().size());
  EXPECT_EQ((Args{100}), dev().calls()[0].args);
  EXPECT_FALSE(slot(1).blnOpen);
  EXPECT_EQ(100, slot(1).lngHandle);  // the closed handle's value stays
  EXPECT_EQ(0, Status());
}

// A failed step whose platform left no error number must not read as success.
struct SilentFailure {
  std::string op;
  bool viaSet;
  LONG expected;
};

class SilentStepFails : public PortTest, public ::testing::WithParamInterface<SilentFailure> {};

TEST_P(SilentStepFails, RecordsANonzeroCode) {
  const auto& step = GetParam();
  if (step.viaSet) OpenReady(1);
  Outcome failure = Failing(0);
  if (step.op == "CreateFileA") failure.result = -1;
  dev().Script(step.op, failure);
  EXPECT_EQ(step.expected, step.viaSet ? Set(1) : Open(1));
  EXPECT_EQ(step.expected, object().errorRecord.lngCode);
}

INSTANTIATE_TEST_SUITE_P(Steps, SilentStepFails,
                         ::testing::Values(SilentFailure{"BuildCommDCBA", false, 87},
                                           SilentFailure{"BuildCommDCBA", true, 87},
                                           SilentFailure{"CreateFileA", false, 31},
                                           SilentFailure{"SetupComm", false, 31},
                                           SilentFailure{"SetCommState", true, 31}),
                         [](const auto& info) {
                           return info.param.op + (info.param.viaSet ? "InSet" : "InOpen");
                         });

TEST_F(PortTest, SetRefreshesTheBlockAndAppliesTheModeString) {
  OpenReady(1);
  Outcome built;
  built.value = 2400;
  dev().Script("BuildCommDCBA", built);
  EXPECT_EQ(0, Set(1, u"baud=2400"));
  EXPECT_EQ((std::vector<std::string>{"GetCommState", "BuildCommDCBA", "SetCommState"}),
            dev().ops());
  EXPECT_EQ("baud=2400", dev().calls()[1].text);
  EXPECT_EQ((Args{100, 2400}), dev().calls()[2].args);
  EXPECT_EQ(0, Status());
}

class SetStepFails : public PortTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(SetStepFails, RecordsTheStepAndLeavesTheCodeInStatus) {
  OpenReady(1);
  dev().Script(GetParam().op, Failing(1117));
  EXPECT_EQ(1117, Set(1));
  EXPECT_EQ(GetParam().op, LastDeviceOp());
  EXPECT_EQ(GetParam().source, Source());
  EXPECT_EQ(1117, Status());
  EXPECT_TRUE(slot(1).blnOpen);
}

INSTANTIATE_TEST_SUITE_P(Steps, SetStepFails,
                         ::testing::Values(StepFailure{"GetCommState", "CommSet (GetCommState)"},
                                           StepFailure{"BuildCommDCBA", "CommSet (BuildCommDCB)"},
                                           StepFailure{"SetCommState", "CommSet (SetCommState)"}),
                         [](const auto& info) { return info.param.op; });

TEST_F(PortTest, SetAndFlushOnANeverOpenedSlotHandTheZeroHandleToThePlatform) {
  dev().Script("GetCommState", Failing(6));
  dev().Script("PurgeComm", Failing(6));
  EXPECT_EQ(6, Set(4));
  EXPECT_EQ("CommSet (GetCommState)", Source());
  EXPECT_EQ(6, Flush(4));
  EXPECT_EQ("CommFlush (PurgeComm)", Source());
  EXPECT_EQ((Args{0, 15}), DeviceCalls().back().args);
  EXPECT_EQ(6, Status());
}

TEST_F(PortTest, CloseOfASlotNotOpenDoesNothing) {
  dev().Script("CreateFileA", FailingOpen(2));
  EXPECT_EQ(2, Open(1));
  dev().ClearCalls();
  EXPECT_EQ(0, Close(1));  // failed open
  EXPECT_EQ(0, Close(2));  // never opened
  EXPECT_TRUE(dev().calls().empty());
  EXPECT_EQ(0, Status());
  EXPECT_EQ("CommOpen (CreateFile)", Source());
}

TEST_F(PortTest, FailedCloseLeavesTheSlotOpenForAnotherTry) {
  OpenReady(2);
  dev().Script("CloseHandle", Failing(1117));
  EXPECT_EQ(1117, Close(2));
  EXPECT_EQ("CommClose (CloseHandle)", Source());
  EXPECT_EQ(1117, Status());
  EXPECT_TRUE(slot(2).blnOpen);
  EXPECT_EQ(0, Close(2));
  EXPECT_EQ(2u, dev().CallsOf("CloseHandle").size());
  EXPECT_EQ(0, Close(2));  // twice in a row: nothing more
  EXPECT_EQ(2u, dev().CallsOf("CloseHandle").size());
}

TEST_F(PortTest, FlushPurgesBothQueues) {
  OpenReady(1);
  EXPECT_EQ(0, Flush(1));
  ASSERT_EQ(1u, dev().calls().size());
  EXPECT_EQ((Args{100, 15}), dev().calls()[0].args);
  EXPECT_EQ(0, Status());
  dev().Script("PurgeComm", Failing(1117));
  EXPECT_EQ(1117, Flush(1));
  EXPECT_EQ(1117, Status());
}

// The host closes its ports before it releases the object: the last
// release makes no device call, whatever is still open.
TEST(PortRelease, ClosesNothing) {
  ScriptedRuntime rt;
  {
    TestObject obj(rt.runtime());
    auto open = [&](short port, platform::Handle32 handle) {
      rt.device.SetDefaultHandle(handle);
      TestBstr name(u"COM1"), settings(u"baud=9600");
      LONG r = 0;
      obj.comms->CommOpen(&port, &name.s, &settings.s, &r);
      return r;
    };
    EXPECT_EQ(0, open(1, 11));
    EXPECT_EQ(0, open(2, 12));
    rt.device.Script("CreateFileA", FailingOpen(2));
    EXPECT_EQ(2, open(4, 14));
    rt.device.ClearCalls();
    CurrentThreadState().lngStatus = kUntouched;
  }
  EXPECT_TRUE(rt.device.ops().empty());
  EXPECT_EQ(kUntouched, CurrentThreadState().lngStatus);
}

}  // namespace
}  // namespace kavrel::testing
