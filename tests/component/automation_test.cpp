// The automation types and helpers Linux hosts get from the library.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstddef>
#include <cstring>
#include <thread>

#include "kavrel/kavrel.h"
#include "support/test_host.h"

namespace kavrel::testing {
namespace {

TEST(AutomationAbiTest, TypesHaveTheWindowsWidthsAndLayouts) {
  static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(HRESULT) == 4);
  static_assert(sizeof(OLECHAR) == 2 && sizeof(VARIANT_BOOL) == 2 && sizeof(VARTYPE) == 2);
  static_assert(sizeof(GUID) == 16);
  static_assert(sizeof(VARIANT) == (sizeof(void*) == 8 ? 24 : 16));
  static_assert(offsetof(VARIANT, lVal) == 8);
  static_assert(offsetof(DISPPARAMS, cArgs) == 2 * sizeof(void*));
  static_assert(offsetof(EXCEPINFO, bstrSource) == sizeof(void*));
  static_assert(sizeof(DECIMAL) == 16);
  EXPECT_EQ(static_cast<HRESULT>(0x80020006u), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(static_cast<HRESULT>(0x8001010Eu), RPC_E_WRONG_THREAD);
}

TEST(AutomationAbiTest, ComInterfacesLayOutTheirVtablesInDeclarationOrder) {
  // The C view of _comms and the C++ view must agree slot for slot.
  struct Probe final : _comms {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return 1; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 3; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return 4; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return 5; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
      return 6;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
      return 7;
    }
    HRESULT STDMETHODCALLTYPE get_Version(BSTR*) override { return 8; }
    HRESULT STDMETHODCALLTYPE ClearComm() override { return 9; }
    HRESULT STDMETHODCALLTYPE get_Company(BSTR*) override { return 10; }
    HRESULT STDMETHODCALLTYPE put_BaudComm(LONG) override { return 11; }
    HRESULT STDMETHODCALLTYPE get_BaudComm(LONG*) override { return 12; }
    HRESULT STDMETHODCALLTYPE put_PortComm(short) override { return 13; }
    HRESULT STDMETHODCALLTYPE get_PortComm(short*) override { return 14; }
    HRESULT STDMETHODCALLTYPE get_StatusComm(VARIANT_BOOL*) override { return 15; }
    HRESULT STDMETHODCALLTYPE get_ReadBuffer(BSTR*) override { return 16; }
    HRESULT STDMETHODCALLTYPE ControlOff() override { return 17; }
    HRESULT STDMETHODCALLTYPE ControlOn() override { return 18; }
    HRESULT STDMETHODCALLTYPE WriteComm(BSTR*) override { return 19; }
    HRESULT STDMETHODCALLTYPE waitnow(LONG*) override { return 20; }
    HRESULT STDMETHODCALLTYPE ReadComm() override { return 21; }
    HRESULT STDMETHODCALLTYPE CloseComm() override { return 22; }
    HRESULT STDMETHODCALLTYPE OpenComm() override { return 23; }
    HRESULT STDMETHODCALLTYPE GetSystemMessage(LONG*, BSTR*) override { return 24; }
    HRESULT STDMETHODCALLTYPE CommOpen(short*, BSTR*, BSTR*, LONG*) override { return 25; }
    HRESULT STDMETHODCALLTYPE CommSet(short*, BSTR*, LONG*) override { return 26; }
    HRESULT STDMETHODCALLTYPE CommClose(short*, LONG*) override { return 27; }
    HRESULT STDMETHODCALLTYPE CommFlush(short*, LONG*) override { return 28; }
    HRESULT STDMETHODCALLTYPE CommRead(short*, BSTR*, LONG*, LONG*) override { return 29; }
    HRESULT STDMETHODCALLTYPE CommWrite(short*, BSTR*, LONG*) override { return 30; }
    HRESULT STDMETHODCALLTYPE CommGetLine(short*, short*, VARIANT_BOOL*, LONG*) override {
      return 31;
    }
    HRESULT STDMETHODCALLTYPE CommSetLine(short*, short*, VARIANT_BOOL*, LONG*) override {
      return 32;
    }
    HRESULT STDMETHODCALLTYPE CommGetError(BSTR*, LONG*) override { return 33; }
    HRESULT STDMETHODCALLTYPE settingeval(LONG*, BSTR*) override { return 34; }
    HRESULT STDMETHODCALLTYPE looprocess() override { return 35; }
  } probe;
  using AnyFunction = void (*)();
  using Method = HRESULT (*)(void*);
  AnyFunction* vtable = nullptr;
  std::memcpy(&vtable, static_cast<const void*>(&probe), sizeof vtable);
  EXPECT_EQ(8, reinterpret_cast<HRESULT (*)(void*, BSTR*)>(vtable[7])(&probe, nullptr));
  EXPECT_EQ(23, reinterpret_cast<Method>(vtable[22])(&probe));
  EXPECT_EQ(35, reinterpret_cast<Method>(vtable[34])(&probe));
}

TEST(BstrTest, KeepsItsLengthAndEmbeddedNuls) {
  const OLECHAR text[] = {'a', 0, 'b'};
  BSTR s = SysAllocStringLen(text, 3);
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(3u, SysStringLen(s));
  EXPECT_EQ(6u, reinterpret_cast<const uint32_t*>(s)[-1]) << "byte length precedes the text";
  EXPECT_EQ(0, s[3]) << "terminated";
  EXPECT_EQ(u'b', s[2]);
  SysFreeString(s);
  EXPECT_EQ(0u, SysStringLen(nullptr));
  EXPECT_EQ(nullptr, SysAllocString(nullptr));
  BSTR z = SysAllocStringLen(nullptr, 4);
  EXPECT_EQ(4u, SysStringLen(z));
  SysFreeString(z);
}

// Freed empty strings may be kept for the next allocation: every string
// handed out is still its own, empty and terminated, on any thread.
TEST(BstrTest, EmptyStringsKeptForReuseAreEachTheirOwn) {
  for (int round = 0; round < 3; ++round) {
    BSTR a = SysAllocStringLen(nullptr, 0);
    BSTR b = SysAllocString(u"");
    BSTR c = SysAllocStringLen(u"x", 0);
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(a != b && b != c && a != c);
    for (BSTR s : {a, b, c}) {
      EXPECT_EQ(0u, reinterpret_cast<const uint32_t*>(s)[-1]);
      EXPECT_EQ(0, s[0]);
    }
    SysFreeString(a);
    SysFreeString(b);
    SysFreeString(c);
  }
  std::thread([] { SysFreeString(SysAllocStringLen(nullptr, 0)); }).join();
}

// A host thread that polls and ends: the thread's state (set up before any
// string was kept) still holds the empty text of the last read when the
// thread's kept string has already been let go. Nothing may stay behind.
TEST(BstrTest, ThreadsThatPollOnceAndEndLeaveNoMemoryBehind) {
  ScriptedRuntime rt;
  const auto pollOnce = [&] {
    std::thread([&] {
      TestObject host(rt.runtime());
      host.comms->ReadComm();  // slot 0: the read fails and leaves ""
    }).join();
  };
  for (int i = 0; i < 20; ++i) pollOnce();  // what stays for the process's life
  const size_t before = mallinfo2().uordblks;
  constexpr int kThreads = 2000;
  for (int i = 0; i < kThreads; ++i) pollOnce();
  const size_t after = mallinfo2().uordblks;
  EXPECT_LT(after, before + kThreads * 8)
      << "bytes left per thread: " << (after - before) / kThreads;
}

TEST(VariantTest, ClearReleasesWhatTheVariantOwns) {
  VARIANT v = VStr(u"owned");
  EXPECT_EQ(S_OK, VariantClear(&v));
  EXPECT_EQ(VT_EMPTY, v.vt);
  RecordingSink sink;
  VARIANT d;
  VariantInit(&d);
  d.vt = VT_DISPATCH;
  d.pdispVal = &sink;
  sink.AddRef();
  EXPECT_EQ(S_OK, VariantClear(&d));
  EXPECT_EQ(1, sink.refs);
  // A by-reference variant owns nothing.
  BSTR s = SysAllocString(reinterpret_cast<const OLECHAR*>(u"x"));
  VARIANT r;
  VariantInit(&r);
  r.vt = VT_BYREF | VT_BSTR;
  r.pbstrVal = &s;
  VariantClear(&r);
  EXPECT_EQ(1u, SysStringLen(s));
  SysFreeString(s);
}

TEST(ErrorInfoTest, GetErrorInfoHandsOverTheThreadsRecordOnce) {
  platform::NativeRuntime().errors.Set(IID__comms, u"Kavrel", u"Overflow");
  IErrorInfo* info = nullptr;
  ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
  BSTR d = nullptr;
  info->GetDescription(&d);
  EXPECT_EQ("Overflow", Utf8(d));
  GUID g{};
  info->GetGUID(&g);
  EXPECT_TRUE(g == IID__comms);
  SysFreeString(d);
  info->Release();
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, &info));
  EXPECT_EQ(nullptr, info);
}

}  // namespace
}  // namespace kavrel::testing
