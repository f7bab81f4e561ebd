// The member table of _comms: every member's name, member id, kind,
// parameters, hidden flag and vtable slot, and how Invoke reaches it.
#pragma once

#include <cstdint>
#include <span>

#include "kavrel/kavrel.h"

namespace kavrel {

struct CommsPrivate;

enum class ParamType : uint8_t { I2, I4, Bool, Text };
enum class MemberKind : uint8_t { Method, PropertyGet, PropertyPut };

// One argument or result as the member receives it.
union ArgCell {
  short i2;
  LONG i4;
  VARIANT_BOOL b;
  BSTR text;
};

struct ParamInfo {
  const char* name;
  ParamType type;
  bool byRef;
  // A boolean the member only writes, and only when it succeeds; it never
  // reads what the caller passed.
  bool writtenOnly = false;
  // A text the member reads, and replaces, only before it can run any of
  // the host's code (its message pump, an event): a script's text variable
  // is then handed to it in place instead of as a copy. Only the last
  // parameter may be so: converting a later argument can run the host's
  // code (an object's default value), which could reassign the variable.
  bool inPlace = false;
};

// Calls the member through the object's own vtable. args[i] (or, for a
// by-reference argument passed straight through, refs[i]) holds parameter i.
using MemberInvoker = HRESULT (*)(CommsPrivate* object, void* const* refs, ArgCell* args,
                                  ArgCell* result);

struct MemberInfo {
  const char* name;
  DISPID id;
  MemberKind kind;
  uint8_t paramCount;
  ParamInfo params[3];
  bool hasResult;
  ParamType resultType;
  bool hidden;
  bool published;  // false for the two private record routines
  uint16_t slot;   // vtable slot, counting from QueryInterface = 0
  MemberInvoker invoke;
};

// The 30 entries in slot order: the 28 members of _comms, then the two
// private members.
std::span<const MemberInfo> MemberTable();

// The published entries for a member id: the property get and let share one
// id, so there may be two. Returns the number found (0, 1 or 2).
int FindMembers(DISPID id, const MemberInfo* found[2]);

// The published entry an Invoke of the member id with these flags calls:
// a property let for DISPATCH_PROPERTYPUT(REF), else a method or property
// get for DISPATCH_METHOD, else a property get or a method with a result
// for DISPATCH_PROPERTYGET. Null when there is none.
const MemberInfo* FindMember(DISPID id, WORD flags);

// Case-insensitive look-up of a published member's name; DISPID_UNKNOWN if
// there is none. Constant time in the number of members.
DISPID FindMemberId(const OLECHAR* name);

// Case-insensitive look-up of a parameter's name among the parameters of the
// member id: its position in the parameter list (0 for the first), the id a
// named argument carries. DISPID_UNKNOWN if the member has no such parameter.
DISPID FindParameterId(DISPID member, const OLECHAR* name);

}  // namespace kavrel
