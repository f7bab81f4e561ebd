// The three error modes and the travel of a failure between members.
#include "component/convention.h"

#include <gtest/gtest.h>

#include <new>

#include "support/test_host.h"

namespace kavrel::testing {
namespace {

TEST(ConventionTest, AnInnerFailureIsRaisedWithItsNumberAndDescription) {
  platform::NativeRuntime().errors.Set(IID__comms, u"Kavrel", u"Port exploded");
  try {
    Check(RuntimeErrorStatus(57));
    FAIL() << "Check must raise";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(57, e.number);
    EXPECT_EQ(u"Port exploded", e.description);
  }
  // Without error information the runtime's own description stands in.
  try {
    Check(E_OUTOFMEMORY);
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(7, e.number);
    EXPECT_EQ(u"Out of memory", e.description);
  }
  EXPECT_NO_THROW(Check(S_OK));
  EXPECT_NO_THROW(Check(S_FALSE));
}

TEST(ConventionTest, FailureIgnoringDropsTheFailedStepAndGoesOn) {
  int stored = 0;
  int steps = 0;
  IgnoringFailure([&] {
    ++steps;
    Raise(kErrSubscript);
    stored = 1;  // the store of the failing step is skipped
  });
  IgnoringFailure([&] {
    ++steps;
    throw std::bad_alloc();
  });
  IgnoringFailure([&] {
    ++steps;
    stored = 3;
  });
  EXPECT_EQ(3, steps);
  EXPECT_EQ(3, stored);
}

TEST(ConventionTest, TheTrapSeesTheNumberAndDescription) {
  LONG number = 0;
  std::u16string text;
  bool rest = false;
  Trapped(
      [&] {
        Raise(kErrSubscript);
        rest = true;
      },
      [&](LONG n, const std::u16string& d) {
        number = n;
        text = d;
      });
  EXPECT_FALSE(rest) << "the rest of the body is abandoned";
  EXPECT_EQ(9, number);
  EXPECT_EQ(u"Subscript out of range", text);
  Trapped([] { throw std::bad_alloc(); }, [&](LONG n, const std::u16string&) { number = n; });
  EXPECT_EQ(7, number);
  bool trapped = false;
  Trapped([] {}, [&](LONG, const std::u16string&) { trapped = true; });
  EXPECT_FALSE(trapped);
}

TEST(ConventionTest, StatusesCarryTheRuntimeErrorNumber) {
  EXPECT_EQ(static_cast<HRESULT>(0x800A0009u), RuntimeErrorStatus(9));
  EXPECT_EQ(9, RuntimeErrorNumberOf(RuntimeErrorStatus(9)));
  EXPECT_EQ(13, RuntimeErrorNumberOf(DISP_E_TYPEMISMATCH));
  EXPECT_EQ(static_cast<LONG>(0x80004005u), RuntimeErrorNumberOf(E_FAIL));
}

}  // namespace
}  // namespace kavrel::testing
