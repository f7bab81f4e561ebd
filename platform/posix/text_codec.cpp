#include "platform/posix/text_codec.h"

#include <array>

namespace kavrel::platform::posix {

namespace {

// 0x80-0x9F; the five unassigned bytes map to the same-numbered controls so
// that every byte survives bytes -> text -> bytes.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char EncodeOne(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (size_t i = 0; i < kHigh.size(); ++i)
    if (kHigh[i] == c) return static_cast<char>(0x80 + i);
  return '?';
}

}  // namespace

std::string Cp1252Codec::ToAnsi(const OLECHAR* text, size_t length) {
  std::string out(length, '\0');
  for (size_t i = 0; i < length; ++i) out[i] = EncodeOne(static_cast<char16_t>(text[i]));
  return out;
}

std::u16string Cp1252Codec::FromAnsi(const char* bytes, size_t length) {
  std::u16string out(length, u'\0');
  for (size_t i = 0; i < length; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    out[i] = (b >= 0x80 && b < 0xA0) ? kHigh[b - 0x80] : static_cast<char16_t>(b);
  }
  return out;
}

}  // namespace kavrel::platform::posix
