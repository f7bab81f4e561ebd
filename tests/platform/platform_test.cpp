// The platform seam: the last device error saved after every call, the
// ANSI code page, and the Linux SleepEx.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <array>
#include <chrono>
#include <csignal>
#include <thread>

#include "platform/posix/text_codec.h"
#include "support/scripted_platform.h"

namespace kavrel::testing {
namespace {

TEST(PlatformTest, SavesTheLastErrorOfEveryCallOnItsOwnThread) {
  ScriptedRuntime rt;
  rt.device.Script("SetupComm", {.result = 0, .lastError = 31});
  rt.device.Script("PurgeComm", {.result = 1, .lastError = 0});
  auto& dev = rt.runtime().device;
  EXPECT_FALSE(dev.SetupComm(5, 1024, 1024));
  EXPECT_EQ(31u, platform::Platform::LastDeviceError());
  std::thread([] { EXPECT_EQ(0u, platform::Platform::LastDeviceError()); }).join();
  EXPECT_TRUE(dev.PurgeComm(5, 15));
  EXPECT_EQ(0u, platform::Platform::LastDeviceError()) << "a successful call saves its error too";
}

TEST(TextCodecTest, EveryByteSurvivesBytesToTextToBytes) {
  platform::posix::Cp1252Codec codec;
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  bytes += std::string("\0\0x", 3);
  const std::u16string text = codec.FromAnsi(bytes.data(), bytes.size());
  ASSERT_EQ(bytes.size(), text.size());
  EXPECT_EQ(u'\0', text[0]);
  EXPECT_EQ(u'\u20AC', text[0x80]);
  EXPECT_EQ(u'\u0081', text[0x81]);
  EXPECT_EQ(u'\u0178', text[0x9F]);
  EXPECT_EQ(u'\u00FF', text[0xFF]);
  EXPECT_EQ(bytes, codec.ToAnsi(reinterpret_cast<const OLECHAR*>(text.data()), text.size()));
}

TEST(TextCodecTest, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  platform::posix::Cp1252Codec codec;
  const std::u16string text = u"A\u0100\u20AC\u4E2D\u2122";
  EXPECT_EQ(std::string("A?\x80?\x99"),
            codec.ToAnsi(reinterpret_cast<const OLECHAR*>(text.data()), text.size()));
}

// Every code unit, alone and inside text that also holds other characters
// (the two conversion paths), against the inverse of the byte -> text map.
TEST(TextCodecTest, EveryCodeUnitEncodesAsTheInverseOfTheByteMap) {
  platform::posix::Cp1252Codec codec;
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::u16string decoded = codec.FromAnsi(all.data(), all.size());
  std::array<int, 0x10000> expected;
  expected.fill('?');
  for (int i = 0; i < 256; ++i) expected[decoded[i]] = i;
  std::u16string units(0x10000, u'\0');
  for (unsigned u = 0; u < 0x10000; ++u) units[u] = static_cast<char16_t>(u);
  const std::string encoded =
      codec.ToAnsi(reinterpret_cast<const OLECHAR*>(units.data()), units.size());
  ASSERT_EQ(units.size(), encoded.size());
  for (unsigned u = 0; u < 0x10000; ++u) {
    ASSERT_EQ(expected[u], static_cast<unsigned char>(encoded[u])) << "unit " << u;
    const char16_t one = static_cast<char16_t>(u);
    ASSERT_EQ(encoded.substr(u, 1), codec.ToAnsi(reinterpret_cast<const OLECHAR*>(&one), 1))
        << "unit " << u;
  }
}

// Text converts in blocks, each tested as a whole: one odd character in any
// place of plain text (first, last, inside a block, in the tail) must be
// converted as it would be alone, and leave its neighbours untouched.
TEST(TextCodecTest, OneOddCharacterAnywhereInPlainTextConvertsAsAlone) {
  platform::posix::Cp1252Codec codec;
  const struct {
    char16_t unit;
    char byte;
  } odd[] = {{u'\u20AC', '\x80'}, {u'\u0178', '\x9F'}, {u'\u0081', '\x81'}, {u'\u00A0', '\xA0'},
             {u'\u00FF', '\xFF'}, {u'\u007F', '\x7F'}, {u'\u0100', '?'},    {u'\uFFFF', '?'},
             {u'\u8000', '?'},    {u'\u2122', '\x99'}};
  for (const size_t length : {size_t{16}, size_t{47}, size_t{70}}) {
    for (size_t at = 0; at < length; ++at) {
      for (const auto& c : odd) {
        std::u16string text(length, u'a');
        std::string bytes(length, 'a');
        text[at] = c.unit;
        bytes[at] = c.byte;
        ASSERT_EQ(bytes, codec.ToAnsi(reinterpret_cast<const OLECHAR*>(text.data()), length))
            << "unit " << unsigned{c.unit} << " at " << at;
        // Into a caller's buffer: the same bytes, and whether any was replaced.
        char into[70];
        bool exact = c.byte == '?';
        ASSERT_EQ(length, codec.ToAnsiExactInto(reinterpret_cast<const OLECHAR*>(text.data()),
                                                length, into, sizeof into, exact));
        ASSERT_EQ(bytes, std::string(into, length)) << "unit " << unsigned{c.unit} << " at " << at;
        ASSERT_EQ(exact, c.byte != '?') << "unit " << unsigned{c.unit};
        ASSERT_EQ(SIZE_MAX, codec.ToAnsiExactInto(reinterpret_cast<const OLECHAR*>(text.data()),
                                                  length, into, length - 1, exact));
        if (c.byte == '?') continue;
        ASSERT_EQ(text, codec.FromAnsi(bytes.data(), length))
            << "byte " << unsigned{static_cast<unsigned char>(c.byte)} << " at " << at;
        const BSTR fresh = codec.FromAnsiBstr(bytes.data(), length);
        ASSERT_EQ(text, std::u16string(reinterpret_cast<const char16_t*>(fresh), length));
        ASSERT_EQ(u'\0', reinterpret_cast<const char16_t*>(fresh)[length]);
        SysFreeString(fresh);
      }
    }
  }
}

void IgnoreSignal(int) {}

TEST(SleepExTest, HonoursTheTimeEvenWhenSignalsInterruptIt) {
  auto& dev = platform::NativeRuntime().device;
  struct sigaction sa {};
  sa.sa_handler = IgnoreSignal;
  struct sigaction old {};
  sigaction(SIGUSR1, &sa, &old);
  const pthread_t sleeper = pthread_self();
  std::thread interrupter([sleeper] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      pthread_kill(sleeper, SIGUSR1);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  dev.SleepEx(120, FALSE);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  interrupter.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_GE(elapsed, std::chrono::milliseconds(120));

  const auto zeroStart = std::chrono::steady_clock::now();
  dev.SleepEx(0, FALSE);
  EXPECT_LT(std::chrono::steady_clock::now() - zeroStart, std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace kavrel::testing
