// What the eight device members share: the error trap for a slot number
// outside 1 to 4, and the refusal to hand a closed slot's handle to the
// platform.
#include "port_fixture.h"

namespace kavrel::testing {
namespace {

using testing::operator<<;

struct Member {
  std::string name;
  std::function<LONG(PortTest&, short)> call;
  std::string trapName;
  std::string closedSource;  // source recorded on a closed slot ("" for CommOpen)
  LONG failureResult;        // the result after the trap, or 0 to mean "the error number"
  bool keepsStatus;          // keeps its working status in ThreadState.lngStatus
};

std::vector<Member> Members() {
  return {
      {"CommOpen", [](PortTest& t, short p) { return t.Open(p); }, "CommOpen", "", 0, false},
      {"CommSet", [](PortTest& t, short p) { return t.Set(p); }, "CommSet",
       "CommSet (GetCommState)", 0, true},
      {"CommClose", [](PortTest& t, short p) { return t.Close(p); }, "CommClose", "", 0, true},
      {"CommFlush", [](PortTest& t, short p) { return t.Flush(p); }, "CommFlush",
       "CommFlush (PurgeComm)", 0, true},
      {"CommRead", [](PortTest& t, short p) { return t.Read(p, 64); }, "CommRead",
       "CommRead (ClearCommError)", -1, true},
      {"CommWrite", [](PortTest& t, short p) { return t.Write(p, u"ABC"); }, "CommWrite",
       "CommWrite (WriteFile)", -1, true},
      {"CommGetLine",
       [](PortTest& t, short p) {
         VARIANT_BOOL s = 7;
         const LONG r = t.GetLine(p, 0x80, &s);
         EXPECT_EQ(7, s) << "left as the caller passed it";
         return r;
       },
       "CommReadCD", "CommReadCD (GetCommModemStatus)", 0, true},
      {"CommSetLine", [](PortTest& t, short p) { return t.SetLine(p, 2, -1); }, "CommSetLine",
       "CommSetLine (EscapeCommFunction)", 0, true},
  };
}

std::string NameOf(const ::testing::TestParamInfo<std::tuple<Member, short>>& info) {
  const short slot = std::get<1>(info.param);
  return std::get<0>(info.param).name + "_" + (slot < 0 ? "minus" : "") +
         std::to_string(slot < 0 ? -slot : slot);
}

class BadSlot : public PortTest, public ::testing::WithParamInterface<std::tuple<Member, short>> {};

TEST_P(BadSlot, IsTrappedAsErrorNineWithoutADeviceCall) {
  const auto& [member, port] = GetParam();
  for (int n = 1; n <= 4; ++n) OpenReady(static_cast<short>(n));
  const LONG result = member.call(*this, port);

  EXPECT_EQ(member.failureResult ? member.failureResult : 9, result);
  EXPECT_EQ(9, object().errorRecord.lngCode);
  EXPECT_EQ(member.trapName, Source());
  EXPECT_EQ("Subscript out of range", Text());
  EXPECT_TRUE(dev().calls().empty());
  EXPECT_EQ(member.keepsStatus ? 9 : kUntouched, Status());
  EXPECT_EQ(member.name == "CommRead" ? 1 : 0, rt.pump.count);
  for (int n = 1; n <= 4; ++n) EXPECT_TRUE(slot(n).blnOpen);
}

INSTANTIATE_TEST_SUITE_P(AllMembers, BadSlot,
                         ::testing::Combine(::testing::ValuesIn(Members()),
                                            ::testing::Values<short>(0, 5, -1, 32767)),
                         NameOf);

TEST_F(PortTest, BadSlotLeavesTheReadTextEmptyAndTheWriteTextAlone) {
  std::u16string data;
  Read(0, 64, &data);
  EXPECT_EQ(u"", data);
  Write(5, u"keep", &data);
  EXPECT_EQ(u"keep", data);
}

class ClosedSlot : public PortTest, public ::testing::WithParamInterface<Member> {};

TEST_P(ClosedSlot, IsRefusedAsAnInvalidHandleWithoutHandingItToThePlatform) {
  const Member& member = GetParam();
  OpenReady(2);
  ASSERT_EQ(0, Close(2));
  dev().ClearCalls();
  const LONG result = member.call(*this, 2);

  EXPECT_TRUE(DeviceCalls().empty());
  EXPECT_EQ(member.failureResult ? member.failureResult : 6, result);
  EXPECT_EQ(6, object().errorRecord.lngCode);
  EXPECT_EQ(member.closedSource, Source());
  EXPECT_EQ("The handle is invalid.\r\n", Text());
  EXPECT_EQ(6, Status());
}

INSTANTIATE_TEST_SUITE_P(DeviceMembers, ClosedSlot, ::testing::ValuesIn([] {
                           auto all = Members();
                           std::erase_if(all,
                                         [](const Member& m) { return m.closedSource.empty(); });
                           return all;
                         }()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kavrel::testing
