// CommRead and CommWrite: read sizes, pending transfers, failures with the
// device's error flags, and the message pump around a write.
#include "port/sent_characters.h"
#include "port_fixture.h"

namespace kavrel::testing {
namespace {

using testing::operator<<;

using Args = std::vector<long long>;

long long Address(const void* p) { return static_cast<long long>(reinterpret_cast<uintptr_t>(p)); }

Outcome Waiting(DWORD bytes) {
  Outcome o;
  o.value = bytes;
  return o;
}

struct SizeCase {
  const char* name;
  DWORD waiting;
  LONG asked;
  long long readSize;  // 0: no ReadFile at all
};

class ReadSize : public PortTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ReadSize, FollowsWhatWaitsAndWhatWasAskedUpToTheBuffer) {
  const auto& c = GetParam();
  OpenReady(1);
  dev().Script("ClearCommError", Waiting(c.waiting));
  Outcome delivered;
  delivered.data = "hello";
  dev().Script("ReadFile", delivered);
  std::u16string data;
  const LONG result = Read(1, c.asked, &data);

  EXPECT_EQ(1, rt.pump.count);
  const auto reads = dev().CallsOf("ReadFile");
  if (c.readSize == 0) {
    EXPECT_TRUE(reads.empty());
    EXPECT_EQ(0, result);
    EXPECT_EQ(u"", data);
  } else {
    ASSERT_EQ(1u, reads.size());
    EXPECT_EQ((Args{100, c.readSize, Address(&object().udtOverlapped)}), reads[0].args);
    EXPECT_EQ(5, result);
    EXPECT_EQ(u"hello", data);
  }
  EXPECT_EQ(1, Status());  // ClearCommError's result; nothing failed
  EXPECT_EQ(0, object().errorRecord.lngCode);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadSize,
                         ::testing::Values(SizeCase{"NothingWaiting", 0, 64, 0},
                                           SizeCase{"FewerWaitingThanAsked", 5, 64, 64},
                                           SizeCase{"MoreWaitingThanAsked", 100, 64, 100},
                                           SizeCase{"ZeroAsked", 7, 0, 7},
                                           SizeCase{"NegativeAsked", 7, -3, 7},
                                           SizeCase{"MoreWaitingThanTheBuffer", 5000, 64, 1024},
                                           SizeCase{"MoreAskedThanTheBuffer", 5, 4096, 1024}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, ReadTurnsBytesIntoAnsiCodePageText) {
  OpenReady(1);
  dev().Script("ClearCommError", Waiting(4));
  Outcome delivered;
  delivered.data = "\x80\xE9\x01Z";
  dev().Script("ReadFile", delivered);
  std::u16string data;
  EXPECT_EQ(4, Read(1, 64, &data));
  EXPECT_EQ(u"\u20AC\u00E9\u0001Z", data);
}

TEST_F(PortTest, PendingReadWaitsThroughIncompleteAnswers) {
  OpenReady(1);
  dev().Script("ClearCommError", Waiting(3));
  Outcome pending = Failing(997);
  pending.data = "abcdef";
  dev().Script("ReadFile", pending);
  dev().Script("GetOverlappedResult", Failing(996));
  dev().Script("GetOverlappedResult", Failing(996));
  Outcome done;
  done.value = 4;
  dev().Script("GetOverlappedResult", done);
  std::u16string data;
  EXPECT_EQ(4, Read(1, 64, &data));
  EXPECT_EQ(u"abcd", data);
  const auto waits = dev().CallsOf("GetOverlappedResult");
  ASSERT_EQ(3u, waits.size());
  EXPECT_EQ((Args{100, Address(&object().udtOverlapped), 1}), waits[2].args);
  EXPECT_EQ(0, object().errorRecord.lngCode);
}

struct ReadFailure {
  const char* name;
  std::vector<std::pair<std::string, Outcome>> script;
  std::string source;
  bool withFlags;  // recorded by RecordCommError
};

class ReadFails : public PortTest, public ::testing::WithParamInterface<ReadFailure> {};

TEST_P(ReadFails, GivesMinusOneAndEmptyText) {
  OpenReady(1);
  for (const auto& [op, outcome] : GetParam().script) dev().Script(op, outcome);
  std::u16string data;
  EXPECT_EQ(-1, Read(1, 64, &data));
  EXPECT_EQ(u"", data);
  EXPECT_EQ(1117, object().errorRecord.lngCode);
  EXPECT_EQ(1117, Status());
  EXPECT_EQ(GetParam().source, Source());
  const std::string message =
      "The request could not be performed because of an I/O device error.\r\n";
  EXPECT_EQ(GetParam().withFlags ? message + "  COMM Error Flags = 0" : message, Text());
}

INSTANTIATE_TEST_SUITE_P(Steps, ReadFails,
                         ::testing::Values(ReadFailure{"ClearCommError",
                                                       {{"ClearCommError", Failing(1117)}},
                                                       "CommRead (ClearCommError)",
                                                       false},
                                           ReadFailure{"ReadFile",
                                                       {{"ClearCommError", Waiting(5)},
                                                        {"ReadFile", Failing(1117)}},
                                                       "CommRead (ReadFile)",
                                                       true},
                                           ReadFailure{"GetOverlappedResult",
                                                       {{"ClearCommError", Waiting(5)},
                                                        {"ReadFile", Failing(997)},
                                                        {"GetOverlappedResult", Failing(996)},
                                                        {"GetOverlappedResult", Failing(1117)}},
                                                       "CommRead (GetOverlappedResult)",
                                                       true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FlagsCase {
  const char* name;
  Outcome clearCommError;
  std::string digits;
};

class ErrorFlags : public PortTest, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(ErrorFlags, AreAppendedInUpperCaseHexadecimal) {
  OpenReady(1);
  dev().Script("ClearCommError", Waiting(5));
  dev().Script("ReadFile", Failing(1117));
  dev().Script("ClearCommError", GetParam().clearCommError);
  EXPECT_EQ(-1, Read(1, 64));
  const std::string text = Text();
  EXPECT_EQ("  COMM Error Flags = " + GetParam().digits, text.substr(text.find("\r\n") + 2));
  EXPECT_EQ((Args{100}), dev().calls().back().args);
}

Outcome Flags(const char* value) {
  Outcome o;
  o.data = value;
  return o;
}

INSTANTIATE_TEST_SUITE_P(Flags, ErrorFlags,
                         ::testing::Values(FlagsCase{"None", Flags("0"), "0"},
                                           FlagsCase{"OverrunAndFrame", Flags("0xA"), "A"},
                                           FlagsCase{"FrameAndBreak", Flags("0x18"), "18"},
                                           FlagsCase{"TopBit", Flags("0x80000010"), "80000010"},
                                           FlagsCase{"NotADevice", Failing(6), "0"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, ReadFailureWithoutAnErrorNumberIsStillRecordedAsAFailure) {
  OpenReady(1);
  dev().Script("ClearCommError", Waiting(5));
  dev().Script("ReadFile", Failing(0));
  EXPECT_EQ(-1, Read(1, 64));
  EXPECT_EQ(31, object().errorRecord.lngCode);
  EXPECT_EQ(31, Status());
}

TEST_F(PortTest, WriteSendsOneBytePerCharacterAndPumpsElevenTimes) {
  OpenReady(1);
  std::u16string after;
  EXPECT_EQ(3, Write(1, u"ABC", &after));
  const auto writes = dev().CallsOf("WriteFile");
  ASSERT_EQ(1u, writes.size());
  EXPECT_EQ((Args{100, 3, Address(&object().udtOverlapped)}), writes[0].args);
  EXPECT_EQ("ABC", writes[0].text);
  EXPECT_EQ(u"ABC", after);
  EXPECT_EQ(11, rt.pump.count);
  EXPECT_EQ(kUntouched, Status());

  EXPECT_EQ(0, Write(1, u""));
  EXPECT_EQ(0, dev().CallsOf("WriteFile")[1].args[1]);
  EXPECT_EQ(22, rt.pump.count);
}

TEST_F(PortTest, WriteLeavesTheTextAsTheCodePageMadeIt) {
  OpenReady(1);
  std::u16string after;
  EXPECT_EQ(3, Write(1, u"\u20AC\u00FC\u4E2D", &after));
  EXPECT_EQ("\x80\xFC?", dev().calls()[0].text);
  EXPECT_EQ(u"\u20AC\u00FC?", after);
}

// Text the code page holds whole is left as the caller's own string, not
// replaced by an equal copy; text it changed is replaced.
TEST_F(PortTest, WriteReplacesTheCallersStringOnlyWhenTheCodePageChangedIt) {
  OpenReady(1);
  for (const std::u16string_view text : {u"\u20AC\u00FC\u0081A", u"\u20AC\u4E2D"}) {
    TestBstr data(text);
    const BSTR before = data.s;
    short port = 1;
    LONG written = 0;
    EXPECT_EQ(S_OK, comms()->CommWrite(&port, &data.s, &written));
    EXPECT_EQ(static_cast<LONG>(text.size()), written);
    const bool whole = text.find(u'\u4E2D') == text.npos;
    EXPECT_EQ(whole, data.s == before) << "text of " << text.size() << " characters";
  }
}

TEST_F(PortTest, WriteFailureWithLastErrorZeroRecordsNothing) {
  OpenReady(1);
  Outcome partial = Failing(0);
  partial.value = 2;
  dev().Script("WriteFile", partial);
  EXPECT_EQ(2, Write(1, u"ABC"));
  EXPECT_EQ(0, Status());
  EXPECT_EQ(1, rt.pump.count);
  EXPECT_EQ("", Source());
}

TEST_F(PortTest, WriteFailureIsRecordedWithTheDeviceFlags) {
  OpenReady(1);
  dev().Script("WriteFile", Failing(1117));
  dev().Script("ClearCommError", Flags("0x10"));
  std::u16string after;
  EXPECT_EQ(-1, Write(1, u"ABC", &after));
  EXPECT_EQ(u"ABC", after);
  EXPECT_EQ(1, rt.pump.count);
  EXPECT_EQ(1117, Status());
  EXPECT_EQ("CommWrite (WriteFile)", Source());
  EXPECT_EQ(
      "The request could not be performed because of an I/O device error.\r\n"
      "  COMM Error Flags = 10",
      Text());
}

TEST_F(PortTest, PendingWriteCompletesOrFailsThroughTheWait) {
  OpenReady(1);
  dev().Script("WriteFile", Failing(997));
  dev().Script("GetOverlappedResult", Failing(996));
  Outcome done;
  done.value = 3;
  dev().Script("GetOverlappedResult", done);
  EXPECT_EQ(3, Write(1, u"ABC"));
  EXPECT_EQ(11, rt.pump.count);
  EXPECT_EQ(2u, dev().CallsOf("GetOverlappedResult").size());

  dev().Script("WriteFile", Failing(997));
  dev().Script("GetOverlappedResult", Failing(1117));
  EXPECT_EQ(-1, Write(1, u"ABC"));
  EXPECT_EQ("CommWrite (GetOverlappedResult)", Source());
  EXPECT_EQ(1117, Status());
  EXPECT_EQ(12, rt.pump.count);
}

// The host's handlers run inside the pump that follows WriteFile and may make
// platform calls of their own; the write is still judged by its own error.
TEST_F(PortTest, HandlerCallsDuringTheWritePumpDoNotChangeTheWritesError) {
  OpenReady(1);
  OpenReady(2);
  rt.pump.handler = [&] {
    rt.pump.handler = nullptr;
    EXPECT_EQ(0, Flush(2));  // leaves the thread's last error 0
  };
  dev().Script("WriteFile", Failing(1117));
  EXPECT_EQ(-1, Write(1, u"ABC"));
  EXPECT_EQ(1117, object().errorRecord.lngCode);
  EXPECT_EQ("CommWrite (WriteFile)", Source());
}

TEST_F(PortTest, SlotClosedDuringAPendingWriteIsNotWaitedOn) {
  OpenReady(1);
  rt.pump.handler = [&] {
    rt.pump.handler = nullptr;
    EXPECT_EQ(0, Close(1));
  };
  dev().Script("WriteFile", Failing(997));
  EXPECT_EQ(-1, Write(1, u"ABC"));
  EXPECT_TRUE(dev().CallsOf("GetOverlappedResult").empty());
  EXPECT_EQ(6, object().errorRecord.lngCode);
  EXPECT_EQ("CommWrite (GetOverlappedResult)", Source());
}

// A double-byte code page in miniature: ASCII is one byte, any other
// character two, and a character outside the plane one '?'.
class DoubleByteCodec final : public platform::TextCodec {
 public:
  std::string ToAnsi(const OLECHAR* text, size_t length) override {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
      const auto c = static_cast<char16_t>(text[i]);
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
        out += '?';
        ++i;
      } else if (c < 0x80) {
        out += static_cast<char>(c);
      } else {
        out += "\x93\xFA";
      }
    }
    return out;
  }
  std::u16string FromAnsi(const char*, size_t) override { return u""; }
};

struct SentCase {
  std::u16string text;
  size_t sent;
  size_t characters;
};

TEST(CharactersSentTest, CountsOnlyCharactersWhoseBytesAllWentOut) {
  DoubleByteCodec codec;
  const std::u16string mixed = u"A\u65E5\u672CB";  // 6 bytes: 41 xx xx xx xx 42
  const std::u16string pair = u"A\U0001F600B";     // 3 bytes: 41 3F 42
  for (const SentCase& c :
       {SentCase{mixed, 0, 0}, SentCase{mixed, 1, 1}, SentCase{mixed, 2, 1}, SentCase{mixed, 3, 2},
        SentCase{mixed, 4, 2}, SentCase{mixed, 5, 3}, SentCase{mixed, 6, 4}, SentCase{pair, 1, 1},
        SentCase{pair, 2, 3}, SentCase{pair, 3, 4}, SentCase{u"ABC", 2, 2}}) {
    const size_t total =
        codec.ToAnsi(reinterpret_cast<const OLECHAR*>(c.text.data()), c.text.size()).size();
    EXPECT_EQ(c.characters, port::CharactersSent(codec, c.text, total, c.sent))
        << Utf8(c.text) << ", " << c.sent << " bytes sent";
  }
}

}  // namespace
}  // namespace kavrel::testing
