// GetSystemMessage and CommGetError: how the platform's text is fetched, cut
// and trimmed, and how the record is formatted for the host.
#include "port_fixture.h"

namespace kavrel::testing {
namespace {

using testing::operator<<;

class ErrorRecordTest : public PortTest {
 public:
  std::u16string SystemMessage(LONG code) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, comms()->GetSystemMessage(&code, &text));
    return Bstr::Attach(text).str();
  }
};

TEST_F(ErrorRecordTest, NewObjectReportsCodeZeroWithNothingBetweenTheSeparators) {
  LONG code = -1;
  EXPECT_EQ("Error (0):  - ", Message(&code));
  EXPECT_EQ(0, code);
}

TEST_F(ErrorRecordTest, AsksThePlatformToLeaveInsertsAlone) {
  dev().SetMessage(193, "%1 is not a valid application.\r\n");
  EXPECT_EQ(u"%1 is not a valid application.\r\n", SystemMessage(193));
  const auto calls = dev().CallsOf("FormatMessageA");
  ASSERT_EQ(1u, calls.size());
  // flags FROM_SYSTEM | IGNORE_INSERTS, number, language 0, size 255, an argument list
  EXPECT_EQ((std::vector<long long>{0x1200, 193, 0, 255, 1}), calls[0].args);
}

struct MessageCase {
  const char* name;
  std::string platformText;  // what FormatMessageA writes; empty: no text for the number
  std::u16string expected;
};

class SystemMessageText : public ErrorRecordTest,
                          public ::testing::WithParamInterface<MessageCase> {};

TEST_P(SystemMessageText, IsCutAtTheFirstNulAndTrimmedOfSpacesOnly) {
  if (!GetParam().platformText.empty()) dev().SetMessage(500, GetParam().platformText);
  EXPECT_EQ(Utf8(GetParam().expected), Utf8(SystemMessage(500)));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SystemMessageText,
    ::testing::Values(
        MessageCase{"NoText", "", u""},
        MessageCase{"LineBreakKept", "Access is denied.\r\n", u"Access is denied.\r\n"},
        MessageCase{"SpacesTrimmed", "   padded text  ", u"padded text"},
        MessageCase{"OnlySpacesTrimmed", "\t tab first \r\n ", u"\t tab first \r\n"},
        MessageCase{"AllSpaces", "     ", u""},
        MessageCase{"AnsiCodePage", "\x80 5 \xE9t\xE9", u"\u20AC 5 \u00E9t\u00E9"},
        MessageCase{"LongTextFitsTheBuffer", std::string(300, 'x'), std::u16string(254, u'x')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ErrorRecordTest, RecordSurvivesLaterSuccessAndRepeatedReading) {
  dev().Script("CreateFileA", FailingOpen(2));
  EXPECT_EQ(2, Open(1, u"COM9"));
  dev().SetDefaultHandle(7);
  EXPECT_EQ(0, Open(2));
  EXPECT_EQ(0, Flush(2));
  LONG first = 0, second = 0;
  const std::string message = Message(&first);
  EXPECT_EQ("Error (2): CommOpen (CreateFile) - The system cannot find the file specified.\r\n",
            message);
  EXPECT_EQ(message, Message(&second));
  EXPECT_EQ(2, second);
}

TEST_F(ErrorRecordTest, LateBoundCallerGetsTheMessageBackInItsVariant) {
  OpenReady(1);
  EXPECT_EQ(-1, Open(1));  // port in use
  VARIANT message = VStr(u"previous");
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, CallByName(comms(), u"CommGetError", DISPATCH_METHOD, {VRef(&message)}, &result));
  ASSERT_EQ(VT_BSTR, message.vt);
  EXPECT_EQ("Error (-1): CommOpen - Port in use.", Utf8(message.bstrVal));
  ASSERT_EQ(VT_I4, result.vt);
  EXPECT_EQ(-1, result.lVal);
  VariantClear(&message);
}

}  // namespace
}  // namespace kavrel::testing
