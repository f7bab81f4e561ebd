// The parts of the kavrel command that need no device: option parsing, the
// line endings and hex view of the terminal, the progress line, the list's
// text and JSON forms.
#include <gtest/gtest.h>

#include "tools/kavrel/options.h"
#include "tools/kavrel/port_report.h"
#include "tools/kavrel/serial_ports.h"
#include "tools/kavrel/stream_format.h"

namespace kavrel::cli {
namespace {

TEST(KavrelOptions, ParseArgs) {
  const std::vector<OptionSpec> specs = {{"--baud", true}, {"--hex"}};
  struct Case {
    std::vector<std::string> args;
    bool ok;
    std::string baud;  // "-" when absent
    bool hex;
    std::vector<std::string> positional;
  };
  const Case cases[] = {
      {{"/dev/ttyS0", "--baud", "19200"}, true, "19200", false, {"/dev/ttyS0"}},
      {{"--baud=115200", "--hex", "p"}, true, "115200", true, {"p"}},
      {{"--baud", "1", "--baud", "2"}, true, "2", false, {}},
      {{"-", "--", "--hex"}, true, "-", false, {"-", "--hex"}},
      {{"--baud"}, false, "-", false, {}},
      {{"--hex=1"}, false, "-", false, {}},
      {{"--speed", "9"}, false, "-", false, {}},
  };
  for (const Case& c : cases) {
    ParsedArgs parsed;
    std::string error;
    EXPECT_EQ(ParseArgs(c.args, specs, &parsed, &error), c.ok) << c.args[0];
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(parsed.Get("--baud", "-"), c.baud);
    EXPECT_EQ(parsed.Has("--hex"), c.hex);
    EXPECT_EQ(parsed.positional, c.positional);
  }
}

TEST(KavrelOptions, Values) {
  EXPECT_EQ(ParseBaud("9600"), 9600);
  EXPECT_EQ(ParseBaud("4000000"), 4000000);
  for (const char* bad : {"", "0", "-1", "96OO", "4000001", "12345678"})
    EXPECT_FALSE(ParseBaud(bad)) << bad;

  EXPECT_EQ(ParseSeconds("2"), 2000);
  EXPECT_EQ(ParseSeconds("0.25"), 250);
  EXPECT_EQ(ParseSeconds(".5"), 500);
  EXPECT_EQ(ParseSeconds("1.0005"), 1000);
  for (const char* bad : {"", ".", "2.", "-1", "1e3", "86401", "1.2.3"})
    EXPECT_FALSE(ParseSeconds(bad)) << bad;

  auto m = ParseUsbMatch("0403:6001:A50285BI");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->vid, 0x0403u);
  EXPECT_EQ(m->pid, 0x6001u);
  EXPECT_EQ(m->serial, "A50285BI");
  m = ParseUsbMatch("2341:43");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->pid, 0x43u);
  EXPECT_FALSE(m->serial);
  // A serial number may itself hold a colon.
  EXPECT_EQ(ParseUsbMatch("1a86:7523:AB:CD")->serial, "AB:CD");
  for (const char* bad : {"0403", "0403:", ":6001", "0403:6001:", "04031:6001", "g403:6001"})
    EXPECT_FALSE(ParseUsbMatch(bad)) << bad;
}

TEST(KavrelOptions, Escapes) {
  struct Case {
    const char* in;
    bool ok;
    std::string out;
  };
  const Case cases[] = {
      {"*IDN?\\r\\n", true, "*IDN?\r\n"},
      {"a\\tb\\\\c", true, "a\tb\\c"},
      {"\\x00\\xff\\x7E", true, std::string("\0\xff~", 3)},
      {"\\0", true, std::string(1, '\0')},
      {"end\\", false, ""},
      {"\\x4", false, ""},
      {"\\xZZ", false, ""},
      {"\\q", false, ""},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(DecodeEscapes(c.in, &out), c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(out, c.out) << c.in;
    }
  }
}

TEST(KavrelOptions, ModeString) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    std::string mode;
  };
  const Case cases[] = {
      {{}, true, "baud=9600 parity=N data=8 stop=1"},
      {{"--baud", "115200"}, true, "baud=115200 parity=N data=8 stop=1"},
      {{"--mode", "baud=300 parity=E data=7"}, true, "baud=300 parity=E data=7"},
      {{"--mode", "parity=E data=7", "--baud", "1200"}, true, "baud=1200 parity=E data=7"},
      {{"--mode", "BAUD=300", "--baud", "1200"}, true, "BAUD=300"},
      // A speed of its own in the old form or behind a device prefix stays;
      // otherwise the speed goes after the prefix.
      {{"--mode", "300,e,7,1", "--baud", "1200"}, true, "300,e,7,1"},
      {{"--mode", "COM1: 300,e,7,1", "--baud", "1200"}, true, "COM1: 300,e,7,1"},
      {{"--mode", "com2:baud=300", "--baud", "1200"}, true, "com2:baud=300"},
      {{"--mode", "COM1:parity=E", "--baud", "1200"}, true, "COM1:baud=1200 parity=E"},
      {{"--mode", "COM1", "--baud", "1200"}, true, "COM1 baud=1200"},
      {{"--baud", "fast"}, false, ""},
  };
  for (const Case& c : cases) {
    ParsedArgs parsed;
    std::string error, mode;
    ASSERT_TRUE(ParseArgs(c.args, {{"--baud", true}, {"--mode", true}}, &parsed, &error));
    EXPECT_EQ(ModeFromArgs(parsed, &mode, &error), c.ok);
    if (c.ok) {
      EXPECT_EQ(mode, c.mode);
    }
  }
  EXPECT_EQ(ModeBaud("baud=115200 parity=N"), 115200);
  EXPECT_EQ(ModeBaud("parity=N Baud=300"), 300);
  EXPECT_EQ(ModeBaud("parity=N"), 9600);
  EXPECT_EQ(ModeBaud("xbaud=300"), 9600);
}

TEST(KavrelTerminal, LineEndingsOfTypedInput) {
  struct Case {
    LineEnding ending;
    std::vector<std::string> reads;  // one string per read of the keyboard
    std::string sent;
    std::string echoed;
  };
  const Case cases[] = {
      {LineEnding::Cr, {"ab\r"}, "ab\r", "ab\n"},
      {LineEnding::Lf, {"ab\r"}, "ab\n", "ab\n"},
      {LineEnding::CrLf, {"x\ry\r"}, "x\r\ny\r\n", "x\ny\n"},
      // Lines from a pipe end in LF, or CR LF, split across reads or not.
      {LineEnding::Cr, {"l1\nl2\r\n"}, "l1\rl2\r", "l1\nl2\n"},
      {LineEnding::CrLf, {"a\r", "\nb"}, "a\r\nb", "a\nb"},
      {LineEnding::Cr, {"\n\n"}, "\r\r", "\n\n"},
      {LineEnding::Lf,
       {std::string("\x00\x1b[A", 4)},
       std::string("\x00\x1b[A", 4),
       std::string("\x00\x1b[A", 4)},
  };
  for (const Case& c : cases) {
    InputTranslator t(c.ending);
    std::string sent, echoed, echo;
    for (const std::string& r : c.reads) {
      sent += t.Translate(r, &echo);
      echoed += echo;
    }
    EXPECT_EQ(sent, c.sent) << c.reads[0];
    EXPECT_EQ(echoed, c.echoed) << c.reads[0];
  }
  EXPECT_EQ(ParseLineEnding("CRLF"), LineEnding::CrLf);
  EXPECT_FALSE(ParseLineEnding("crcr"));
}

TEST(KavrelTerminal, OwnKeysAmongTypedBytes) {
  using K = TermKey;
  struct Case {
    std::vector<std::string> reads;
    std::vector<std::pair<K::Kind, std::string>> keys;
  };
  const Case cases[] = {
      {{"ab\x1d"
        "cd"},
       {{K::Text, "ab"}, {K::Quit, ""}}},
      {{"x\x14"
        "dy"},
       {{K::Text, "x"}, {K::ToggleDtr, ""}, {K::Text, "y"}}},
      // The command letter in the next read, in either case or as a control.
      {{"\x14", "R"}, {{K::ToggleRts, ""}}},
      {{"\x14\x02"}, {{K::Break, ""}}},
      {{"\x14\x14z"}, {{K::Text, "\x14z"}}},
      {{"\x14?\x14\x1d"}, {{K::Help, ""}, {K::Quit, ""}}},
  };
  for (const Case& c : cases) {
    KeyReader reader;
    std::vector<std::pair<K::Kind, std::string>> got;
    for (const std::string& r : c.reads)
      for (const TermKey& k : reader.Feed(r)) got.emplace_back(k.kind, k.text);
    EXPECT_EQ(got, c.keys) << c.reads[0];
  }
}

TEST(KavrelTerminal, HexViewBreaksAfterLineFeedAndSixteenBytes) {
  HexView view;
  EXPECT_EQ(view.Format("AB"), "41 42 ");
  EXPECT_EQ(view.Format("\r\nC"), "0D 0A \n43 ");
  EXPECT_EQ(view.Format(std::string(15, '\xff')),
            "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF \n");
  EXPECT_EQ(view.Format(std::string(1, '\0')), "00 ");
}

TEST(KavrelTerminal, ModemLines) {
  EXPECT_EQ(FormatModemLines(0), "CTS off  DSR off  RI off  DCD off");
  EXPECT_EQ(FormatModemLines(0x10 | 0x80), "CTS on  DSR off  RI off  DCD on");
  EXPECT_EQ(FormatModemLines(0xF0 | 0x0F), "CTS on  DSR on  RI on  DCD on");
}

TEST(KavrelProgress, Line) {
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
  EXPECT_EQ(FormatBytes(5u << 20), "5.0 MiB");
  EXPECT_EQ(FormatDuration(7.4), "0:07");
  EXPECT_EQ(FormatDuration(754), "12:34");
  EXPECT_EQ(FormatDuration(3723), "1:02:03");
  EXPECT_EQ(FormatDuration(-1), "0:00");

  EXPECT_EQ(FormatProgress(1024, 4096, 1.0, 8),
            "[##......]   25%  1.0 KiB / 4.0 KiB  1.0 KiB/s  0:03 left");
  EXPECT_EQ(FormatProgress(4096, 4096, 2.0, 4), "[####]  100%  4.0 KiB / 4.0 KiB  2.0 KiB/s");
  EXPECT_EQ(FormatProgress(0, 100, 0.0, 4), "[....]    0%  0 B / 100 B  0 B/s  -:-- left");
  EXPECT_EQ(FormatProgress(0, 0, 0.0, 2), "[##]  100%  0 B / 0 B  0 B/s");
  EXPECT_EQ(FormatProgress(3000, std::nullopt, 2.0, 8), "2.9 KiB  1.5 KiB/s");
}

TEST(KavrelList, JsonAndFieldQuoting) {
  EXPECT_EQ(JsonString("FT232R \"USB\" \\"), "\"FT232R \\\"USB\\\" \\\\\"");
  EXPECT_EQ(JsonString("a\tb\x7f"), "\"a\\u0009b\\u007f\"");
  EXPECT_EQ(JsonString("Gr\xc3\xbc\xc3\x9f"), "\"Gr\xc3\xbc\xc3\x9f\"");  // UTF-8 stays
  // Not UTF-8 (a lone byte, a cut sequence, an overlong form): Latin-1.
  EXPECT_EQ(JsonString("\xfc!"), "\"\\u00fc!\"");
  EXPECT_EQ(JsonString("\xe2\x82"), "\"\\u00e2\\u0082\"");
  EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\u00c0\\u00af\"");

  EXPECT_EQ(FieldValue("A50285BI"), "A50285BI");
  EXPECT_EQ(FieldValue("FT232R USB UART"), "\"FT232R USB UART\"");
  EXPECT_EQ(FieldValue("a=b"), "\"a=b\"");
  EXPECT_EQ(UsbId(0x403, 0x6001), "0403:6001");
}

TEST(KavrelList, NaturalOrder) {
  const std::vector<std::string> sorted = {"ttyACM0", "ttyS1",    "ttyS2",   "ttyS10",
                                           "ttyUSB0", "ttyUSB02", "ttyUSB9", "ttyUSB10"};
  for (size_t i = 0; i < sorted.size(); ++i)
    for (size_t j = 0; j < sorted.size(); ++j)
      EXPECT_EQ(NaturalLess(sorted[i], sorted[j]), i < j) << sorted[i] << " " << sorted[j];
}

}  // namespace
}  // namespace kavrel::cli
