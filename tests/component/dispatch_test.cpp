// Late binding: names, member ids, invoke flags, argument coercion and the
// by-reference rules, and failures as exceptions.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <functional>

#include "component/coercion.h"
#include "component/member_table.h"
#include "support/test_host.h"

namespace kavrel::testing {
namespace {

class DispatchTest : public ::testing::Test {
 protected:
  DISPID IdOf(const char16_t* name) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(name))};
    DISPID id = 12345;
    last = t.comms->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    return id;
  }
  ScriptedRuntime rt;
  TestObject t{rt.runtime()};
  HRESULT last = S_OK;
};

TEST_F(DispatchTest, NamesResolveCaseInsensitivelyToTheirMemberIds) {
  EXPECT_EQ(0x68030002, IdOf(u"PortComm"));
  EXPECT_EQ(0x68030002, IdOf(u"portcomm"));
  EXPECT_EQ(0x68030002, IdOf(u"PORTCOMM"));
  EXPECT_EQ(0x60030012, IdOf(u"CommSet"));
  EXPECT_EQ(0x6003001B, IdOf(u"LoopRocess"));
  EXPECT_EQ(0x68030005, IdOf(u"version"));
  EXPECT_EQ(S_OK, last);
  for (const char16_t* unknown :
       {u"Nope", u"", u"RecordDllError", u"RecordCommError", u"PortComm ", u"Port\u00C7omm"}) {
    EXPECT_EQ(DISPID_UNKNOWN, IdOf(unknown)) << Utf8(unknown);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, last);
  }
  // Every published name, as written, in upper case and cut by a letter.
  for (const MemberInfo& m : MemberTable()) {
    if (!m.published) continue;
    std::u16string name(m.name, m.name + std::char_traits<char>::length(m.name));
    std::u16string upper = name;
    for (char16_t& c : upper) c = c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c;
    EXPECT_EQ(m.id, IdOf(name.c_str())) << m.name;
    EXPECT_EQ(m.id, IdOf(upper.c_str())) << m.name;
    EXPECT_EQ(DISPID_UNKNOWN, IdOf(name.substr(1).c_str())) << m.name;
    std::u16string last = name;
    last.back() = last.back() == u'z' ? u'y' : last.back() + 1;
    EXPECT_EQ(DISPID_UNKNOWN, IdOf(last.c_str())) << m.name;
  }
}

TEST_F(DispatchTest, NamesEndingAtTheEndOfReadableMemoryAreFound) {
  // A name is read several characters at a time: one that ends just before
  // a page nobody may read must neither fault nor be missed, wherever it
  // starts.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, map);
  auto* base = static_cast<char*>(map);
  ASSERT_EQ(0, mprotect(base + page, page, PROT_NONE));
  auto* end = reinterpret_cast<char16_t*>(base + page);
  for (const MemberInfo& m : MemberTable()) {
    if (!m.published) continue;
    const std::u16string name(m.name, m.name + std::char_traits<char>::length(m.name));
    for (size_t gap = 0; gap < 10; ++gap) {
      char16_t* at = end - gap - name.size() - 1;
      std::copy(name.begin(), name.end(), at);
      at[name.size()] = 0;
      EXPECT_EQ(m.id, IdOf(at)) << m.name << " " << gap << " characters before the end";
      at[name.size() - 1] = 0;
      EXPECT_EQ(DISPID_UNKNOWN, IdOf(at)) << m.name << " cut, " << gap;
    }
  }
  munmap(map, 2 * page);
}

TEST_F(DispatchTest, TheTableHasEveryMemberInSlotOrder) {
  auto table = MemberTable();
  ASSERT_EQ(30u, table.size());
  for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(7 + i, table[i].slot) << table[i].name;
  EXPECT_STREQ("Version", table[0].name);
  EXPECT_STREQ("looprocess", table[27].name);
  EXPECT_STREQ("RecordDllError", table[28].name);
  EXPECT_FALSE(table[28].published);
  EXPECT_TRUE(table[16].hidden);   // GetSystemMessage
  EXPECT_FALSE(table[11].hidden);  // WriteComm
  const MemberInfo* found[2];
  EXPECT_EQ(0, FindMembers(0x60030010, found)) << "no member has this id";
  EXPECT_EQ(0, FindMembers(0x60030011, found));
  EXPECT_EQ(2, FindMembers(KAVREL_DISPID_BAUDCOMM, found));
}

TEST_F(DispatchTest, PropertiesGetAndLetThroughOneId) {
  VARIANT r;
  VariantInit(&r);
  ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"PortComm", DISPATCH_PROPERTYPUT, {VI2(3)}, nullptr));
  ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"portcomm", DISPATCH_PROPERTYGET, {}, &r));
  EXPECT_EQ(VT_I2, r.vt);
  EXPECT_EQ(3, r.iVal);
  // What script hosts send.
  ASSERT_EQ(S_OK,
            CallByName(t.comms.get(), u"Version", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &r));
  EXPECT_EQ(VT_BSTR, r.vt);
  EXPECT_EQ("1.1", Utf8(r.bstrVal));
  VariantClear(&r);
  // Read-only properties refuse a let; a get needs no arguments.
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
            CallByName(t.comms.get(), u"Version", DISPATCH_PROPERTYPUT, {VI2(1)}, nullptr));
  EXPECT_EQ(DISP_E_BADPARAMCOUNT,
            CallByName(t.comms.get(), u"PortComm", DISPATCH_PROPERTYGET, {VI2(1)}, &r));
  EXPECT_EQ(DISP_E_BADPARAMCOUNT,
            CallByName(t.comms.get(), u"settingeval", DISPATCH_METHOD, {}, &r));
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
            t.comms->Invoke(0x60030010, IID_NULL, 0, DISPATCH_METHOD, &none, &r, nullptr, nullptr));
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
            t.comms->Invoke(KAVREL_DISPID_VERSION, IID__comms, 0, DISPATCH_PROPERTYGET, &none, &r,
                            nullptr, nullptr));
}

TEST_F(DispatchTest, ArgumentsAreCoercedToTheParameterType) {
  struct Case {
    VARIANT arg;
    HRESULT hr;
    short expected;
  };
  VARIANT r8;
  VariantInit(&r8);
  r8.vt = VT_R8;
  r8.dblVal = 2.5;  // rounds half to even
  VARIANT r8b = r8;
  r8b.dblVal = 3.5;
  VARIANT big = VI4(40000);
  VARIANT boolean;
  VariantInit(&boolean);
  boolean.vt = VT_BOOL;
  boolean.boolVal = VARIANT_TRUE;
  VARIANT empty;
  VariantInit(&empty);
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  std::vector<Case> cases = {{VI4(7), S_OK, 7},
                             {VStr(u" 12 "), S_OK, 12},
                             {VStr(u"&H10"), S_OK, 16},
                             {VStr(u"-32768"), S_OK, -32768},
                             {r8, S_OK, 2},
                             {r8b, S_OK, 4},
                             {boolean, S_OK, -1},
                             {empty, S_OK, 0},
                             {VStr(u"abc"), DISP_E_TYPEMISMATCH, 0},
                             {VStr(u"32768"), DISP_E_OVERFLOW, 0},
                             {big, DISP_E_OVERFLOW, 0},
                             {null, DISP_E_TYPEMISMATCH, 0}};
  for (auto& c : cases) {
    t.comms->put_PortComm(99);
    UINT argErr = 77;
    HRESULT hr = CallByName(t.comms.get(), u"PortComm", DISPATCH_PROPERTYPUT, {c.arg}, nullptr,
                            nullptr, &argErr);
    EXPECT_EQ(c.hr, hr);
    short port = 0;
    t.comms->get_PortComm(&port);
    if (c.hr == S_OK) {
      EXPECT_EQ(c.expected, port);
    } else {
      EXPECT_EQ(0u, argErr) << "the index of the argument that failed";
      EXPECT_EQ(99, port) << "nothing is called after a coercion failure";
    }
    VariantClear(&c.arg);
  }
}

// Numbers handed to a text parameter keep the digits their own type holds;
// dates become dates.
TEST(Coercion, NumbersAndDatesBecomeTextAsTheirTypeWritesThemAndTextBecomesABoolean) {
  const auto typed = [](VARTYPE vt, auto set) {
    VARIANT v;
    VariantInit(&v);
    set(v);
    v.vt = vt;
    return v;
  };
  struct Case {
    VARIANT arg;
    const char* text;
  };
  const Case texts[] = {
      {typed(VT_R4, [](VARIANT& v) { v.fltVal = 9.6f; }), "9.6"},
      {typed(VT_R4, [](VARIANT& v) { v.fltVal = 0.1f; }), "0.1"},
      {typed(VT_R8, [](VARIANT& v) { v.dblVal = 0.1; }), "0.1"},
      {typed(VT_R8, [](VARIANT& v) { v.dblVal = -std::nan(""); }), "NAN"},
      {typed(VT_R4, [](VARIANT& v) { v.fltVal = -std::nanf(""); }), "NAN"},
      {typed(VT_CY, [](VARIANT& v) { v.cyVal.int64 = 123456789012345678LL; }),
       "12345678901234.5678"},
      {typed(VT_CY, [](VARIANT& v) { v.cyVal.int64 = -25000; }), "-2.5"},
      {typed(VT_UI8, [](VARIANT& v) { v.ullVal = ~0ULL; }), "18446744073709551615"},
      {typed(VT_DECIMAL,
             [](VARIANT& v) {
               v.decVal.Hi32 = 1;
               v.decVal.Lo64 = 5;
               v.decVal.scale = 3;
               v.decVal.sign = 0x80;
             }),
       "-18446744073709551.621"},
      {typed(VT_DECIMAL,
             [](VARIANT& v) {
               v.decVal.Lo64 = 7;
               v.decVal.scale = 4;
             }),
       "0.0007"},
      {typed(VT_DATE, [](VARIANT& v) { v.date = 36526; }), "1/1/2000"},
      {typed(VT_DATE, [](VARIANT& v) { v.date = 45000.75; }), "3/15/2023 6:00:00 PM"},
      {typed(VT_DATE, [](VARIANT& v) { v.date = -1.25; }), "12/29/1899 6:00:00 AM"},
      {typed(VT_DATE, [](VARIANT& v) { v.date = 0.5; }), "12:00:00 PM"},
  };
  for (const Case& c : texts) {
    ArgCell cell{};
    ASSERT_EQ(S_OK, CoerceArgument(c.arg, ParamType::Text, &cell)) << c.text;
    EXPECT_EQ(c.text, Utf8(cell.text));
    SysFreeString(cell.text);
  }
  // A number in text is a boolean as the same number is: true unless zero.
  const std::pair<const char16_t*, VARIANT_BOOL> booleans[] = {
      {u"0.5", VARIANT_TRUE}, {u"1e20", VARIANT_TRUE}, {u"-0.4", VARIANT_TRUE},
      {u"0", VARIANT_FALSE},  {u"True", VARIANT_TRUE}, {u"false", VARIANT_FALSE}};
  for (const auto& [text, expected] : booleans) {
    VARIANT arg = VStr(text);
    ArgCell cell{};
    EXPECT_EQ(S_OK, CoerceArgument(arg, ParamType::Bool, &cell)) << Utf8(text);
    EXPECT_EQ(expected, cell.b) << Utf8(text);
    VariantClear(&arg);
  }
}

TEST_F(DispatchTest, ByReferenceParametersTakeExactRefsVariantRefsOrValues) {
  VARIANT r;
  // Exact by-reference type: the member gets the caller's variable.
  LONG baud = 4800;
  VARIANT exact;
  VariantInit(&exact);
  exact.vt = VT_BYREF | VT_I4;
  exact.plVal = &baud;
  ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"settingeval", DISPATCH_METHOD, {exact}, &r));
  EXPECT_EQ("baud=4800 parity=N data=8 stop=1", Utf8(r.bstrVal));
  VariantClear(&r);
  // A script variable (VT_BYREF|VT_VARIANT) holding text is coerced in.
  VARIANT variable = VStr(u"19200");
  ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"settingeval", DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                             {VRef(&variable)}, &r));
  EXPECT_EQ("baud=19200 parity=N data=8 stop=1", Utf8(r.bstrVal));
  VariantClear(&r);
  ASSERT_EQ(VT_BSTR, variable.vt) << "a variable the member only read stays as it was";
  EXPECT_EQ("19200", Utf8(variable.bstrVal));
  VariantClear(&variable);
  // A literal by value goes into a temporary.
  VARIANT literal = VStr(u"300");
  ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"settingeval", DISPATCH_METHOD, {literal}, &r));
  EXPECT_EQ("baud=300 parity=N data=8 stop=1", Utf8(r.bstrVal));
  VariantClear(&r);
  VariantClear(&literal);
  // A by-reference variable of another type is refused.
  short narrow = 5;
  VARIANT other;
  VariantInit(&other);
  other.vt = VT_BYREF | VT_I2;
  other.piVal = &narrow;
  UINT argErr = 9;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, CallByName(t.comms.get(), u"settingeval", DISPATCH_METHOD, {other},
                                            &r, nullptr, &argErr));
  EXPECT_EQ(0u, argErr);
}

TEST_F(DispatchTest, AFailingMemberBecomesAnExceptionWithItsNumberAndText) {
  rt.device.Script("SleepEx", {.outOfMemory = true});
  EXCEPINFO excep{};
  VARIANT r;
  VariantInit(&r);
  EXPECT_EQ(DISP_E_EXCEPTION,
            CallByName(t.comms.get(), u"waitnow", DISPATCH_METHOD, {VI4(10)}, &r, &excep));
  EXPECT_EQ(static_cast<SCODE>(0x800A0007u), excep.scode);
  EXPECT_EQ("Out of memory", Utf8(excep.bstrDescription));
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
}

// Invokes with the arguments as DISPPARAMS holds them: named ones first,
// then the positional ones last-first.
HRESULT InvokeWith(IDispatch* d, DISPID id, WORD flags, std::vector<VARIANT> rgvarg,
                   std::vector<DISPID> named, VARIANT* result, UINT* argErr) {
  DISPPARAMS dp{rgvarg.data(), named.data(), static_cast<UINT>(rgvarg.size()),
                static_cast<UINT>(named.size())};
  EXCEPINFO excep{};
  const HRESULT hr = d->Invoke(id, IID_NULL, 0, flags, &dp, result, &excep, argErr);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  for (VARIANT& v : rgvarg) VariantClear(&v);
  return hr;
}

bool SameVariant(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_I2:
      return a.iVal == b.iVal;
    case VT_I4:
      return a.lVal == b.lVal;
    case VT_R8:
      return a.dblVal == b.dblVal;
    case VT_BOOL:
      return a.boolVal == b.boolVal;
    case VT_BSTR:
      return Bstr::ViewOf(a.bstrVal) == Bstr::ViewOf(b.bstrVal);
    default:
      return false;
  }
}

std::string Describe(const VARIANT& v) {
  switch (v.vt) {
    case VT_BSTR:
      return "\"" + Utf8(v.bstrVal) + "\"";
    case VT_R8:
      return "R8 " + std::to_string(v.dblVal);
    default:
      return "vt " + std::to_string(v.vt) + " " + std::to_string(v.lVal);
  }
}

TEST_F(DispatchTest, AVariableGoesBackOnlyWhenTheMemberChangedIt) {
  struct Case {
    const char16_t* member;
    VARIANT before;
    std::function<std::vector<VARIANT>(VARIANT*)> args;  // the variable is passed by reference
    VARIANT after;
    std::function<void()> script = {};
  };
  auto only = [](VARIANT* v) { return std::vector<VARIANT>{VRef(v)}; };
  std::vector<Case> cases = {
      // Members that only read the variable leave its type and value alone.
      {u"settingeval", VR8(9600.4), only, VR8(9600.4)},
      {u"CommClose", VStr(u"5"), only, VStr(u"5")},
      {u"CommGetLine", VI2(5),
       [](VARIANT* v) {
         return std::vector<VARIANT>{VI2(5), VI2(16), VRef(v)};
       },
       VI2(5)},
      {u"CommWrite", VI4(42),
       [](VARIANT* v) {
         return std::vector<VARIANT>{VI2(1), VRef(v)};
       },
       VI4(42)},
      {u"CommGetLine", VI2(-1),
       [](VARIANT* v) {
         return std::vector<VARIANT>{VI2(1), VI2(16), VRef(v)};
       },
       VI2(-1), [this] { rt.device.Script("GetCommModemStatus", {.value = 0x10}); }},
      // What a member changed goes back, in the parameter's type.
      {u"CommGetLine", VI2(0),
       [](VARIANT* v) {
         return std::vector<VARIANT>{VI2(1), VI2(16), VRef(v)};
       },
       VBool(true), [this] { rt.device.Script("GetCommModemStatus", {.value = 0x10}); }},
      {u"CommGetError", VI4(0), only, VStr(u"Error (0):  - ")},
      {u"CommRead", VI4(7),
       [](VARIANT* v) {
         return std::vector<VARIANT>{VI2(1), VRef(v), VI4(64)};
       },
       VStr(u"")},
      {u"CommRead", VStr(u"old"),
       [](VARIANT* v) {
         return std::vector<VARIANT>{VI2(1), VRef(v), VI4(64)};
       },
       VStr(u"hi"),
       [this] {
         rt.device.Script("ClearCommError", {.value = 2});
         rt.device.Script("ReadFile", {.data = "hi"});
       }},
      {u"CommWrite", VStr(u"A\u0100B"),
       [](VARIANT* v) {
         return std::vector<VARIANT>{VI2(1), VRef(v)};
       },
       VStr(u"A?B")},
  };
  VARIANT nullText;  // a null BSTR is the empty text
  VariantInit(&nullText);
  nullText.vt = VT_BSTR;
  nullText.bstrVal = nullptr;
  cases.push_back({u"CommWrite", nullText,
                   [](VARIANT* v) {
                     return std::vector<VARIANT>{VI2(1), VRef(v)};
                   },
                   nullText});
  // Texts around the length the dispatcher keeps without allocating, changed
  // only in their last character or not at all.
  for (const size_t length : {size_t{128}, size_t{129}, size_t{200}}) {
    const std::u16string plain(length, u'x');
    std::u16string wide = plain, narrowed = plain;
    wide.back() = u'\u0100';
    narrowed.back() = u'?';
    const auto write = [](VARIANT* v) { return std::vector<VARIANT>{VI2(1), VRef(v)}; };
    cases.push_back({u"CommWrite", VStr(plain), write, VStr(plain)});
    cases.push_back({u"CommWrite", VStr(wide), write, VStr(narrowed)});
  }
  for (auto& c : cases) {
    SCOPED_TRACE(Utf8(c.member) + " with " + Describe(c.before));
    TestObject fresh{rt.runtime()};
    if (c.script) c.script();
    VARIANT r;
    VariantInit(&r);
    ASSERT_EQ(S_OK,
              CallByName(fresh.comms.get(), c.member, DISPATCH_METHOD, c.args(&c.before), &r));
    EXPECT_TRUE(SameVariant(c.after, c.before)) << "left " << Describe(c.before);
    VariantClear(&r);
    VariantClear(&c.before);
    VariantClear(&c.after);
  }
}

TEST_F(DispatchTest, AVariableThatAlsoTakesTheResultEndsWithTheResultAndLeaksNothing) {
  // `v = o.CommGetError(v)` compiled with the result aimed at the variable
  // itself: the text the member wrote to v must not be lost under the result.
  for (const VARIANT start : {VI4(0), VStr(u"old"), VStr(std::u16string(200, u'x'))}) {
    SCOPED_TRACE(Describe(start));
    VARIANT variable = start;
    ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"CommGetError", DISPATCH_METHOD, {VRef(&variable)},
                               &variable));
    EXPECT_EQ(VT_I4, variable.vt);
    EXPECT_EQ(0, variable.lVal);
    VariantClear(&variable);
  }
  rt.device.Script("ClearCommError", {.value = 2});
  rt.device.Script("ReadFile", {.data = "hi"});
  VARIANT text = VStr(u"old");
  ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"CommRead", DISPATCH_METHOD,
                             {VI2(1), VRef(&text), VI4(64)}, &text));
  EXPECT_EQ(VT_I4, text.vt);
  VariantClear(&text);
  // A text the member converts, and one it leaves as it is.
  for (const char16_t* start : {u"A\u0100B", u"plain"}) {
    text = VStr(start);
    ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"CommWrite", DISPATCH_METHOD, {VI2(1), VRef(&text)},
                               &text));
    EXPECT_EQ(VT_I4, text.vt);
    VariantClear(&text);
  }
}

TEST_F(DispatchTest, AVariableTheHostChangesWhileTheMemberRunsStaysSound) {
  // A window message handled inside the member assigns the script's
  // variable a number; the member's text still comes back whole.
  for (const VARIANT start : {VStr(u"old"), VI4(3)}) {
    VARIANT variable = start;
    rt.pump.handler = [&] {
      VariantClear(&variable);
      variable = VI2(5);
    };
    rt.device.Script("ClearCommError", {.value = 2});
    rt.device.Script("ReadFile", {.data = "hi"});
    VARIANT r;
    VariantInit(&r);
    ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"CommRead", DISPATCH_METHOD,
                               {VI2(1), VRef(&variable), VI4(64)}, &r));
    rt.pump.handler = nullptr;
    ASSERT_EQ(VT_BSTR, variable.vt);
    EXPECT_EQ("hi", Utf8(variable.bstrVal));
    VariantClear(&variable);
  }
  // CommWrite is done with its text before the handler runs: the handler's
  // number is the variable's last value, whether or not the text was
  // converted.
  for (const char16_t* start : {u"A\u0100B", u"plain"}) {
    VARIANT variable = VStr(start);
    rt.pump.handler = [&] {
      VariantClear(&variable);
      variable = VI2(5);
    };
    VARIANT r;
    VariantInit(&r);
    ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"CommWrite", DISPATCH_METHOD,
                               {VI2(1), VRef(&variable)}, &r));
    rt.pump.handler = nullptr;
    EXPECT_EQ(VT_I2, variable.vt);
    VariantClear(&variable);
  }
}

TEST_F(DispatchTest, ParameterNamesResolveToTheirPositions) {
  auto ids = [&](std::vector<const char16_t*> names, HRESULT expected) {
    std::vector<LPOLESTR> p;
    for (auto* n : names) p.push_back(const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(n)));
    std::vector<DISPID> out(names.size(), 12345);
    EXPECT_EQ(expected, t.comms->GetIDsOfNames(IID_NULL, p.data(), static_cast<UINT>(p.size()), 0,
                                               out.data()));
    return out;
  };
  EXPECT_EQ((std::vector<DISPID>{KAVREL_DISPID_COMMOPEN, 2, 0, 1}),
            ids({u"CommOpen", u"strSettings", u"INTPORTID", u"strport"}, S_OK));
  EXPECT_EQ((std::vector<DISPID>{KAVREL_DISPID_COMMREAD, 2, 1}),
            ids({u"CommRead", u"lngSize", u"strData"}, S_OK));
  EXPECT_EQ((std::vector<DISPID>{KAVREL_DISPID_BAUDCOMM, 0}), ids({u"BaudComm", u"vData"}, S_OK));
  EXPECT_EQ((std::vector<DISPID>{KAVREL_DISPID_WRITECOMM, DISPID_UNKNOWN, 0}),
            ids({u"WriteComm", u"strData", u"strData1"}, DISP_E_UNKNOWNNAME));
  EXPECT_EQ((std::vector<DISPID>{KAVREL_DISPID_COMMCLOSE, DISPID_UNKNOWN}),
            ids({u"CommClose", u"intPortIDx"}, DISP_E_UNKNOWNNAME));
  EXPECT_EQ((std::vector<DISPID>{DISPID_UNKNOWN, DISPID_UNKNOWN}),
            ids({u"Nope", u"intPortID"}, DISP_E_UNKNOWNNAME));
}

TEST_F(DispatchTest, NamedArgumentsArePlacedByTheirIds) {
  struct Case {
    const char* what;
    std::vector<VARIANT> rgvarg;  // as DISPPARAMS holds them
    std::vector<DISPID> named;
    HRESULT hr;
    UINT argErr;  // for a refused call
  };
  const std::vector<Case> cases = {
      {"positional", {VStr(u"baud=300"), VStr(u"COM7"), VI2(2)}, {}, S_OK, 0},
      {"all named", {VStr(u"baud=300"), VI2(2), VStr(u"COM7")}, {2, 0, 1}, S_OK, 0},
      {"mixed", {VStr(u"COM7"), VStr(u"baud=300"), VI2(2)}, {1, 2}, S_OK, 0},
      {"no such parameter",
       {VStr(u"COM7"), VStr(u"baud=300"), VI2(2)},
       {1, 3},
       DISP_E_PARAMNOTFOUND,
       1},
      {"named twice", {VStr(u"COM7"), VStr(u"baud=300"), VI2(2)}, {1, 1}, DISP_E_PARAMNOTFOUND, 1},
      {"named and positional",
       {VI2(2), VStr(u"baud=300"), VStr(u"COM7")},
       {0},
       DISP_E_PARAMNOTFOUND,
       0},
      {"the let's value id",
       {VStr(u"COM7"), VStr(u"baud=300"), VI2(2)},
       {DISPID_PROPERTYPUT, 2},
       DISP_E_PARAMNOTFOUND,
       0},
      {"one missing", {VStr(u"COM7"), VI2(2)}, {1}, DISP_E_BADPARAMCOUNT, 77},
      {"one left out", {VStr(u"baud=300"), VOmitted(), VI2(2)}, {}, DISP_E_PARAMNOTOPTIONAL, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestObject fresh{rt.runtime()};
    rt.device.ClearCalls();
    VARIANT r;
    VariantInit(&r);
    UINT argErr = 77;
    ASSERT_EQ(c.hr, InvokeWith(fresh.comms.get(), KAVREL_DISPID_COMMOPEN, DISPATCH_METHOD, c.rgvarg,
                               c.named, &r, &argErr));
    if (c.hr != S_OK) {
      EXPECT_EQ(c.argErr, argErr);
      EXPECT_TRUE(rt.device.calls().empty());
      continue;
    }
    EXPECT_EQ(0, r.lVal);
    ASSERT_EQ(1u, rt.device.CallsOf("CreateFileA").size());
    EXPECT_EQ("COM7", rt.device.CallsOf("CreateFileA")[0].text);
    EXPECT_EQ(-1, CallCommOpen(fresh.comms.get(), 2, u"COM8", u"")) << "slot 2 took the device";
  }
  // A named variable goes back as a positional one does.
  VARIANT message = VI4(0);
  VARIANT r;
  VariantInit(&r);
  UINT argErr = 0;
  ASSERT_EQ(S_OK, InvokeWith(t.comms.get(), KAVREL_DISPID_COMMGETERROR, DISPATCH_METHOD,
                             {VRef(&message)}, {0}, &r, &argErr));
  EXPECT_EQ("Error (0):  - ", Utf8(message.bstrVal));
  VariantClear(&message);
  // A let's value is named DISPID_PROPERTYPUT, and only so.
  EXPECT_EQ(S_OK, InvokeWith(t.comms.get(), KAVREL_DISPID_PORTCOMM, DISPATCH_PROPERTYPUT, {VI2(3)},
                             {DISPID_PROPERTYPUT}, nullptr, &argErr));
  short port = 0;
  t.comms->get_PortComm(&port);
  EXPECT_EQ(3, port);
  EXPECT_EQ(DISP_E_PARAMNOTOPTIONAL,
            InvokeWith(t.comms.get(), KAVREL_DISPID_PORTCOMM, DISPATCH_PROPERTYPUT, {VI2(4)}, {},
                       nullptr, &argErr));
  EXPECT_EQ(DISP_E_PARAMNOTOPTIONAL,
            InvokeWith(t.comms.get(), KAVREL_DISPID_PORTCOMM, DISPATCH_PROPERTYPUT, {VI2(4)}, {0},
                       nullptr, &argErr));
}

// An object with a default value (DISPID_VALUE), as script objects have.
class ValueObject final : public TestDispatch {
 public:
  VARIANT value{};
  HRESULT answer = S_OK;

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || params->cArgs)
      return DISP_E_MEMBERNOTFOUND;
    if (FAILED(answer)) return answer;
    *result = value;
    if (value.vt == VT_BSTR) result->bstrVal = Bstr::Copy(value.bstrVal).Detach();
    if (value.vt == VT_DISPATCH) value.pdispVal->AddRef();
    return S_OK;
  }
};

TEST_F(DispatchTest, AnObjectStandsForItsDefaultValue) {
  ValueObject number, text, truth, chained, selfish, silent;
  number.value = VI4(19200);
  text.value = VStr(u" 2400 ");
  truth.value = VBool(true);
  chained.value.vt = VT_DISPATCH;
  chained.value.pdispVal = &number;
  selfish.value.vt = VT_DISPATCH;
  selfish.value.pdispVal = &selfish;
  silent.answer = DISP_E_MEMBERNOTFOUND;
  auto object = [](IDispatch* d, VARTYPE vt = VT_DISPATCH) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.pdispVal = d;
    return v;
  };
  struct Case {
    const char* what;
    VARIANT arg;
    HRESULT hr;
    const char* mode;
  };
  const std::vector<Case> cases = {
      {"a number", object(&number), S_OK, "baud=19200 parity=N data=8 stop=1"},
      {"text", object(&text), S_OK, "baud=2400 parity=N data=8 stop=1"},
      {"as IUnknown", object(&number, VT_UNKNOWN), S_OK, "baud=19200 parity=N data=8 stop=1"},
      {"an object's object", object(&chained), S_OK, "baud=19200 parity=N data=8 stop=1"},
      {"itself", object(&selfish), DISP_E_TYPEMISMATCH, ""},
      {"none", object(&silent), DISP_E_TYPEMISMATCH, ""},
      {"nothing", object(nullptr), DISP_E_TYPEMISMATCH, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    VARIANT r;
    VariantInit(&r);
    UINT argErr = 77;
    // By value, and as a script variable holding the object.
    VARIANT variable = c.arg;
    for (VARIANT arg : {c.arg, VRef(&variable)}) {
      ASSERT_EQ(c.hr, CallByName(t.comms.get(), u"settingeval", DISPATCH_METHOD, {arg}, &r, nullptr,
                                 &argErr));
      if (c.hr == S_OK) {
        EXPECT_EQ(c.mode, Utf8(r.bstrVal));
      } else {
        EXPECT_EQ(0u, argErr);
      }
      VariantClear(&r);
      EXPECT_EQ(c.arg.vt, variable.vt);
      EXPECT_EQ(c.arg.pdispVal, variable.pdispVal) << "the variable keeps its object";
    }
  }
  // Where text is expected, the default value becomes text.
  ASSERT_EQ(S_OK, CallByName(t.comms.get(), u"CommSet", DISPATCH_METHOD, {VI2(1), object(&truth)},
                             nullptr));
  ASSERT_EQ(1u, rt.device.CallsOf("BuildCommDCBA").size());
  EXPECT_EQ("True", rt.device.CallsOf("BuildCommDCBA")[0].text);
  VariantClear(&text.value);
  for (ValueObject* o : {&number, &text, &truth, &chained, &selfish, &silent})
    EXPECT_EQ(1, o->refs) << "every reference taken is given back";
}

TEST_F(DispatchTest, ADefaultValueThatReleasesTheObjectLeavesTheCallSound) {
  class Releasing final : public TestDispatch {
   public:
    std::function<void()> during;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result,
                                     EXCEPINFO*, UINT*) override {
      during();
      *result = VI4(4800);
      return S_OK;
    }
  } getter;
  VARIANT object;
  VariantInit(&object);
  object.vt = VT_DISPATCH;
  object.pdispVal = &getter;
  // The object as an argument, and as a script's variable for a parameter
  // taken by value.
  for (const bool inVariable : {false, true}) {
    SCOPED_TRACE(inVariable ? "variable" : "argument");
    TestObject fresh{rt.runtime()};
    const LONG before = CommsObject::LiveObjects();
    LONG duringCall = 0;
    getter.during = [&] {
      fresh.comms.reset();  // the host's only reference
      duringCall = CommsObject::LiveObjects();
    };
    _comms* comms = fresh.comms.get();
    VARIANT r;
    VariantInit(&r);
    if (inVariable) {
      ASSERT_EQ(S_OK,
                CallByName(comms, u"BaudComm", DISPATCH_PROPERTYPUT, {VRef(&object)}, nullptr));
    } else {
      ASSERT_EQ(S_OK, CallByName(comms, u"settingeval", DISPATCH_METHOD, {object}, &r));
      EXPECT_EQ("baud=4800 parity=N data=8 stop=1", Utf8(r.bstrVal));
    }
    EXPECT_EQ(before, duringCall) << "alive while the call runs";
    VariantClear(&r);
    EXPECT_EQ(before - 1, CommsObject::LiveObjects()) << "let go when it returned";
  }
}

TEST_F(DispatchTest, ChainedReferencesAndMalformedDecimalsAreRefused) {
  VARIANT self, first, second, value = VI4(7);
  for (VARIANT* v : {&self, &first, &second}) {
    VariantInit(v);
    v->vt = VT_BYREF | VT_VARIANT;
  }
  self.pvarVal = &self;
  first.pvarVal = &second;  // a cycle of two
  second.pvarVal = &first;
  VARIANT chain = VRef(&first);
  VARIANT toValue;
  VariantInit(&toValue);
  toValue.vt = VT_BYREF | VT_VARIANT;
  VARIANT inner = VRef(&value);
  toValue.pvarVal = &inner;  // a reference to a reference to a value
  auto decimal = [](BYTE scale, BYTE sign, ULONGLONG digits) {
    VARIANT v;
    VariantInit(&v);
    v.decVal.scale = scale;
    v.decVal.sign = sign;
    v.decVal.Lo64 = digits;
    v.vt = VT_DECIMAL;  // after the fields: vt overlays wReserved
    return v;
  };
  struct Case {
    const char* what;
    VARIANT arg;
    HRESULT hr;
  };
  const std::vector<Case> cases = {
      {"a variant naming itself", self, DISP_E_TYPEMISMATCH},
      {"a cycle of two", first, DISP_E_TYPEMISMATCH},
      {"a reference to a cycle", chain, DISP_E_TYPEMISMATCH},
      {"a reference to a reference", toValue, DISP_E_TYPEMISMATCH},
      {"decimal scale 29", decimal(29, 0, 96004), DISP_E_TYPEMISMATCH},
      {"decimal sign 1", decimal(1, 1, 96004), DISP_E_TYPEMISMATCH},
      {"decimal 9600.4", decimal(1, 0, 96004), S_OK},
      {"decimal scale 28", decimal(28, 0, 5), S_OK},
      {"decimal -3", decimal(2, 0x80, 300), S_OK},
  };
  // Each parameter kind: by-reference in the last place, by value, and
  // by-reference in the first of three (the index counts from the last).
  struct Call {
    const char16_t* member;
    WORD flags;
    UINT at;
  };
  for (const Call& call :
       {Call{u"settingeval", DISPATCH_METHOD, 0}, Call{u"BaudComm", DISPATCH_PROPERTYPUT, 0},
        Call{u"CommGetLine", DISPATCH_METHOD, 2}}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(Utf8(call.member) + ": " + c.what);
      std::vector<VARIANT> args{c.arg};
      if (call.at == 2) args = {c.arg, VI2(16), VBool(false)};
      VARIANT r;
      VariantInit(&r);
      UINT argErr = 77;
      const HRESULT hr =
          CallByName(t.comms.get(), call.member, call.flags, args, &r, nullptr, &argErr);
      VariantClear(&r);
      if (call.at == 2 && c.hr == S_OK) continue;  // slot 9600 or -3: the member's own concern
      EXPECT_EQ(c.hr, hr);
      if (c.hr != S_OK) {
        EXPECT_EQ(call.at, argErr);
      }
    }
  }
  LONG baud = 0;
  t.comms->get_BaudComm(&baud);
  EXPECT_EQ(-3, baud);
}

}  // namespace
}  // namespace kavrel::testing
