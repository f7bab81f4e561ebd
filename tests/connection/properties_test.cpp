// The connection properties, settingeval and waitnow.
#include <gtest/gtest.h>

#include "support/test_host.h"

namespace kavrel::testing {
namespace {

class PropertiesTest : public ::testing::Test {
 protected:
  ScriptedRuntime rt;
  TestObject t{rt.runtime()};
};

TEST_F(PropertiesTest, FixedTextsComeAsFreshCopies) {
  BSTR a = nullptr, b = nullptr;
  ASSERT_EQ(S_OK, t.comms->get_Version(&a));
  ASSERT_EQ(S_OK, t.comms->get_Version(&b));
  EXPECT_EQ("1.1", Utf8(a));
  EXPECT_NE(a, b);
  SysFreeString(a);
  SysFreeString(b);
  ASSERT_EQ(S_OK, t.comms->get_Company(&a));
  EXPECT_EQ("Wendaskorve for Tivorand", Utf8(a));
  SysFreeString(a);
}

TEST_F(PropertiesTest, PortAndBaudStoreAnyValueUnchecked) {
  for (short port : {0, 5, -3, 1, 32767}) {
    ASSERT_EQ(S_OK, t.comms->put_PortComm(port));
    short got = 1234;
    ASSERT_EQ(S_OK, t.comms->get_PortComm(&got));
    EXPECT_EQ(port, got);
  }
  for (LONG baud : {0, -1, 115200, 2147483647}) {
    ASSERT_EQ(S_OK, t.comms->put_BaudComm(baud));
    LONG got = 0;
    ASSERT_EQ(S_OK, t.comms->get_BaudComm(&got));
    EXPECT_EQ(baud, got);
  }
  VARIANT_BOOL status = 7;
  ASSERT_EQ(S_OK, t.comms->get_StatusComm(&status));
  EXPECT_EQ(0, status);
  BSTR buffer = reinterpret_cast<BSTR>(1);
  ASSERT_EQ(S_OK, t.comms->get_ReadBuffer(&buffer));
  EXPECT_EQ(0u, SysStringLen(buffer));
  SysFreeString(buffer);
  EXPECT_TRUE(rt.device.calls().empty());
}

TEST_F(PropertiesTest, SettingevalWritesTheSpeedIntoTheModeString) {
  for (auto [baud, expected] : std::vector<std::pair<LONG, std::string>>{
           {9600, "baud=9600 parity=N data=8 stop=1"},
           {0, "baud=0 parity=N data=8 stop=1"},
           {-1, "baud=-1 parity=N data=8 stop=1"},
           {-2147483647 - 1, "baud=-2147483648 parity=N data=8 stop=1"}}) {
    LONG p1 = baud;
    BSTR s = nullptr;
    ASSERT_EQ(S_OK, t.comms->settingeval(&p1, &s));
    EXPECT_EQ(expected, Utf8(s));
    EXPECT_EQ(baud, p1);
    SysFreeString(s);
  }
}

TEST_F(PropertiesTest, WaitnowSleepsUnlessNegative) {
  LONG ms = -1;
  ASSERT_EQ(S_OK, t.comms->waitnow(&ms));
  ms = -2147483647;
  ASSERT_EQ(S_OK, t.comms->waitnow(&ms));
  EXPECT_TRUE(rt.device.calls().empty()) << "a negative wait makes no platform call";
  ms = 0;
  ASSERT_EQ(S_OK, t.comms->waitnow(&ms));
  ms = 20;
  ASSERT_EQ(S_OK, t.comms->waitnow(&ms));
  auto sleeps = rt.device.CallsOf("SleepEx");
  ASSERT_EQ(2u, sleeps.size());
  EXPECT_EQ((std::vector<long long>{0, FALSE}), sleeps[0].args);
  EXPECT_EQ((std::vector<long long>{20, FALSE}), sleeps[1].args);
}

TEST_F(PropertiesTest, AFailingMemberReportsTheRuntimeErrorAndEmptyText) {
  // Memory exhausted inside the wait: the member fails with error 7.
  rt.device.Script("SleepEx", {.outOfMemory = true});
  LONG ms = 5;
  EXPECT_EQ(static_cast<HRESULT>(0x800A0007u), t.comms->waitnow(&ms));
  EXPECT_EQ(u"Out of memory", TakeErrorDescription());
}

}  // namespace
}  // namespace kavrel::testing
