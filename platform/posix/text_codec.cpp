#include "platform/posix/text_codec.h"

#include <array>
#include <climits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "platform/hot_path.h"
#include "platform/posix/oleaut.h"

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
KAVREL_WRITE_PATH unsigned EncodeByTable(const char16_t* __restrict src, size_t length,
                                         char* __restrict dst) {
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

// Bytes through kHigh.
KAVREL_READ_PATH void DecodeByTable(const unsigned char* __restrict src, size_t length,
                                    char16_t* __restrict dst) {
  for (size_t k = 0; k < length; ++k) {
    const unsigned char b = src[k];
    dst[k] = (b >> 5) == 4 ? kHigh[b - 0x80] : static_cast<char16_t>(b);
  }
}

// Text is mostly Latin-1 outside 0x80-0x9F: in blocks of that (a plain
// narrowing copy) only the rare block holding another character goes
// through the table, so text with a few such characters costs about what
// plain text does.
constexpr size_t kBlock = 32;

#if defined(__SSE2__)
// Per byte lane, all ones where the byte is 0x80-0x9F (the bytes whose
// characters lie outside Latin-1).
inline __m128i InHighRange(__m128i bytes) {
  // 0x80-0x9F become 0x00-0x1F, and are the only bytes left at or below 0x1F.
  const __m128i shifted = _mm_xor_si128(bytes, _mm_set1_epi8(static_cast<char>(0x80)));
  return _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(0x1F)), shifted);
}

// Narrows one block; false (and nothing written) when a character in it is
// not Latin-1 or falls in 0x80-0x9F. One test of each kind for the whole
// block: the rare block that fails goes through the table anyway.
inline bool NarrowBlock(const char16_t* src, char* dst) {
  const auto* in = reinterpret_cast<const __m128i*>(src);
  const __m128i a = _mm_loadu_si128(in);
  const __m128i b = _mm_loadu_si128(in + 1);
  const __m128i c = _mm_loadu_si128(in + 2);
  const __m128i d = _mm_loadu_si128(in + 3);
  const __m128i upper = _mm_srli_epi16(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)), 8);
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(upper, _mm_setzero_si128())) != 0xFFFF) return false;
  const __m128i first = _mm_packus_epi16(a, b);  // exact: every unit is below 0x100
  const __m128i second = _mm_packus_epi16(c, d);
  if (_mm_movemask_epi8(_mm_or_si128(InHighRange(first), InHighRange(second))) != 0) return false;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), first);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), second);
  return true;
}

// Widens one block; false (and nothing written) when a byte in it falls in
// 0x80-0x9F.
inline bool WidenBlock(const unsigned char* src, char16_t* dst) {
  const auto* in = reinterpret_cast<const __m128i*>(src);
  const __m128i first = _mm_loadu_si128(in);
  const __m128i second = _mm_loadu_si128(in + 1);
  if (_mm_movemask_epi8(_mm_or_si128(InHighRange(first), InHighRange(second))) != 0) return false;
  const __m128i zero = _mm_setzero_si128();
  auto* out = reinterpret_cast<__m128i*>(dst);
  _mm_storeu_si128(out, _mm_unpacklo_epi8(first, zero));
  _mm_storeu_si128(out + 1, _mm_unpackhi_epi8(first, zero));
  _mm_storeu_si128(out + 2, _mm_unpacklo_epi8(second, zero));
  _mm_storeu_si128(out + 3, _mm_unpackhi_epi8(second, zero));
  return true;
}

// Blocks that hold characters of 0x80-0x9F (one in eight in text
// that uses every byte value) convert sixteen at a time by byte shuffles, where
// the processor has them (SSSE3; all but the oldest x86-64 processors).
//
// Encoding finds a character's byte through a perfect hash of the 32
// characters of 0x80-0x9F: three 16-entry tables indexed by the low
// nibble, the second nibble and the high byte (0x00, 0x01, 0x02, 0x20 or
// 0x21 for those characters) are XORed into a slot 0-31, and the slot holds
// the character it belongs to, compared in full, and its byte.
constexpr std::array<unsigned char, 16> kHashLow = {6,  25, 3,  4, 24, 27, 21, 31,
                                                    11, 21, 30, 8, 6,  13, 19, 28};
constexpr std::array<unsigned char, 16> kHashSecond = {13, 15, 0, 10, 30, 1,  17, 24,
                                                       23, 14, 7, 3,  16, 17, 18, 15};
// Indexed by the high byte's low nibble, with its bit 5 as bit 3.
constexpr std::array<unsigned char, 16> kHashHigh = {0,  21, 26, 0, 0, 0, 0, 0,
                                                     16, 22, 0,  0, 0, 0, 0, 0};

constexpr unsigned HighIndex(unsigned highByte) {
  return (highByte & 0x0F) | ((highByte >> 2) & 0x08);
}

constexpr unsigned Slot(char16_t c) {
  return kHashLow[c & 0x0F] ^ kHashSecond[(c >> 4) & 0x0F] ^ kHashHigh[HighIndex(c >> 8)];
}

struct SlotTables {
  std::array<unsigned char, 32> low{}, high{}, byte{};
  bool perfect = true;
  constexpr SlotTables() {
    std::array<bool, 32> taken{};
    for (unsigned i = 0; i < kHigh.size(); ++i) {
      const unsigned slot = Slot(kHigh[i]);  // below 32: the tables hold 5-bit values
      if (taken[slot]) perfect = false;
      taken[slot] = true;
      low[slot] = static_cast<unsigned char>(kHigh[i] & 0xFF);
      high[slot] = static_cast<unsigned char>(kHigh[i] >> 8);
      byte[slot] = static_cast<unsigned char>(0x80 + i);
    }
  }
};
constexpr SlotTables kSlots;
static_assert(kSlots.perfect, "the hash gives each character of 0x80-0x9F its own slot");

// kHigh split into its low and high bytes, for decoding.
struct DecodeTables {
  std::array<unsigned char, 32> low{}, high{};
  constexpr DecodeTables() {
    for (unsigned i = 0; i < kHigh.size(); ++i) {
      low[i] = static_cast<unsigned char>(kHigh[i] & 0xFF);
      high[i] = static_cast<unsigned char>(kHigh[i] >> 8);
    }
  }
};
constexpr DecodeTables kDecode;

#define KAVREL_SHUFFLES __attribute__((target("ssse3")))

KAVREL_SHUFFLES inline __m128i Load16(const unsigned char* table) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(table));
}

// table[index] per byte lane, index 0-31.
KAVREL_SHUFFLES inline __m128i Lookup32(const std::array<unsigned char, 32>& table, __m128i index) {
  const __m128i first = _mm_shuffle_epi8(Load16(table.data()), index);
  const __m128i second = _mm_shuffle_epi8(Load16(table.data() + 16), index);
  const __m128i inSecond = _mm_cmpgt_epi8(index, _mm_set1_epi8(15));
  return _mm_or_si128(_mm_andnot_si128(inSecond, first), _mm_and_si128(inSecond, second));
}

// Sixteen characters; nonzero when one had no byte.
KAVREL_SHUFFLES unsigned EncodeSixteen(const char16_t* src, char* dst) {
  const auto* in = reinterpret_cast<const __m128i*>(src);
  const __m128i a = _mm_loadu_si128(in);
  const __m128i b = _mm_loadu_si128(in + 1);
  const __m128i lowMask = _mm_set1_epi16(0x00FF);
  const __m128i low = _mm_packus_epi16(_mm_and_si128(a, lowMask), _mm_and_si128(b, lowMask));
  const __m128i high = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i highIndex = _mm_or_si128(_mm_and_si128(high, nibble),
                                         _mm_and_si128(_mm_srli_epi16(high, 2), _mm_set1_epi8(8)));
  const __m128i slot = _mm_xor_si128(
      _mm_xor_si128(_mm_shuffle_epi8(Load16(kHashLow.data()), _mm_and_si128(low, nibble)),
                    _mm_shuffle_epi8(Load16(kHashSecond.data()),
                                     _mm_and_si128(_mm_srli_epi16(low, 4), nibble))),
      _mm_shuffle_epi8(Load16(kHashHigh.data()), highIndex));
  const __m128i found = _mm_and_si128(_mm_cmpeq_epi8(low, Lookup32(kSlots.low, slot)),
                                      _mm_cmpeq_epi8(high, Lookup32(kSlots.high, slot)));
  const __m128i latin =
      _mm_andnot_si128(InHighRange(low), _mm_cmpeq_epi8(high, _mm_setzero_si128()));
  const __m128i other =
      _mm_or_si128(_mm_and_si128(latin, low), _mm_andnot_si128(latin, _mm_set1_epi8('?')));
  const __m128i out = _mm_or_si128(_mm_and_si128(found, Lookup32(kSlots.byte, slot)),
                                   _mm_andnot_si128(found, other));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), out);
  return _mm_movemask_epi8(_mm_or_si128(found, latin)) != 0xFFFF;
}

KAVREL_WRITE_PATH KAVREL_SHUFFLES unsigned EncodeBlockByShuffles(const char16_t* src, char* dst) {
  return EncodeSixteen(src, dst) | EncodeSixteen(src + 16, dst + 16);
}

KAVREL_SHUFFLES void DecodeSixteen(const unsigned char* src, char16_t* dst) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  const __m128i inHigh = InHighRange(bytes);
  const __m128i index = _mm_and_si128(_mm_sub_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80))),
                                      _mm_set1_epi8(0x1F));
  const __m128i low = _mm_or_si128(_mm_and_si128(inHigh, Lookup32(kDecode.low, index)),
                                   _mm_andnot_si128(inHigh, bytes));
  const __m128i high = _mm_and_si128(inHigh, Lookup32(kDecode.high, index));
  auto* out = reinterpret_cast<__m128i*>(dst);
  _mm_storeu_si128(out, _mm_unpacklo_epi8(low, high));
  _mm_storeu_si128(out + 1, _mm_unpackhi_epi8(low, high));
}

KAVREL_READ_PATH KAVREL_SHUFFLES void DecodeBlockByShuffles(const unsigned char* src,
                                                            char16_t* dst) {
  DecodeSixteen(src, dst);
  DecodeSixteen(src + 16, dst + 16);
}

#undef KAVREL_SHUFFLES

// Asked only when a block needs more than narrowing or widening, so that
// plain text never reads it.
KAVREL_HOT_PATH inline bool HasShuffles() {
#if defined(__SSSE3__)
  return true;
#else
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") != 0;
  }();
  return has;
#endif
}

// A block that narrowing or widening left alone.
KAVREL_WRITE_PATH inline unsigned EncodeOddBlock(const char16_t* src, char* dst) {
  return HasShuffles() ? EncodeBlockByShuffles(src, dst) : EncodeByTable(src, kBlock, dst);
}

KAVREL_READ_PATH inline void DecodeOddBlock(const unsigned char* src, char16_t* dst) {
  if (HasShuffles()) {
    DecodeBlockByShuffles(src, dst);
  } else {
    DecodeByTable(src, kBlock, dst);
  }
}
#else
inline bool NarrowBlock(const char16_t* src, char* dst) {
  unsigned outside = 0;  // nonzero when a character is not Latin-1 or falls in 0x80-0x9F
  for (size_t k = 0; k < kBlock; ++k) outside |= (src[k] >> 8) | ((src[k] >> 5) == 4);
  if (outside != 0) return false;
  for (size_t k = 0; k < kBlock; ++k) dst[k] = static_cast<char>(src[k]);
  return true;
}

inline bool WidenBlock(const unsigned char* src, char16_t* dst) {
  unsigned inHigh = 0;  // nonzero when a byte falls in 0x80-0x9F
  for (size_t k = 0; k < kBlock; ++k) inHigh |= (src[k] >> 5) == 4;
  if (inHigh != 0) return false;
  for (size_t k = 0; k < kBlock; ++k) dst[k] = src[k];
  return true;
}

inline unsigned EncodeOddBlock(const char16_t* src, char* dst) {
  return EncodeByTable(src, kBlock, dst);
}

inline void DecodeOddBlock(const unsigned char* src, char16_t* dst) {
  DecodeByTable(src, kBlock, dst);
}
#endif

}  // namespace

namespace {

// One byte for each character; true when none was replaced.
KAVREL_WRITE_PATH bool Encode(const OLECHAR* text, size_t length, char* __restrict dst) {
  const auto* __restrict src = reinterpret_cast<const char16_t*>(text);
  unsigned replaced = 0;
  size_t i = 0;
  for (; i + kBlock <= length; i += kBlock) {
    if (!NarrowBlock(src + i, dst + i)) replaced |= EncodeOddBlock(src + i, dst + i);
  }
  replaced |= EncodeByTable(src + i, length - i, dst + i);
  return replaced == 0;
}

}  // namespace

std::string Cp1252Codec::ToAnsiExact(const OLECHAR* text, size_t length, bool& exact) {
  std::string out(length, '\0');
  exact = Encode(text, length, out.data());
  return out;
}

KAVREL_WRITE_PATH size_t Cp1252Codec::ToAnsiExactInto(const OLECHAR* text, size_t length, char* out,
                                                      size_t capacity, bool& exact) {
  if (length > capacity) {
    exact = false;
    return SIZE_MAX;
  }
  exact = Encode(text, length, out);
  return length;
}

namespace {

KAVREL_READ_PATH void Decode(const char* bytes, size_t length, char16_t* __restrict dst) {
  const auto* __restrict src = reinterpret_cast<const unsigned char*>(bytes);
  size_t i = 0;
  for (; i + kBlock <= length; i += kBlock) {
    if (!WidenBlock(src + i, dst + i)) DecodeOddBlock(src + i, dst + i);
  }
  DecodeByTable(src + i, length - i, dst + i);
}

}  // namespace

std::u16string Cp1252Codec::FromAnsi(const char* bytes, size_t length) {
  std::u16string out(length, u'\0');
  Decode(bytes, length, out.data());
  return out;
}

KAVREL_READ_PATH BSTR Cp1252Codec::FromAnsiBstr(const char* bytes, size_t length) {
  if (length > UINT_MAX) return nullptr;
  BSTR out = AllocateBstr(static_cast<UINT>(length));
  if (out) Decode(bytes, length, reinterpret_cast<char16_t*>(out));
  return out;
}

}  // namespace kavrel::platform::posix
