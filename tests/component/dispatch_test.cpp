// Late binding: names, member ids, invoke flags, argument coercion and the
// by-reference rules, and failures as exceptions.
#include <gtest/gtest.h>

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
  EXPECT_EQ(VT_I4, variable.vt) << "the variable gets the value the member left";
  EXPECT_EQ(19200, variable.lVal);
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

TEST_F(DispatchTest, NamedArgumentsOtherThanThePutValueAreRefused) {
  VARIANT arg = VI4(1);
  DISPID named = 0;
  DISPPARAMS dp{&arg, &named, 1, 1};
  VARIANT r;
  VariantInit(&r);
  EXPECT_EQ(DISP_E_NONAMEDARGS, t.comms->Invoke(KAVREL_DISPID_SETTINGEVAL, IID_NULL, 0,
                                                DISPATCH_METHOD, &dp, &r, nullptr, nullptr));
  DISPPARAMS unnamed{&arg, nullptr, 1, 0};
  EXPECT_EQ(DISP_E_PARAMNOTOPTIONAL,
            t.comms->Invoke(KAVREL_DISPID_BAUDCOMM, IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamed,
                            nullptr, nullptr, nullptr));
}

}  // namespace
}  // namespace kavrel::testing
