#include "component/member_table.h"

#include <array>
#include <cstring>
#include <string>

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

const std::array<MemberInfo, 30> kMembers = {{
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

// Member ids are 0x6803000n for properties and 0x600300nn for methods; the
// low byte indexes this table of entry positions (-1: none).
struct IdIndex {
  int8_t first[0x1C];
  int8_t second[0x1C];
};

IdIndex BuildIdIndex() {
  IdIndex index{};
  for (auto& v : index.first) v = -1;
  for (auto& v : index.second) v = -1;
  for (size_t i = 0; i < kMembers.size(); ++i) {
    const MemberInfo& m = kMembers[i];
    if (!m.published) continue;
    const int low = m.id & 0xFF;
    (index.first[low] < 0 ? index.first[low] : index.second[low]) = static_cast<int8_t>(i);
  }
  return index;
}

const IdIndex kIdIndex = BuildIdIndex();

constexpr char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A name folded to lower case, held without allocating; empty when it
// cannot be a member's or a parameter's (too long, or not ASCII).
struct FoldedName {
  static constexpr size_t kMax = 32;
  static_assert(kMax == 32, "SameText compares four words");
  char text[kMax]{};  // zeros after the name, so that whole names compare as words
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
  // Whether the folded names are the same, given both padded with zeros.
  bool SameText(const char (&other)[kMax]) const {
    uint64_t a[kMax / 8], b[kMax / 8];
    std::memcpy(a, text, kMax);
    std::memcpy(b, other, kMax);
    return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2]) | (a[3] ^ b[3])) == 0;
  }
  // From the length and three letters, which tell the member names apart
  // well enough for a table of several times their number; a hash over
  // every letter would cost more than the few compares it saves.
  size_t Hash() const {
    if (size == 0) return 0;
    const auto at = [&](size_t i) {
      return static_cast<size_t>(static_cast<unsigned char>(text[i]));
    };
    return size * 131 + at(0) * 31 + at(size / 2) * 7 + at(size - 1);
  }
  // Whether this is `other` folded; `other` is a table name (ASCII).
  bool Matches(const char* other) const {
    size_t k = 0;
    for (; k < size && other[k]; ++k)
      if (text[k] != FoldAscii(other[k])) return false;
    return k == size && !other[k];
  }
};

// The published names, folded, in an open-addressed table keyed by their
// hash: a look-up folds the name once and compares about one entry.
class NameIndex {
 public:
  NameIndex() {
    for (const MemberInfo& m : kMembers) {
      const FoldedName key(Widened(m.name).data());
      if (!m.published || key.size == 0 || Find(key) != DISPID_UNKNOWN) continue;  // first wins
      Slot* slot = &slots_[key.Hash() % kSlots];
      while (slot->size != 0) slot = &slots_[(slot - slots_.data() + 1) % kSlots];
      std::memcpy(slot->name, key.text, key.size);
      slot->size = static_cast<uint8_t>(key.size);
      slot->id = m.id;
    }
  }

  DISPID Find(const FoldedName& key) const {
    if (key.size == 0) return DISPID_UNKNOWN;
    for (size_t i = key.Hash() % kSlots;; i = (i + 1) % kSlots) {
      const Slot& slot = slots_[i];
      if (slot.size == 0) return DISPID_UNKNOWN;
      if (slot.size == key.size && key.SameText(slot.name)) return slot.id;
    }
  }

 private:
  static constexpr size_t kSlots = 128;  // several times the names: short probes, never full
  static_assert(std::tuple_size_v<decltype(kMembers)> * 2 < kSlots);
  struct Slot {
    char name[FoldedName::kMax];  // zeros after the name
    uint8_t size = 0;
    DISPID id = DISPID_UNKNOWN;
  };
  // Long enough to show a name that is too long.
  static std::array<OLECHAR, FoldedName::kMax + 2> Widened(const char* name) {
    std::array<OLECHAR, FoldedName::kMax + 2> wide{};
    for (size_t i = 0; i <= FoldedName::kMax && name[i]; ++i)
      wide[i] = static_cast<OLECHAR>(name[i]);
    return wide;
  }
  std::array<Slot, kSlots> slots_{};
};

const NameIndex& Names() {
  static const NameIndex index;
  return index;
}

}  // namespace

std::span<const MemberInfo> MemberTable() { return kMembers; }

KAVREL_SCRIPT_PATH int FindMembers(DISPID id, const MemberInfo* found[2]) {
  const auto u = static_cast<uint32_t>(id);
  const uint32_t high = u & 0xFFFFFF00u;
  const uint32_t low = u & 0xFFu;
  if ((high != 0x68030000u && high != 0x60030000u) || low >= 0x1C) return 0;
  // The two places one by one: a loop over a list of them has the compiler
  // store both bytes to the stack and read each back, which waits on the
  // store on some processors.
  int n = 0;
  const auto take = [&](int8_t pos) {
    if (pos >= 0 && static_cast<uint32_t>(kMembers[pos].id) == u) found[n++] = &kMembers[pos];
  };
  take(kIdIndex.first[low]);
  take(kIdIndex.second[low]);
  return n;
}

DISPID FindMemberId(const OLECHAR* name) {
  if (!name) return DISPID_UNKNOWN;
  return Names().Find(FoldedName(name));
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
