#include "component/member_table.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "component/comms_object.h"
#include "platform/hot_path.h"

namespace kavrel {

namespace {

using PT = ParamType;
using MK = MemberKind;

constexpr ParamInfo kNone{nullptr, PT::I2, false};

template <class T>
T* Ref(void* const* refs, ArgCell* args, int i, T ArgCell::*field) {
  return refs[i] ? static_cast<T*>(refs[i]) : &(args[i].*field);
}

#define KV_I2(i) Ref(refs, args, i, &ArgCell::i2)
#define KV_I4(i) Ref(refs, args, i, &ArgCell::i4)
#define KV_B(i) Ref(refs, args, i, &ArgCell::b)
#define KV_S(i) Ref(refs, args, i, &ArgCell::text)
#define KV_INVOKER(body)                                                         \
  [](CommsPrivate* o, void* const* refs, ArgCell* args, ArgCell* r) -> HRESULT { \
    (void)refs;                                                                  \
    (void)args;                                                                  \
    (void)r;                                                                     \
    return body;                                                                 \
  }

constexpr std::array<MemberInfo, 30> kMembers = {{
    {"Version",
     KAVREL_DISPID_VERSION,
     MK::PropertyGet,
     0,
     {kNone, kNone, kNone},
     true,
     PT::Text,
     false,
     true,
     7,
     KV_INVOKER(o->get_Version(&r->text))},
    {"ClearComm",
     KAVREL_DISPID_CLEARCOMM,
     MK::Method,
     0,
     {kNone, kNone, kNone},
     false,
     PT::I2,
     false,
     true,
     8,
     KV_INVOKER(o->ClearComm())},
    {"Company",
     KAVREL_DISPID_COMPANY,
     MK::PropertyGet,
     0,
     {kNone, kNone, kNone},
     true,
     PT::Text,
     false,
     true,
     9,
     KV_INVOKER(o->get_Company(&r->text))},
    {"BaudComm",
     KAVREL_DISPID_BAUDCOMM,
     MK::PropertyPut,
     1,
     {{"vData", PT::I4, false}, kNone, kNone},
     false,
     PT::I2,
     false,
     true,
     10,
     KV_INVOKER(o->put_BaudComm(args[0].i4))},
    {"BaudComm",
     KAVREL_DISPID_BAUDCOMM,
     MK::PropertyGet,
     0,
     {kNone, kNone, kNone},
     true,
     PT::I4,
     false,
     true,
     11,
     KV_INVOKER(o->get_BaudComm(&r->i4))},
    {"PortComm",
     KAVREL_DISPID_PORTCOMM,
     MK::PropertyPut,
     1,
     {{"vData", PT::I2, false}, kNone, kNone},
     false,
     PT::I2,
     false,
     true,
     12,
     KV_INVOKER(o->put_PortComm(args[0].i2))},
    {"PortComm",
     KAVREL_DISPID_PORTCOMM,
     MK::PropertyGet,
     0,
     {kNone, kNone, kNone},
     true,
     PT::I2,
     false,
     true,
     13,
     KV_INVOKER(o->get_PortComm(&r->i2))},
    {"StatusComm",
     KAVREL_DISPID_STATUSCOMM,
     MK::PropertyGet,
     0,
     {kNone, kNone, kNone},
     true,
     PT::Bool,
     false,
     true,
     14,
     KV_INVOKER(o->get_StatusComm(&r->b))},
    {"ReadBuffer",
     KAVREL_DISPID_READBUFFER,
     MK::PropertyGet,
     0,
     {kNone, kNone, kNone},
     true,
     PT::Text,
     false,
     true,
     15,
     KV_INVOKER(o->get_ReadBuffer(&r->text))},
    {"ControlOff",
     KAVREL_DISPID_CONTROLOFF,
     MK::Method,
     0,
     {kNone, kNone, kNone},
     false,
     PT::I2,
     false,
     true,
     16,
     KV_INVOKER(o->ControlOff())},
    {"ControlOn",
     KAVREL_DISPID_CONTROLON,
     MK::Method,
     0,
     {kNone, kNone, kNone},
     false,
     PT::I2,
     false,
     true,
     17,
     KV_INVOKER(o->ControlOn())},
    {"WriteComm",
     KAVREL_DISPID_WRITECOMM,
     MK::Method,
     1,
     {{"strData1", PT::Text, true}, kNone, kNone},
     false,
     PT::I2,
     false,
     true,
     18,
     KV_INVOKER(o->WriteComm(KV_S(0)))},
    {"waitnow",
     KAVREL_DISPID_WAITNOW,
     MK::Method,
     1,
     {{"valu1", PT::I4, true}, kNone, kNone},
     false,
     PT::I2,
     true,
     true,
     19,
     KV_INVOKER(o->waitnow(KV_I4(0)))},
    {"ReadComm",
     KAVREL_DISPID_READCOMM,
     MK::Method,
     0,
     {kNone, kNone, kNone},
     false,
     PT::I2,
     false,
     true,
     20,
     KV_INVOKER(o->ReadComm())},
    {"CloseComm",
     KAVREL_DISPID_CLOSECOMM,
     MK::Method,
     0,
     {kNone, kNone, kNone},
     false,
     PT::I2,
     false,
     true,
     21,
     KV_INVOKER(o->CloseComm())},
    {"OpenComm",
     KAVREL_DISPID_OPENCOMM,
     MK::Method,
     0,
     {kNone, kNone, kNone},
     false,
     PT::I2,
     false,
     true,
     22,
     KV_INVOKER(o->OpenComm())},
    {"GetSystemMessage",
     KAVREL_DISPID_GETSYSTEMMESSAGE,
     MK::Method,
     1,
     {{"lngErrorCode", PT::I4, true}, kNone, kNone},
     true,
     PT::Text,
     true,
     true,
     23,
     KV_INVOKER(o->GetSystemMessage(KV_I4(0), &r->text))},
    {"CommOpen",
     KAVREL_DISPID_COMMOPEN,
     MK::Method,
     3,
     {{"intPortID", PT::I2, true}, {"strPort", PT::Text, true}, {"strSettings", PT::Text, true}},
     true,
     PT::I4,
     true,
     true,
     24,
     KV_INVOKER(o->CommOpen(KV_I2(0), KV_S(1), KV_S(2), &r->i4))},
    {"CommSet",
     KAVREL_DISPID_COMMSET,
     MK::Method,
     2,
     {{"intPortID", PT::I2, true}, {"strSettings", PT::Text, true}, kNone},
     true,
     PT::I4,
     true,
     true,
     25,
     KV_INVOKER(o->CommSet(KV_I2(0), KV_S(1), &r->i4))},
    {"CommClose",
     KAVREL_DISPID_COMMCLOSE,
     MK::Method,
     1,
     {{"intPortID", PT::I2, true}, kNone, kNone},
     true,
     PT::I4,
     true,
     true,
     26,
     KV_INVOKER(o->CommClose(KV_I2(0), &r->i4))},
    {"CommFlush",
     KAVREL_DISPID_COMMFLUSH,
     MK::Method,
     1,
     {{"intPortID", PT::I2, true}, kNone, kNone},
     true,
     PT::I4,
     true,
     true,
     27,
     KV_INVOKER(o->CommFlush(KV_I2(0), &r->i4))},
    {"CommRead",
     KAVREL_DISPID_COMMREAD,
     MK::Method,
     3,
     {{"intPortID", PT::I2, true}, {"strData", PT::Text, true}, {"lngSize", PT::I4, true}},
     true,
     PT::I4,
     true,
     true,
     28,
     KV_INVOKER(o->CommRead(KV_I2(0), KV_S(1), KV_I4(2), &r->i4))},
    {"CommWrite",
     KAVREL_DISPID_COMMWRITE,
     MK::Method,
     2,
     {{"intPortID", PT::I2, true}, {"strData", PT::Text, true, false, true}, kNone},
     true,
     PT::I4,
     true,
     true,
     29,
     KV_INVOKER(o->CommWrite(KV_I2(0), KV_S(1), &r->i4))},
    {"CommGetLine",
     KAVREL_DISPID_COMMGETLINE,
     MK::Method,
     3,
     {{"intPortID", PT::I2, true}, {"intLine", PT::I2, true}, {"blnState", PT::Bool, true, true}},
     true,
     PT::I4,
     true,
     true,
     30,
     KV_INVOKER(o->CommGetLine(KV_I2(0), KV_I2(1), KV_B(2), &r->i4))},
    {"CommSetLine",
     KAVREL_DISPID_COMMSETLINE,
     MK::Method,
     3,
     {{"intPortID", PT::I2, true}, {"intLine", PT::I2, true}, {"blnState", PT::Bool, true}},
     true,
     PT::I4,
     true,
     true,
     31,
     KV_INVOKER(o->CommSetLine(KV_I2(0), KV_I2(1), KV_B(2), &r->i4))},
    {"CommGetError",
     KAVREL_DISPID_COMMGETERROR,
     MK::Method,
     1,
     {{"strMessage", PT::Text, true}, kNone, kNone},
     true,
     PT::I4,
     true,
     true,
     32,
     KV_INVOKER(o->CommGetError(KV_S(0), &r->i4))},
    {"settingeval",
     KAVREL_DISPID_SETTINGEVAL,
     MK::Method,
     1,
     {{"p1", PT::I4, true}, kNone, kNone},
     true,
     PT::Text,
     true,
     true,
     33,
     KV_INVOKER(o->settingeval(KV_I4(0), &r->text))},
    {"looprocess",
     KAVREL_DISPID_LOOPROCESS,
     MK::Method,
     0,
     {kNone, kNone, kNone},
     false,
     PT::I2,
     true,
     true,
     34,
     KV_INVOKER(o->looprocess())},
    {"RecordDllError",
     0,
     MK::Method,
     1,
     {{"strOperation", PT::Text, true}, kNone, kNone},
     true,
     PT::I4,
     true,
     false,
     35,
     KV_INVOKER(o->RecordDllError(KV_S(0), &r->i4))},
    {"RecordCommError",
     0,
     MK::Method,
     2,
     {{"strOperation", PT::Text, true}, {"lngPortHandle", PT::I4, true}, kNone},
     true,
     PT::I4,
     true,
     false,
     36,
     KV_INVOKER(o->RecordCommError(KV_S(0), KV_I4(1), &r->i4))},
}};

// Dispatch takes a text in place only as a member's last parameter.
static_assert(std::all_of(kMembers.begin(), kMembers.end(), [](const MemberInfo& m) {
  for (int i = 0; i + 1 < m.paramCount; ++i)
    if (m.params[i].inPlace) return false;
  return true;
}));

// Member ids are 0x6803000n for properties and 0x600300nn for methods; the
// low byte indexes what Invoke reaches through each: the entry a property let
// calls, the one a call (DISPATCH_METHOD) calls, and the one a property get
// calls (a method answers a get only when it has a result).
struct Reached {
  DISPID id = DISPID_UNKNOWN;
  const MemberInfo* let = nullptr;
  const MemberInfo* call = nullptr;
  const MemberInfo* get = nullptr;
};

constexpr std::array<Reached, 0x1C> BuildReached() {
  std::array<Reached, 0x1C> reached{};
  for (const MemberInfo& m : kMembers) {
    if (!m.published) continue;
    Reached& r = reached[m.id & 0xFF];
    r.id = m.id;
    switch (m.kind) {
      case MemberKind::PropertyPut:
        r.let = &m;
        break;
      case MemberKind::PropertyGet:
        r.call = r.get = &m;
        break;
      case MemberKind::Method:
        r.call = &m;
        if (m.hasResult) r.get = &m;
        break;
    }
  }
  return reached;
}

constexpr std::array<Reached, 0x1C> kReached = BuildReached();

constexpr char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A parameter's name folded to lower case, held without allocating; empty
// when it cannot be one (too long, or not ASCII).
struct FoldedName {
  static constexpr size_t kMax = 32;
  char text[kMax];
  size_t size = 0;

  explicit FoldedName(const OLECHAR* name) {
    size_t n = 0;  // local: a store to text could otherwise be to size, for all the compiler knows
    for (; name[n]; ++n) {
      const auto c = static_cast<char16_t>(name[n]);
      if ((c >= 0x80) | (n == kMax)) return;
      text[n] = FoldAscii(static_cast<char>(c));
    }
    size = n;
  }
  // Whether this is `other` folded; `other` is a table name (ASCII).
  bool Matches(const char* other) const {
    size_t k = 0;
    for (; k < size && other[k]; ++k)
      if (text[k] != FoldAscii(other[k])) return false;
    return k == size && !other[k];
  }
};

// Every member name is letters only. For a letter, c | 0x20 is its lower
// case; for any other character, ASCII or not, c | 0x20 is no letter at
// all. So a name folded that way matches a lower-case member name exactly
// when the two are the same but for case, with no range checks.
constexpr size_t kLongestName = 16;

constexpr bool IsMemberName(const char* name) {
  size_t n = 0;
  for (; name[n]; ++n) {
    const char c = name[n];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return n > 0 && n <= kLongestName;
}

static_assert(std::all_of(kMembers.begin(), kMembers.end(),
                          [](const MemberInfo& m) { return IsMemberName(m.name); }),
              "the name look-up folds and compares letters only");

constexpr uint16_t Folded(OLECHAR c) { return static_cast<uint16_t>(c | 0x20); }

// From the length and the first eight characters folded, zeros after the
// name (the first and second four as words): every member name differs in
// those, and the constants give each of them a slot of its own.
size_t NameHash(uint64_t first, uint64_t second, size_t size) {
  const uint64_t mixed = first ^ (second * 0x9531985D5D9DC9F9u) ^ size;
  return static_cast<size_t>((mixed * 0x1818E811892F902Bu) >> 57);
}

// The same from (at least) eight characters already folded, zeros after
// the name.
size_t NameHash(const uint16_t* folded, size_t size) {
  uint64_t words[2];
  std::memcpy(words, folded, sizeof words);
  return NameHash(words[0], words[1], size);
}

// The published names, folded, in an open-addressed table keyed by their
// hash: a look-up reads the name once and compares about one entry.
class NameIndex {
 public:
  NameIndex() {
    for (const MemberInfo& m : kMembers) {
      if (!m.published) continue;
      std::array<OLECHAR, kLongestName + 1> wide{};
      size_t size = 0;
      for (; m.name[size]; ++size) wide[size] = static_cast<OLECHAR>(m.name[size]);
      if (Find(wide.data()) != DISPID_UNKNOWN) continue;  // the first entry of a name wins
      uint16_t folded[kLongestName]{};
      for (size_t i = 0; i < size; ++i) folded[i] = Folded(wide[i]);
      Slot* slot = &slots_[NameHash(folded, size)];
      while (slot->size != 0) slot = &slots_[(slot - slots_.data() + 1) % kSlots];
      std::copy(folded, folded + kLongestName, slot->name);
      slot->size = static_cast<uint8_t>(size);
      slot->id = m.id;
    }
  }

  DISPID Find(const OLECHAR* name) const {
#if defined(__SSE2__) && defined(__x86_64__)
    if (InOnePage(name)) return FindInRegisters(name);
#endif
    return FindByCharacters(name);
  }

 private:
  static constexpr size_t kSlots = 128;  // the hash's seven bits; several times the names
  static_assert(std::tuple_size_v<decltype(kMembers)> * 2 < kSlots);
  struct Slot {
    alignas(16) uint16_t name[kLongestName]{};  // folded, zeros after the name
    uint8_t size = 0;
    DISPID id = DISPID_UNKNOWN;
  };

  [[gnu::noinline]] DISPID FindByCharacters(const OLECHAR* name) const {
    size_t size = 0;
    while (name[size] && size <= kLongestName) ++size;
    if (size == 0 || size > kLongestName) return DISPID_UNKNOWN;
    uint16_t first[8]{};
    for (size_t i = 0; i < std::min<size_t>(size, 8); ++i) first[i] = Folded(name[i]);
    return Probe(NameHash(first, size), size, [&](const Slot& slot) {
      size_t same = 0;
      while (same < size && Folded(name[same]) == slot.name[same]) ++same;
      return same == size;
    });
  }

  // The id in the first slot from `start` on whose name has the size and
  // passes `same`; DISPID_UNKNOWN at the first empty slot.
  template <class Same>
  DISPID Probe(size_t start, size_t size, Same&& same) const {
    for (size_t i = start;; i = (i + 1) % kSlots) {
      const Slot& slot = slots_[i];
      if (slot.size == 0) return DISPID_UNKNOWN;
      if (slot.size == size && same(slot)) return slot.id;
    }
  }

#if defined(__SSE2__) && defined(__x86_64__)
  // Whether the 32 bytes at p lie in one page, where reading them cannot
  // fault however few of them are the name's.
  static bool InOnePage(const void* p) {
    return (reinterpret_cast<uintptr_t>(p) & 4095) <= 4096 - 2 * sizeof(__m128i);
  }

  // Reads the first sixteen characters in two loads. Those after the
  // terminator are never used (the compare masks them out) and never fault
  // (the loads stay in the page of the name's first character), which the
  // sanitizers cannot tell: they do not look here. A name of sixteen
  // characters or more goes the character-by-character way.
  __attribute__((no_sanitize("address", "thread"))) DISPID FindInRegisters(
      const OLECHAR* name) const {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(name));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(name + 8));
    const __m128i zero = _mm_setzero_si128();
    const uint32_t ends = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(low, zero))) |
                          static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(high, zero)))
                              << 16;
    if (ends == 0) return FindByCharacters(name);
    const auto size = static_cast<size_t>(std::countr_zero(ends)) / 2;
    if (size == 0) return DISPID_UNKNOWN;
    const uint32_t lanes = (uint32_t{1} << (2 * size)) - 1;  // two mask bits a character
    const __m128i fold = _mm_set1_epi16(0x20);
    const __m128i lowFolded = _mm_or_si128(low, fold);
    const __m128i highFolded = _mm_or_si128(high, fold);
    // The first eight characters for the hash, zeros after the name.
    const __m128i key =
        _mm_and_si128(lowFolded, _mm_cmpgt_epi16(_mm_set1_epi16(static_cast<short>(size)),
                                                 _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7)));
    const auto first = static_cast<uint64_t>(_mm_cvtsi128_si64(key));
    const auto second = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(key, key)));
    return Probe(NameHash(first, second, size), size, [&](const Slot& slot) {
      const __m128i* want = reinterpret_cast<const __m128i*>(slot.name);
      const uint32_t same =
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(lowFolded, want[0]))) |
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(highFolded, want[1]))) << 16;
      return (same & lanes) == lanes;
    });
  }
#endif

  std::array<Slot, kSlots> slots_{};
};

const NameIndex kNames;

}  // namespace

std::span<const MemberInfo> MemberTable() { return kMembers; }

int FindMembers(DISPID id, const MemberInfo* found[2]) {
  const auto low = static_cast<uint32_t>(id) & 0xFFu;
  if (low >= kReached.size() || kReached[low].id != id) return 0;
  int n = 0;
  for (const MemberInfo* m : {kReached[low].call, kReached[low].let})
    if (m) found[n++] = m;
  return n;
}

KAVREL_SCRIPT_PATH const MemberInfo* FindMember(DISPID id, WORD flags) {
  const auto low = static_cast<uint32_t>(id) & 0xFFu;
  if (low >= kReached.size() || kReached[low].id != id) return nullptr;
  const Reached& r = kReached[low];
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return r.let;
  if (flags & DISPATCH_METHOD) return r.call;
  if (flags & DISPATCH_PROPERTYGET) return r.get;
  return nullptr;
}

DISPID FindMemberId(const OLECHAR* name) {
  if (!name) return DISPID_UNKNOWN;
  return kNames.Find(name);
}

DISPID FindParameterId(DISPID member, const OLECHAR* name) {
  if (!name) return DISPID_UNKNOWN;
  const FoldedName key(name);
  if (key.size == 0) return DISPID_UNKNOWN;
  const MemberInfo* found[2];
  const int count = FindMembers(member, found);
  for (int n = 0; n < count; ++n) {
    for (DISPID i = 0; i < found[n]->paramCount; ++i)
      if (key.Matches(found[n]->params[i].name)) return i;
  }
  return DISPID_UNKNOWN;
}

}  // namespace kavrel
