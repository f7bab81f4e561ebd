// Plays a Linux host: loads libkavrel.so with dlopen, creates the object
// through the exported class factory and works late-bound by name only.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kavrel/kavrel.h"

extern "C" int kavrel_c_header_check(void);

namespace {

struct Library {
  Library() { handle = dlopen(KAVREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL); }
  ~Library() {
    if (handle) dlclose(handle);
  }
  template <class F>
  F Get(const char* name) {
    return reinterpret_cast<F>(dlsym(handle, name));
  }
  void* handle;
};

class HostAbiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, lib.handle) << dlerror();
    getClassObject = lib.Get<decltype(getClassObject)>("DllGetClassObject");
    canUnload = lib.Get<decltype(canUnload)>("DllCanUnloadNow");
    allocLen = lib.Get<decltype(allocLen)>("SysAllocStringLen");
    freeString = lib.Get<decltype(freeString)>("SysFreeString");
    variantClear = lib.Get<decltype(variantClear)>("VariantClear");
    getErrorInfo = lib.Get<decltype(getErrorInfo)>("GetErrorInfo");
    ASSERT_TRUE(getClassObject && canUnload && allocLen && freeString && variantClear &&
                getErrorInfo);
  }

  IDispatch* Create() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(S_OK,
              getClassObject(CLSID_comms, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    IDispatch* d = nullptr;
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&d)));
    factory->Release();
    return d;
  }

  HRESULT Call(IDispatch* d, const char16_t* name, WORD flags, std::vector<VARIANT> args,
               VARIANT* result) {
    LPOLESTR names[] = {const_cast<char16_t*>(name)};
    DISPID id = 0;
    HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS dp{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags & DISPATCH_PROPERTYPUT) {
      dp.rgdispidNamedArgs = &put;
      dp.cNamedArgs = 1;
    }
    return d->Invoke(id, IID_NULL, 0, flags, &dp, result, nullptr, nullptr);
  }

  std::string Text(BSTR s) {
    std::string out;
    for (UINT i = 0; s && s[i]; ++i) out.push_back(static_cast<char>(s[i]));
    return out;
  }

  Library lib;
  HRESULT (*getClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT (*canUnload)() = nullptr;
  BSTR (*allocLen)(const OLECHAR*, UINT) = nullptr;
  void (*freeString)(BSTR) = nullptr;
  HRESULT (*variantClear)(VARIANT*) = nullptr;
  HRESULT (*getErrorInfo)(ULONG, IErrorInfo**) = nullptr;
};

TEST_F(HostAbiTest, ExportsOnlyTheServerEntryPointsAndHelpers) {
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "SysAllocString",
                           "SysAllocStringLen", "SysFreeString", "SysStringLen", "VariantInit",
                           "VariantClear", "GetErrorInfo", "KavrelSetMessagePump"})
    EXPECT_NE(nullptr, dlsym(lib.handle, name)) << name;
  for (const char* hidden : {"_ZN6kavrel11CommsObject6CreateERNS_8platform7RuntimeERK5_GUIDPPv",
                             "_ZN6kavrel15CurrentThreadStateEv", "_Znwm"}) {
    void* p = dlsym(lib.handle, hidden);
    Dl_info info{};
    EXPECT_FALSE(p && dladdr(p, &info) && info.dli_fbase != nullptr &&
                 std::string(info.dli_fname).find("libkavrel") != std::string::npos)
        << hidden << " is visible";
  }
  EXPECT_GT(kavrel_c_header_check(), 0);
}

TEST_F(HostAbiTest, ALateBoundHostReadsAndWritesProperties) {
  IDispatch* d = Create();
  ASSERT_NE(nullptr, d);
  EXPECT_EQ(S_FALSE, canUnload());
  VARIANT r;
  r.vt = VT_EMPTY;
  ASSERT_EQ(S_OK, Call(d, u"Version", DISPATCH_PROPERTYGET, {}, &r));
  EXPECT_EQ(VT_BSTR, r.vt);
  EXPECT_EQ("1.1", Text(r.bstrVal));
  variantClear(&r);

  VARIANT baud;
  baud.vt = VT_I4;
  baud.lVal = 115200;
  ASSERT_EQ(S_OK, Call(d, u"BAUDCOMM", DISPATCH_PROPERTYPUT, {baud}, nullptr));
  ASSERT_EQ(S_OK, Call(d, u"settingeval", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {baud}, &r));
  EXPECT_EQ("baud=115200 parity=N data=8 stop=1", Text(r.bstrVal));
  variantClear(&r);

  VARIANT text;
  text.vt = VT_BSTR;
  text.bstrVal = allocLen(reinterpret_cast<const OLECHAR*>(u"not a number"), 12);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(d, u"PortComm", DISPATCH_PROPERTYPUT, {text}, nullptr));
  variantClear(&text);
  EXPECT_EQ(DISP_E_UNKNOWNNAME, Call(d, u"NoSuchMember", DISPATCH_METHOD, {}, &r));

  EXPECT_EQ(0u, d->Release());
  EXPECT_EQ(S_OK, canUnload());
}

TEST_F(HostAbiTest, TheVtableReachesEveryMemberInSlotOrder) {
  IDispatch* d = Create();
  _comms* c = nullptr;
  ASSERT_EQ(S_OK, d->QueryInterface(IID__comms, reinterpret_cast<void**>(&c)));
  ASSERT_EQ(S_OK, c->put_PortComm(2));
  short port = 0;
  ASSERT_EQ(S_OK, c->get_PortComm(&port));
  EXPECT_EQ(2, port);
  BSTR company = nullptr;
  ASSERT_EQ(S_OK, c->get_Company(&company));
  EXPECT_EQ("Wendaskorve for Tivorand", Text(company));
  freeString(company);
  LONG ms = -5;
  EXPECT_EQ(S_OK, c->waitnow(&ms));
  c->Release();
  d->Release();
}

}  // namespace
