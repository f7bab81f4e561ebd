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

// The reverse of kHigh for every UTF-16 code unit, built once at compile
// time: 0 where a unit has no byte (and for the unit 0 itself).
struct EncodeTable {
  std::array<unsigned char, 0x10000> bytes{};
  constexpr EncodeTable() {
    for (unsigned c = 0; c < 0x100; ++c)
      if ((c >> 5) != 4) bytes[c] = static_cast<unsigned char>(c);
    for (unsigned i = 0; i < kHigh.size(); ++i)
      bytes[kHigh[i]] = static_cast<unsigned char>(0x80 + i);
  }
};
constexpr EncodeTable kEncode;

}  // namespace

std::string Cp1252Codec::ToAnsi(const OLECHAR* text, size_t length) {
  bool exact = false;
  return ToAnsiExact(text, length, exact);
}

namespace {

// Characters through the table; returns nonzero when one had no byte.
unsigned EncodeByTable(const char16_t* __restrict src, size_t length, char* __restrict dst) {
  unsigned replaced = 0;
  for (size_t i = 0; i < length; ++i) {
    const char16_t c = src[i];
    const unsigned char b = kEncode.bytes[c];
    const bool none = b == 0 && c != 0;
    replaced |= none;
    dst[i] = none ? '?' : static_cast<char>(b);
  }
  return replaced;
}

// Text is mostly Latin-1 outside 0x80-0x9F: in blocks of that (vectorised,
// a plain narrowing copy) only the rare block holding another character goes
// through the table, so text with a few such characters costs about what
// plain text does. (The loops work through local pointers, so that the
// compiler can vectorise them.)
constexpr size_t kBlock = 16;

}  // namespace

std::string Cp1252Codec::ToAnsiExact(const OLECHAR* text, size_t length, bool& exact) {
  std::string out(length, '\0');
  const auto* __restrict src = reinterpret_cast<const char16_t*>(text);
  char* __restrict dst = out.data();
  unsigned replaced = 0;
  size_t i = 0;
  for (; i + kBlock <= length; i += kBlock) {
    unsigned outside = 0;  // nonzero when a character is not Latin-1 or falls in 0x80-0x9F
    for (size_t k = 0; k < kBlock; ++k) {
      const unsigned c = src[i + k];
      outside |= (c >> 8) | ((c >> 5) == 4);
    }
    if (outside == 0) {
      for (size_t k = 0; k < kBlock; ++k) dst[i + k] = static_cast<char>(src[i + k]);
    } else {
      replaced |= EncodeByTable(src + i, kBlock, dst + i);
    }
  }
  replaced |= EncodeByTable(src + i, length - i, dst + i);
  exact = replaced == 0;
  return out;
}

namespace {

void Decode(const char* bytes, size_t length, char16_t* __restrict dst) {
  const auto* __restrict src = reinterpret_cast<const unsigned char*>(bytes);
  const auto byTable = [&](size_t from, size_t to) {
    for (size_t k = from; k < to; ++k) {
      const unsigned char b = src[k];
      dst[k] = (b >> 5) == 4 ? kHigh[b - 0x80] : static_cast<char16_t>(b);
    }
  };
  size_t i = 0;
  for (; i + kBlock <= length; i += kBlock) {
    unsigned inHigh = 0;  // nonzero when a byte falls in 0x80-0x9F
    for (size_t k = 0; k < kBlock; ++k) inHigh |= (src[i + k] >> 5) == 4;
    if (inHigh == 0) {
      for (size_t k = 0; k < kBlock; ++k) dst[i + k] = src[i + k];
    } else {
      byTable(i, i + kBlock);
    }
  }
  byTable(i, length);
}

}  // namespace

std::u16string Cp1252Codec::FromAnsi(const char* bytes, size_t length) {
  std::u16string out(length, u'\0');
  Decode(bytes, length, out.data());
  return out;
}

BSTR Cp1252Codec::FromAnsiBstr(const char* bytes, size_t length) {
  BSTR out = ::SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (out) Decode(bytes, length, reinterpret_cast<char16_t*>(out));
  return out;
}

}  // namespace kavrel::platform::posix
