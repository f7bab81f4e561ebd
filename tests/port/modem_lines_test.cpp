// CommGetLine and CommSetLine: masks over the modem status word, the
// EscapeCommFunction code for each line and state, and their failures.
#include "port_fixture.h"

namespace kavrel::testing {
namespace {

using testing::operator<<;

using Args = std::vector<long long>;

struct MaskCase {
  const char* name;
  DWORD modemStatus;
  short mask;
  VARIANT_BOOL expected;
};

class LineState : public PortTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(LineState, IsTrueWhenAnyBitOfTheMaskIsOn) {
  OpenReady(1);
  Outcome status;
  status.value = GetParam().modemStatus;
  dev().Script("GetCommModemStatus", status);
  VARIANT_BOOL state = 5;
  EXPECT_EQ(0, GetLine(1, GetParam().mask, &state));
  EXPECT_EQ(GetParam().expected, state);
  EXPECT_EQ(0, Status());
  ASSERT_EQ(1u, dev().calls().size());
  EXPECT_EQ((Args{100}), dev().calls()[0].args);
}

INSTANTIATE_TEST_SUITE_P(Masks, LineState,
                         ::testing::Values(MaskCase{"CarrierPresent", 0x80, 0x80, -1},
                                           MaskCase{"CarrierAbsent", 0x70, 0x80, 0},
                                           MaskCase{"CtsOfCtsOrDsr", 0x10, 0x30, -1},
                                           MaskCase{"DsrOfCtsOrDsr", 0x20, 0x30, -1},
                                           MaskCase{"RingOnlyOfCtsOrDsr", 0x40, 0x30, 0},
                                           MaskCase{"EmptyMask", 0xF0, 0, 0},
                                           MaskCase{"AllBitsMask", 0x40, -1, -1},
                                           MaskCase{"AllBitsMaskNothingOn", 0, -1, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, GetLineFailureKeepsTheCallersStateAndRecordsUnderCommReadCD) {
  OpenReady(1);
  dev().Script("GetCommModemStatus", Failing(87));
  VARIANT_BOOL state = -1;
  EXPECT_EQ(87, GetLine(1, 0x80, &state));
  EXPECT_EQ(-1, state);
  EXPECT_EQ(87, Status());
  EXPECT_EQ("CommReadCD (GetCommModemStatus)", Source());
  EXPECT_EQ("The parameter is incorrect.\r\n", Text());
}

struct LineCase {
  const char* name;
  short line;
  VARIANT_BOOL state;
  long long function;
};

class LineFunction : public PortTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineFunction, SelectsTheEscapeCode) {
  OpenReady(3);
  EXPECT_EQ(0, SetLine(3, GetParam().line, GetParam().state));
  EXPECT_EQ(0, Status());
  ASSERT_EQ(1u, dev().calls().size());
  EXPECT_EQ((Args{100, GetParam().function}), dev().calls()[0].args);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineFunction,
    ::testing::Values(LineCase{"BreakOn", 1, -1, SETBREAK}, LineCase{"BreakOff", 1, 0, CLRBREAK},
                      LineCase{"DtrOn", 2, -1, SETDTR}, LineCase{"DtrOff", 2, 0, CLRDTR},
                      LineCase{"RtsOn", 3, -1, SETRTS}, LineCase{"RtsOnByAnyNonzero", 3, 1, SETRTS},
                      LineCase{"RtsOff", 3, 0, CLRRTS}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, SetLineHandsAnUnknownLineToThePlatformAsCodeZero) {
  OpenReady(1);
  dev().Script("EscapeCommFunction", Failing(50));
  dev().SetMessage(50, "The request is not supported.\r\n");
  EXPECT_EQ(50, SetLine(1, 4, -1));
  EXPECT_EQ((Args{100, 0}), dev().calls()[0].args);
  EXPECT_EQ(50, Status());
  EXPECT_EQ("CommSetLine (EscapeCommFunction)", Source());
}

TEST_F(PortTest, LateBoundCallerGetsTheLineStateBackInItsVariant) {
  OpenReady(2);
  Outcome status;
  status.value = MS_RLSD_ON;
  dev().Script("GetCommModemStatus", status);
  VARIANT port = VI2(2), mask = VI2(0x80), state;
  VariantInit(&state);  // a script variable never assigned
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, CallByName(comms(), u"CommGetLine", DISPATCH_METHOD,
                             {VRef(&port), VRef(&mask), VRef(&state)}, &result));
  ASSERT_EQ(VT_BOOL, state.vt);
  EXPECT_EQ(VARIANT_TRUE, state.boolVal);
  ASSERT_EQ(VT_I4, result.vt);
  EXPECT_EQ(0, result.lVal);
}

// A variable holding another true value (5) comes back as true itself; a
// failed call leaves it as it was.
TEST_F(PortTest, LateBoundStateComesBackAsTrueFromAVariableHoldingAnotherTrueValue) {
  OpenReady(2);
  Outcome status;
  status.value = MS_RLSD_ON;
  dev().Script("GetCommModemStatus", status);
  dev().Script("GetCommModemStatus", Failing(87));
  for (const LONG expected : {0, 87}) {
    VARIANT port = VI2(2), mask = VI2(0x80), state = VI2(5), result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, CallByName(comms(), u"CommGetLine", DISPATCH_METHOD,
                               {VRef(&port), VRef(&mask), VRef(&state)}, &result));
    EXPECT_EQ(expected, result.lVal);
    EXPECT_EQ(expected ? VT_I2 : VT_BOOL, state.vt);
    EXPECT_EQ(expected ? 5 : VARIANT_TRUE, state.iVal);
  }
}

}  // namespace
}  // namespace kavrel::testing
