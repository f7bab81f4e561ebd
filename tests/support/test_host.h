// What the suites share to play a host: objects over the scripted platform,
// BSTR and VARIANT helpers, and an event sink that records what it gets.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "component/bstr.h"
#include "component/comms_object.h"
#include "support/scripted_platform.h"

namespace kavrel::testing {

// An owning reference to an interface.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  ~Ref() { reset(); }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** out() {
    reset();
    return &p_;
  }
  T* release() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  T* p_ = nullptr;
};

// A comms object over a scripted runtime. The object is reached as the host
// reaches it (_comms) and, for white-box checks, as CommsObject.
struct TestObject {
  explicit TestObject(platform::Runtime& runtime);
  Ref<_comms> comms;
  CommsObject* object() const { return static_cast<CommsObject*>(comms.get()); }
};

// A BSTR owned by the test, for by-reference arguments.
struct TestBstr {
  explicit TestBstr(std::u16string_view text = u"") : s(Bstr(text).Detach()) {}
  ~TestBstr() { SysFreeString(s); }
  TestBstr(const TestBstr&) = delete;
  TestBstr& operator=(const TestBstr&) = delete;
  std::u16string str() const { return Bstr::Copy(s).str(); }
  BSTR s;
};

std::string Utf8(std::u16string_view text);  // for readable assertions
std::string Utf8(BSTR text);

// The description the thread's error information holds, taken from it.
std::u16string TakeErrorDescription();

// Calls through IDispatch by name with the given arguments (first to last).
HRESULT CallByName(IDispatch* d, const char16_t* name, WORD flags, std::vector<VARIANT> args,
                   VARIANT* result, EXCEPINFO* excep = nullptr, UINT* argErr = nullptr);

VARIANT VI2(short v);
VARIANT VI4(LONG v);
VARIANT VR8(double v);
VARIANT VBool(bool v);
VARIANT VStr(std::u16string_view text);  // caller clears
VARIANT VRef(VARIANT* target);           // VT_BYREF|VT_VARIANT
VARIANT VOmitted();                      // an argument a script left out

// A dispatch object for tests: a plain reference count, no type
// information and no names. It answers IUnknown, IDispatch and `also` when
// given; what Invoke does is the test's.
class TestDispatch : public IDispatch {
 public:
  explicit TestDispatch(const IID* also = nullptr) : also_(also) {}
  LONG refs = 1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }

 private:
  const IID* also_;
};

// An event sink implementing IDispatch; records (id, text) and runs a handler.
class RecordingSink final : public TestDispatch {
 public:
  RecordingSink() : TestDispatch(&DIID___comms) {}
  std::vector<std::pair<DISPID, std::u16string>> events;
  std::function<void(DISPID, const std::u16string&)> handler;

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT*, EXCEPINFO*, UINT*) override;
};

// One-line calls of the port-layer members as a host makes them (through
// _comms, every argument by reference). Each expects the call itself to
// succeed and returns the member's result; texts the member left come back
// through the optional out-arguments.
LONG CallCommOpen(_comms* c, short port, std::u16string_view name, std::u16string_view settings);
LONG CallCommSet(_comms* c, short port, std::u16string_view settings);
LONG CallCommClose(_comms* c, short port);
LONG CallCommFlush(_comms* c, short port);
LONG CallCommRead(_comms* c, short port, LONG size, std::u16string* data = nullptr);
LONG CallCommWrite(_comms* c, short port, std::u16string_view text,
                   std::u16string* after = nullptr);
LONG CallCommGetLine(_comms* c, short port, short mask, VARIANT_BOOL* state);
LONG CallCommSetLine(_comms* c, short port, short line, VARIANT_BOOL state);
std::string CallCommGetError(_comms* c, LONG* code = nullptr);  // the message, as UTF-8

// Connects a sink to an object's event interface; returns the cookie.
DWORD Connect(IUnknown* object, IUnknown* sink);
void Disconnect(IUnknown* object, DWORD cookie);

}  // namespace kavrel::testing
