#include "support/test_host.h"

#include <gtest/gtest.h>

namespace kavrel::testing {

TestObject::TestObject(platform::Runtime& runtime) {
  void* p = nullptr;
  EXPECT_EQ(S_OK, CommsObject::Create(runtime, IID__comms, &p));
  comms = Ref<_comms>(static_cast<_comms*>(p));
}

std::string Utf8(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string Utf8(BSTR text) { return Utf8(Bstr::ViewOf(text)); }

std::u16string TakeErrorDescription() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return u"<none>";
  BSTR d = nullptr;
  info->GetDescription(&d);
  info->Release();
  return Bstr::Attach(d).str();
}

HRESULT CallByName(IDispatch* d, const char16_t* name, WORD flags, std::vector<VARIANT> args,
                   VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(name))};
  DISPID id = 0;
  const HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS dp{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    dp.rgdispidNamedArgs = &put;
    dp.cNamedArgs = 1;
  }
  EXCEPINFO local{};
  UINT localErr = 0;
  const HRESULT r = d->Invoke(id, IID_NULL, 0, flags, &dp, result, excep ? excep : &local,
                              argErr ? argErr : &localErr);
  if (!excep) {
    SysFreeString(local.bstrSource);
    SysFreeString(local.bstrDescription);
    SysFreeString(local.bstrHelpFile);
  }
  return r;
}

VARIANT VI2(short v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I2;
  x.iVal = v;
  return x;
}

VARIANT VI4(LONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}

VARIANT VR8(double v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_R8;
  x.dblVal = v;
  return x;
}

VARIANT VBool(bool v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BOOL;
  x.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
  return x;
}

VARIANT VOmitted() {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_ERROR;
  x.scode = DISP_E_PARAMNOTFOUND;
  return x;
}

VARIANT VStr(std::u16string_view text) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BSTR;
  x.bstrVal = Bstr(text).Detach();
  return x;
}

VARIANT VRef(VARIANT* target) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BYREF | VT_VARIANT;
  x.pvarVal = target;
  return x;
}

HRESULT TestDispatch::QueryInterface(REFIID riid, void** ppv) {
  if (riid == IID_IUnknown || riid == IID_IDispatch || (also_ && riid == *also_)) {
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT RecordingSink::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                              EXCEPINFO*, UINT*) {
  EXPECT_EQ(DISPATCH_METHOD, flags);
  EXPECT_EQ(1u, params->cArgs);
  EXPECT_EQ(VT_BSTR, params->rgvarg[0].vt);
  std::u16string text = Bstr::Copy(params->rgvarg[0].bstrVal).str();
  events.emplace_back(id, text);
  if (handler) handler(id, text);
  return S_OK;
}

LONG CallCommOpen(_comms* c, short port, std::u16string_view name, std::u16string_view settings) {
  TestBstr n(name), s(settings);
  LONG r = -99;
  EXPECT_EQ(S_OK, c->CommOpen(&port, &n.s, &s.s, &r));
  return r;
}

LONG CallCommSet(_comms* c, short port, std::u16string_view settings) {
  TestBstr s(settings);
  LONG r = -99;
  EXPECT_EQ(S_OK, c->CommSet(&port, &s.s, &r));
  return r;
}

LONG CallCommClose(_comms* c, short port) {
  LONG r = -99;
  EXPECT_EQ(S_OK, c->CommClose(&port, &r));
  return r;
}

LONG CallCommFlush(_comms* c, short port) {
  LONG r = -99;
  EXPECT_EQ(S_OK, c->CommFlush(&port, &r));
  return r;
}

LONG CallCommRead(_comms* c, short port, LONG size, std::u16string* data) {
  TestBstr d(u"stale");
  LONG r = -99;
  EXPECT_EQ(S_OK, c->CommRead(&port, &d.s, &size, &r));
  EXPECT_NE(nullptr, d.s) << "the text, even empty, is a string a C host can read";
  if (data) *data = d.str();
  return r;
}

LONG CallCommWrite(_comms* c, short port, std::u16string_view text, std::u16string* after) {
  TestBstr d(text);
  LONG r = -99;
  EXPECT_EQ(S_OK, c->CommWrite(&port, &d.s, &r));
  if (after) *after = d.str();
  return r;
}

LONG CallCommGetLine(_comms* c, short port, short mask, VARIANT_BOOL* state) {
  LONG r = -99;
  EXPECT_EQ(S_OK, c->CommGetLine(&port, &mask, state, &r));
  return r;
}

LONG CallCommSetLine(_comms* c, short port, short line, VARIANT_BOOL state) {
  LONG r = -99;
  EXPECT_EQ(S_OK, c->CommSetLine(&port, &line, &state, &r));
  return r;
}

std::string CallCommGetError(_comms* c, LONG* code) {
  TestBstr m(u"old");
  LONG r = -99;
  EXPECT_EQ(S_OK, c->CommGetError(&m.s, &r));
  if (code) *code = r;
  return Utf8(m.s);
}

DWORD Connect(IUnknown* object, IUnknown* sink) {
  Ref<IConnectionPointContainer> container;
  EXPECT_EQ(S_OK, object->QueryInterface(IID_IConnectionPointContainer,
                                         reinterpret_cast<void**>(container.out())));
  Ref<IConnectionPoint> point;
  EXPECT_EQ(S_OK, container->FindConnectionPoint(DIID___comms, point.out()));
  DWORD cookie = 0;
  EXPECT_EQ(S_OK, point->Advise(sink, &cookie));
  return cookie;
}

void Disconnect(IUnknown* object, DWORD cookie) {
  Ref<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IConnectionPointContainer,
                                         reinterpret_cast<void**>(container.out())));
  Ref<IConnectionPoint> point;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___comms, point.out()));
  EXPECT_EQ(S_OK, point->Unadvise(cookie));
}

}  // namespace kavrel::testing
