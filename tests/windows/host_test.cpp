// A Windows host of Kavrel.dll, run under Wine by run_wine_tests.sh. It
// creates the object as any host does (CLSIDFromProgID + CoCreateInstance
// of the registered server), reads its resources and type information, calls
// members through the vtable and late-bound, receives both events through a
// sink and exchanges bytes with a peer over a pair of pseudo-terminals that
// the script maps to two COM ports.
//
//   kavrel_wine_host.exe <slot> <peer-port>
//
// <slot> (1-4) is the connection port: "COM<slot>" must reach one end of
// the pair, <peer-port> ("COM6") the other. Without arguments only the
// checks that need no port run. The exit code is the number of failures.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "kavrel/kavrel.h"

namespace {

using kavrel_check::Check;
using kavrel_check::Narrow;
using kavrel_check::Section;
using kavrel_check::Widen;

// An owned BSTR.
struct Text {
  BSTR s = nullptr;
  Text() = default;
  explicit Text(const std::wstring& w)
      : s(SysAllocStringLen(w.data(), static_cast<UINT>(w.size()))) {}
  ~Text() { SysFreeString(s); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  std::wstring str() const { return s ? std::wstring(s, SysStringLen(s)) : std::wstring(); }
  BSTR* out() {
    SysFreeString(s);
    s = nullptr;
    return &s;
  }
};

template <class T>
struct Ref {
  T* p = nullptr;
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }
  void reset() {
    if (p) p->Release();
    p = nullptr;
  }
  T* operator->() const { return p; }
  T** out() {
    reset();
    return &p;
  }
  void** vout() { return reinterpret_cast<void**>(out()); }
};

bool CreateComms(Ref<_comms>& comms) {
  CLSID clsid{};
  if (FAILED(CLSIDFromProgID(L"Kavrel.comms", &clsid))) return false;
  return SUCCEEDED(
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__comms, comms.vout()));
}

// A late-bound call with the arguments first to last.
HRESULT Call(IDispatch* d, const wchar_t* name, WORD flags, std::vector<VARIANT> args,
             VARIANT* result, EXCEPINFO* excep = nullptr) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = 0;
  HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS dp{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    dp.rgdispidNamedArgs = &put;
    dp.cNamedArgs = 1;
  }
  EXCEPINFO local{};
  UINT argErr = 0;
  hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, result, excep ? excep : &local,
                 &argErr);
  if (!excep) {
    SysFreeString(local.bstrSource);
    SysFreeString(local.bstrDescription);
    SysFreeString(local.bstrHelpFile);
  }
  return hr;
}

VARIANT ByRef(VARIANT* target) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | VT_VARIANT;
  v.pvarVal = target;
  return v;
}

VARIANT I2(short value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I2;
  v.iVal = value;
  return v;
}

// A sink for __comms: records the events and runs a handler for each.
class Sink final : public IDispatch {
 public:
  std::vector<std::pair<DISPID, std::wstring>> events;
  void (*handler)(Sink*, DISPID, const std::wstring&) = nullptr;
  _comms* object = nullptr;  // for the handler
  LONG refs = 1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID___comms) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
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
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT*, EXCEPINFO*, UINT*) override {
    CHECK(flags == DISPATCH_METHOD);
    CHECK(params && params->cArgs == 1 && params->rgvarg[0].vt == VT_BSTR);
    if (!params || params->cArgs != 1 || params->rgvarg[0].vt != VT_BSTR) return S_OK;
    const BSTR b = params->rgvarg[0].bstrVal;
    const std::wstring text = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
    events.emplace_back(id, text);
    if (handler) handler(this, id, text);
    return S_OK;
  }
};

DWORD Advise(IUnknown* object, IUnknown* sink) {
  Ref<IConnectionPointContainer> container;
  CHECK_HR(S_OK, object->QueryInterface(IID_IConnectionPointContainer, container.vout()));
  Ref<IConnectionPoint> point;
  CHECK_HR(S_OK, container->FindConnectionPoint(DIID___comms, point.out()));
  DWORD cookie = 0;
  if (point.p) CHECK_HR(S_OK, point->Advise(sink, &cookie));
  return cookie;
}

// --- checks that need no port ---

void CreationAndRegistration() {
  Section("creation by programmatic identifier");
  CLSID clsid{};
  CHECK_HR(S_OK, CLSIDFromProgID(L"Kavrel.comms", &clsid));
  CHECK(IsEqualGUID(clsid, CLSID_comms));
  Ref<_comms> a, b;
  CHECK(CreateComms(a));
  CHECK(CreateComms(b));
  CHECK(a.p && b.p && a.p != b.p);
  if (!a.p) return;
  Ref<IDispatch> dispatch;
  CHECK_HR(S_OK, a->QueryInterface(IID_IDispatch, dispatch.vout()));
  CHECK(static_cast<IUnknown*>(dispatch.p) == static_cast<IUnknown*>(a.p));
  Ref<ISupportErrorInfo> support;
  CHECK_HR(S_OK, a->QueryInterface(IID_ISupportErrorInfo, support.vout()));
  if (support.p) CHECK_HR(S_OK, support->InterfaceSupportsErrorInfo(IID__comms));
  CHECK_HR(E_NOINTERFACE, a->QueryInterface(IID_IClassFactory, dispatch.vout()));

  // The registered server is this DLL with the apartment model.
  wchar_t path[MAX_PATH] = {};
  LONG size = sizeof path;
  const std::wstring key = L"CLSID\\" + Widen(KAVREL_CLSID_COMMS) + L"\\InprocServer32";
  CHECK_EQ(ERROR_SUCCESS, RegQueryValueW(HKEY_CLASSES_ROOT, key.c_str(), path, &size));
  HMODULE module = GetModuleHandleW(L"Kavrel.dll");
  CHECK(module != nullptr);
  wchar_t loaded[MAX_PATH] = {};
  GetModuleFileNameW(module, loaded, MAX_PATH);
  CHECK(lstrcmpiW(path, loaded) == 0);

  Section("unloading");
  CoFreeUnusedLibraries();  // objects are alive: the library must stay
  CHECK(GetModuleHandleW(L"Kavrel.dll") != nullptr);
  using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
  auto canUnload = reinterpret_cast<CanUnloadFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"Kavrel.dll"), "DllCanUnloadNow")));
  CHECK(canUnload != nullptr);
  if (!canUnload) return;
  CHECK_HR(S_FALSE, canUnload());
  // An enumerator of connections outlives its object: its code must stay.
  Ref<IEnumConnections> connections;
  {
    Ref<IConnectionPointContainer> container;
    Ref<IConnectionPoint> point;
    CHECK_HR(S_OK, a->QueryInterface(IID_IConnectionPointContainer, container.vout()));
    if (container.p) CHECK_HR(S_OK, container->FindConnectionPoint(DIID___comms, point.out()));
    if (point.p) CHECK_HR(S_OK, point->EnumConnections(connections.out()));
  }
  a.reset();
  b.reset();
  dispatch.reset();
  support.reset();
  CHECK_HR(S_FALSE, canUnload());
  connections.reset();
  CHECK_HR(S_OK, canUnload());
  Ref<IClassFactory> factory;
  CHECK_HR(S_OK, CoGetClassObject(CLSID_comms, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  factory.vout()));
  if (!factory.p) return;
  CHECK_HR(S_OK, factory->LockServer(TRUE));
  factory.reset();
  CHECK_HR(S_FALSE, canUnload());  // locked
  CHECK_HR(S_OK, CoGetClassObject(CLSID_comms, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  factory.vout()));
  CHECK_HR(S_OK, factory->LockServer(FALSE));
  factory.reset();
  CHECK_HR(S_OK, canUnload());
}

void Resources() {
  Section("resources");
  HMODULE module = GetModuleHandleW(L"Kavrel.dll");
  if (!module) return;
  const struct {
    const wchar_t* type;
    const GUID* iid;
  } ids[] = {{L"_IID_COMMS", &IID__comms}, {L"_SRCIID_COMMS", &DIID___comms}};
  for (const auto& id : ids) {
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(1), id.type);
    CHECK(res != nullptr);
    if (!res) continue;
    CHECK_EQ(20, SizeofResource(module, res));
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, res)));
    DWORD length = 0;
    memcpy(&length, data, 4);
    CHECK_EQ(16, length);
    CHECK(memcmp(data + 4, id.iid, 16) == 0);
  }
  CHECK(FindResourceW(module, MAKEINTRESOURCEW(1), L"TYPELIB") != nullptr);

  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  CHECK(size > 0);
  std::vector<BYTE> info(size);
  CHECK(GetFileVersionInfoW(path, 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  CHECK(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  if (fixed) {
    CHECK_EQ(0x00010000, fixed->dwFileVersionMS);
    CHECK_EQ(0, fixed->dwFileVersionLS);
    CHECK_EQ(0x00010000, fixed->dwProductVersionMS);
    CHECK_EQ(VFT_DLL, fixed->dwFileType);
    CHECK_EQ(VOS__WINDOWS32, fixed->dwFileOS);
    CHECK_EQ(0, fixed->dwFileFlags);
  }
  struct Translation {
    WORD language, codePage;
  }* translation = nullptr;
  CHECK(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                       reinterpret_cast<void**>(&translation), &length));
  if (translation) {
    CHECK_EQ(0x0409, translation->language);
    CHECK_EQ(1200, translation->codePage);
  }
  const std::pair<const wchar_t*, const wchar_t*> strings[] = {
      {L"CompanyName", L"Tivorand"}, {L"ProductName", L"Kavrel"},
      {L"FileVersion", L"1.00"},     {L"ProductVersion", L"1.00"},
      {L"InternalName", L"Kavrel"},  {L"OriginalFilename", L"Kavrel.dll"},
      {L"OLESelfRegister", L""},
  };
  for (const auto& [key, expected] : strings) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    wchar_t* value = nullptr;
    length = 0;
    const bool found =
        VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length);
    Check(found, "version string present", __LINE__, Narrow(key));
    if (found && value) CHECK_TEXT(expected, std::wstring(value));
  }
}

void TypeInformation() {
  Section("type information");
  Ref<_comms> comms;
  if (!CreateComms(comms)) return;
  UINT count = 0;
  CHECK_HR(S_OK, comms->GetTypeInfoCount(&count));
  CHECK_EQ(1, count);
  Ref<ITypeInfo> info;
  CHECK_HR(S_OK, comms->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.out()));
  CHECK_HR(DISP_E_BADINDEX, comms->GetTypeInfo(1, LOCALE_USER_DEFAULT, info.out()));
  CHECK_HR(S_OK, comms->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.out()));
  if (!info.p) return;
  TYPEATTR* attr = nullptr;
  CHECK_HR(S_OK, info->GetTypeAttr(&attr));
  if (attr) {
    CHECK(IsEqualGUID(attr->guid, IID__comms));
    CHECK_EQ(TKIND_DISPATCH, attr->typekind);
    CHECK((attr->wTypeFlags & TYPEFLAG_FDUAL) != 0);
    CHECK((attr->wTypeFlags & TYPEFLAG_FHIDDEN) != 0);
    CHECK((attr->wTypeFlags & TYPEFLAG_FNONEXTENSIBLE) != 0);
    info->ReleaseTypeAttr(attr);
  }
  // The member ids in the type library are the component's.
  const std::pair<const wchar_t*, DISPID> members[] = {
      {L"PortComm", KAVREL_DISPID_PORTCOMM},     {L"CommSet", KAVREL_DISPID_COMMSET},
      {L"looprocess", KAVREL_DISPID_LOOPROCESS}, {L"ReadBuffer", KAVREL_DISPID_READBUFFER},
      {L"Version", KAVREL_DISPID_VERSION},       {L"CommOpen", KAVREL_DISPID_COMMOPEN},
  };
  for (const auto& [name, id] : members) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    MEMBERID found = 0;
    CHECK_HR(S_OK, info->GetIDsOfNames(names, 1, &found));
    CHECK_EQ(id, found);
    DISPID late = 0;
    CHECK_HR(S_OK, comms->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &late));
    CHECK_EQ(id, late);
  }
  // The vtable form lists the 28 members after IDispatch, in slot order,
  // with the hidden flags.
  HREFTYPE ref = 0;
  Ref<ITypeInfo> vtable;
  CHECK_HR(S_OK, info->GetRefTypeOfImplType(-1, &ref));
  CHECK_HR(S_OK, info->GetRefTypeInfo(ref, vtable.out()));
  if (vtable.p) {
    CHECK_HR(S_OK, vtable->GetTypeAttr(&attr));
    if (attr) {
      CHECK_EQ(TKIND_INTERFACE, attr->typekind);
      CHECK_EQ(28, attr->cFuncs);
      vtable->ReleaseTypeAttr(attr);
    }
    const struct {
      UINT index;
      const wchar_t* name;
      bool hidden;
    } slots[] = {{0, L"Version", false},  {3, L"BaudComm", false}, {12, L"waitnow", true},
                 {17, L"CommOpen", true}, {18, L"CommSet", true},  {27, L"looprocess", true}};
    for (const auto& s : slots) {
      FUNCDESC* func = nullptr;
      CHECK_HR(S_OK, vtable->GetFuncDesc(s.index, &func));
      if (!func) continue;
      BSTR name = nullptr;
      vtable->GetDocumentation(func->memid, &name, nullptr, nullptr, nullptr);
      CHECK_TEXT(s.name, std::wstring(name ? name : L""));
      SysFreeString(name);
      CHECK_EQ(s.hidden, (func->wFuncFlags & FUNCFLAG_FHIDDEN) != 0);
      CHECK_EQ((7 + s.index) * sizeof(void*), func->oVft);
      vtable->ReleaseFuncDesc(func);
    }
  }
  // The class, through IProvideClassInfo: creatable, with both interfaces
  // as defaults.
  Ref<IProvideClassInfo> provide;
  CHECK_HR(S_OK, comms->QueryInterface(IID_IProvideClassInfo, provide.vout()));
  Ref<ITypeInfo> coclass;
  if (provide.p) CHECK_HR(S_OK, provide->GetClassInfo(coclass.out()));
  if (coclass.p) {
    CHECK_HR(S_OK, coclass->GetTypeAttr(&attr));
    if (attr) {
      CHECK_EQ(TKIND_COCLASS, attr->typekind);
      CHECK(IsEqualGUID(attr->guid, CLSID_comms));
      CHECK((attr->wTypeFlags & TYPEFLAG_FCANCREATE) != 0);
      CHECK_EQ(2, attr->cImplTypes);
      coclass->ReleaseTypeAttr(attr);
    }
    for (UINT i = 0; i < 2; ++i) {
      INT flags = 0;
      CHECK_HR(S_OK, coclass->GetImplTypeFlags(i, &flags));
      CHECK_HR(S_OK, coclass->GetRefTypeOfImplType(i, &ref));
      Ref<ITypeInfo> implemented;
      CHECK_HR(S_OK, coclass->GetRefTypeInfo(ref, implemented.out()));
      if (!implemented.p || FAILED(implemented->GetTypeAttr(&attr))) continue;
      const bool source = (flags & IMPLTYPEFLAG_FSOURCE) != 0;
      CHECK((flags & IMPLTYPEFLAG_FDEFAULT) != 0);
      CHECK(IsEqualGUID(attr->guid, source ? DIID___comms : IID__comms));
      implemented->ReleaseTypeAttr(attr);
    }
  }
  // The registered type library, version 16.0.
  Ref<ITypeLib> library;
  CHECK_HR(S_OK, LoadRegTypeLib(LIBID_Kavrel, 16, 0, LOCALE_NEUTRAL, library.out()));
  if (library.p) {
    BSTR name = nullptr;
    library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
    CHECK_TEXT(L"Kavrel", std::wstring(name ? name : L""));
    SysFreeString(name);
  }
}

void MembersThroughTheVtable() {
  Section("members through the vtable");
  Ref<_comms> comms;
  if (!CreateComms(comms)) return;
  Text text;
  CHECK_HR(S_OK, comms->get_Version(text.out()));
  CHECK_TEXT(L"1.1", text.str());
  CHECK_HR(S_OK, comms->get_Company(text.out()));
  CHECK_TEXT(L"Wendaskorve for Tivorand", text.str());
  short port = -7;
  CHECK_HR(S_OK, comms->get_PortComm(&port));
  CHECK_EQ(0, port);
  CHECK_HR(S_OK, comms->put_PortComm(3));
  CHECK_HR(S_OK, comms->get_PortComm(&port));
  CHECK_EQ(3, port);
  LONG baud = -7;
  CHECK_HR(S_OK, comms->put_BaudComm(115200));
  CHECK_HR(S_OK, comms->get_BaudComm(&baud));
  CHECK_EQ(115200, baud);
  VARIANT_BOOL status = -7;
  CHECK_HR(S_OK, comms->get_StatusComm(&status));
  CHECK_EQ(0, status);
  CHECK_HR(S_OK, comms->get_ReadBuffer(text.out()));
  CHECK_TEXT(L"", text.str());
  LONG speed = 9600;
  CHECK_HR(S_OK, comms->settingeval(&speed, text.out()));
  CHECK_TEXT(L"baud=9600 parity=N data=8 stop=1", text.str());
  LONG code = -7;
  CHECK_HR(S_OK, comms->CommGetError(text.out(), &code));
  CHECK_EQ(0, code);
  CHECK_TEXT(L"Error (0):  - ", text.str());
  // A slot outside 1 to 4 is trapped and recorded, not failed.
  short slot = 5;
  LONG result = 0;
  CHECK_HR(S_OK, comms->CommClose(&slot, &result));
  CHECK_EQ(9, result);
  CHECK_HR(S_OK, comms->CommGetError(text.out(), &code));
  CHECK_EQ(9, code);
  CHECK_TEXT(L"Error (9): CommClose - Subscript out of range", text.str());
  LONG error = 2;
  CHECK_HR(S_OK, comms->GetSystemMessage(&error, text.out()));
  CHECK(!text.str().empty());  // the system's own words (Wine's differ from Windows')
}

void LateBinding() {
  Section("late binding");
  Ref<_comms> comms;
  if (!CreateComms(comms)) return;
  IDispatch* d = comms.p;
  VARIANT result;
  VariantInit(&result);
  CHECK_HR(S_OK, Call(d, L"PortComm", DISPATCH_PROPERTYPUT, {I2(2)}, nullptr));
  CHECK_HR(S_OK, Call(d, L"portcomm", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &result));
  CHECK(result.vt == VT_I2 && result.iVal == 2);
  VariantClear(&result);
  // As a script passes a variable: VT_BYREF|VT_VARIANT, written back.
  VARIANT message;
  VariantInit(&message);
  CHECK_HR(S_OK, Call(d, L"CommGetError", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {ByRef(&message)},
                      &result));
  CHECK(result.vt == VT_I4 && result.lVal == 0);
  CHECK(message.vt == VT_BSTR);
  if (message.vt == VT_BSTR) CHECK_TEXT(L"Error (0):  - ", std::wstring(message.bstrVal));
  VariantClear(&message);
  VariantClear(&result);
  // A literal by value, coerced from text.
  VARIANT speed;
  VariantInit(&speed);
  speed.vt = VT_BSTR;
  speed.bstrVal = SysAllocString(L"4800");
  CHECK_HR(S_OK, Call(d, L"settingeval", DISPATCH_METHOD, {speed}, &result));
  CHECK(result.vt == VT_BSTR);
  if (result.vt == VT_BSTR)
    CHECK_TEXT(L"baud=4800 parity=N data=8 stop=1", std::wstring(result.bstrVal));
  VariantClear(&speed);
  VariantClear(&result);
  // Refusals.
  CHECK_HR(DISP_E_UNKNOWNNAME, Call(d, L"NoSuchMember", DISPATCH_METHOD, {}, &result));
  CHECK_HR(DISP_E_BADPARAMCOUNT, Call(d, L"CommGetError", DISPATCH_METHOD, {}, &result));
  VARIANT bad;
  VariantInit(&bad);
  bad.vt = VT_BSTR;
  bad.bstrVal = SysAllocString(L"not a number");
  CHECK_HR(DISP_E_TYPEMISMATCH, Call(d, L"PortComm", DISPATCH_PROPERTYPUT, {bad}, nullptr));
  VariantClear(&bad);
  CHECK_HR(DISP_E_MEMBERNOTFOUND, Call(d, L"Version", DISPATCH_PROPERTYPUT, {I2(1)}, nullptr));
}

// The host's window messages run inside CommRead, and their handlers may
// call back into the object.
_comms* gPumped = nullptr;
int gHandled = 0;
LRESULT CALLBACK HostWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_USER) return DefWindowProcW(hwnd, message, wParam, lParam);
  ++gHandled;
  short port = -1;
  CHECK_HR(S_OK, gPumped->get_PortComm(&port));
  CHECK_HR(S_OK, gPumped->put_PortComm(static_cast<short>(port + 1)));
  return 0;
}

void MessagesDuringCalls() {
  Section("window messages during CommRead");
  Ref<_comms> comms;
  if (!CreateComms(comms)) return;
  WNDCLASSW wc{};
  wc.lpfnWndProc = HostWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"KavrelHostWindow";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
  CHECK(window != nullptr);
  if (!window) return;
  gPumped = comms.p;
  PostMessageW(window, WM_USER, 0, 0);
  PostMessageW(window, WM_USER, 0, 0);
  short slot = 2;  // never opened: the read fails after the pump ran
  Text data;
  LONG size = 64, result = 0;
  CHECK_HR(S_OK, comms->CommRead(&slot, data.out(), &size, &result));
  CHECK_EQ(-1, result);
  CHECK_EQ(2, gHandled);
  short port = 0;
  CHECK_HR(S_OK, comms->get_PortComm(&port));
  CHECK_EQ(2, port);
  DestroyWindow(window);
}

// --- checks over the pseudo-terminal pair ---

std::wstring PortName(int n) { return L"COM" + std::to_wstring(n); }

// The peer end, opened through a second object's port layer.
struct Peer {
  Ref<_comms> comms;
  short slot = 1;
  bool Open(const std::wstring& name) {
    if (!CreateComms(comms)) return false;
    Text port(name), settings(L"baud=9600 parity=N data=8 stop=1");
    LONG result = -99;
    CHECK_HR(S_OK, comms->CommOpen(&slot, &port.s, &settings.s, &result));
    CHECK_EQ(0, result);
    return result == 0;
  }
  LONG Write(const std::wstring& data) {
    Text text(data);
    LONG result = -99;
    CHECK_HR(S_OK, comms->CommWrite(&slot, &text.s, &result));
    return result;
  }
  // Everything that arrives within the time, in one text.
  std::wstring Read(size_t expected, DWORD ms = 3000) {
    std::wstring all;
    const DWORD start = GetTickCount();
    while (all.size() < expected && GetTickCount() - start < ms) {
      Text text;
      LONG size = 64, result = 0;
      CHECK_HR(S_OK, comms->CommRead(&slot, text.out(), &size, &result));
      if (result < 0) break;
      all += text.str();
      if (result == 0) Sleep(10);
    }
    return all;
  }
  void Close() {
    LONG result = -99;
    CHECK_HR(S_OK, comms->CommClose(&slot, &result));
    CHECK_EQ(0, result);
  }
};

// Every byte value 0-255 as the ANSI code page's text.
std::wstring AllBytesAsText() {
  char bytes[256];
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  wchar_t text[256];
  const int n = MultiByteToWideChar(CP_ACP, 0, bytes, 256, text, 256);
  return std::wstring(text, n > 0 ? static_cast<size_t>(n) : 0);
}

void ConnectionExchange(int slot, const std::wstring& peerName) {
  Section("connection layer over a pseudo-terminal");
  Sink sink;  // outlives the object, which holds it
  Ref<_comms> comms;
  if (!CreateComms(comms)) return;
  Peer peer;
  if (!peer.Open(peerName)) return;
  Advise(comms.p, &sink);

  CHECK_HR(S_OK, comms->put_PortComm(static_cast<short>(slot)));
  CHECK_HR(S_OK, comms->put_BaudComm(9600));
  CHECK_HR(S_OK, comms->OpenComm());
  VARIANT_BOOL status = 0;
  CHECK_HR(S_OK, comms->get_StatusComm(&status));
  CHECK_EQ(VARIANT_TRUE, status);
  Text message;
  LONG code = 0;
  comms->CommGetError(message.out(), &code);
  std::printf("   after OpenComm: %s\n", Narrow(message.str()).c_str());

  // Host to peer, with DataSent.
  Text data(L"Hello, peer");
  CHECK_HR(S_OK, comms->WriteComm(&data.s));
  CHECK_HR(S_OK, comms->get_StatusComm(&status));
  CHECK_EQ(VARIANT_TRUE, status);
  CHECK_EQ(1, sink.events.size());
  if (!sink.events.empty()) {
    CHECK_EQ(KAVREL_DISPID_DATASENT, sink.events[0].first);
    CHECK_TEXT(L"Hello, peer", sink.events[0].second);
  }
  CHECK_TEXT(L"Hello, peer", peer.Read(11));

  // Peer to host: ReadComm asks for 64 and gets what is waiting.
  CHECK_EQ(5, peer.Write(L"12345"));
  Sleep(500);  // through socat and the other pseudo-terminal
  CHECK_HR(S_OK, comms->ReadComm());
  CHECK_HR(S_OK, comms->get_ReadBuffer(data.out()));
  CHECK_TEXT(L"12345", data.str());
  CHECK_HR(S_OK, comms->get_StatusComm(&status));
  CHECK_EQ(VARIANT_TRUE, status);
  // Nothing waiting: ReadBuffer and StatusComm stay.
  CHECK_HR(S_OK, comms->ReadComm());
  CHECK_HR(S_OK, comms->get_ReadBuffer(data.out()));
  CHECK_TEXT(L"12345", data.str());

  // ClearComm drops what is waiting.
  CHECK_EQ(3, peer.Write(L"xyz"));
  Sleep(500);
  CHECK_HR(S_OK, comms->ClearComm());
  CHECK_HR(S_OK, comms->ReadComm());
  CHECK_HR(S_OK, comms->get_ReadBuffer(data.out()));
  CHECK_TEXT(L"12345", data.str());

  // Every byte value crosses unchanged, both ways, as the code page's text.
  const std::wstring all = AllBytesAsText();
  CHECK_EQ(256, all.size());
  CHECK_EQ(256, peer.Write(all));
  Sleep(500);
  CHECK_HR(S_OK, comms->ReadComm());
  CHECK_HR(S_OK, comms->get_ReadBuffer(data.out()));
  CHECK(data.str() == all);
  Text back(all);
  sink.events.clear();
  CHECK_HR(S_OK, comms->WriteComm(&back.s));
  CHECK(back.str() == all);
  CHECK(peer.Read(256) == all);
  CHECK_EQ(1, sink.events.size());
  if (!sink.events.empty()) CHECK(sink.events[0].second == all);

  // A character the code page lacks goes out, and comes back, as '?'.
  Text foreign(L"\x0100z");
  sink.events.clear();
  CHECK_HR(S_OK, comms->WriteComm(&foreign.s));
  CHECK_TEXT(L"?z", foreign.str());
  CHECK_TEXT(L"?z", peer.Read(2));
  CHECK_EQ(1, sink.events.size());
  if (!sink.events.empty()) CHECK_TEXT(L"?z", sink.events[0].second);

  // Late-bound, as a script would: WriteComm with a variable.
  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(L"late");
  VARIANT result;
  VariantInit(&result);
  CHECK_HR(S_OK, Call(comms.p, L"WriteComm", DISPATCH_METHOD, {ByRef(&text)}, &result));
  VariantClear(&text);
  CHECK_TEXT(L"late", peer.Read(4));

  // A slot in use, a device that does not exist.
  short s = static_cast<short>(slot);
  Text port(PortName(slot)), settings(L"baud=9600 parity=N data=8 stop=1");
  LONG r = 0;
  CHECK_HR(S_OK, comms->CommOpen(&s, &port.s, &settings.s, &r));
  CHECK_EQ(-1, r);
  CHECK_HR(S_OK, comms->CommGetError(message.out(), &code));
  CHECK_EQ(-1, code);
  CHECK_TEXT(L"Error (-1): CommOpen - Port in use.", message.str());
  short other = 4;
  Text missing(L"COM9");
  CHECK_HR(S_OK, comms->CommOpen(&other, &missing.s, &settings.s, &r));
  CHECK(r != 0 && r != -1);
  CHECK_HR(S_OK, comms->CommGetError(message.out(), &code));
  CHECK_EQ(r, code);
  CHECK(message.str().find(L"): CommOpen (CreateFile) - ") != std::wstring::npos);
  // A malformed mode string on the open slot: 87, also where the system's
  // BuildCommDCB (Wine's) fails without setting a last error.
  Text broken(L"baud=fast parity=Q");
  CHECK_HR(S_OK, comms->CommSet(&s, &broken.s, &r));
  CHECK_EQ(ERROR_INVALID_PARAMETER, r);
  CHECK_HR(S_OK, comms->CommGetError(message.out(), &code));
  CHECK(message.str().find(L"CommSet (BuildCommDCB)") != std::wstring::npos);

  CHECK_HR(S_OK, comms->CloseComm());
  CHECK_HR(S_OK, comms->CommClose(&s, &r));
  CHECK_EQ(0, r);  // already closed: nothing to do
  peer.Close();
}

_comms* gLoopObject = nullptr;
bool gWatchdogFired = false;
void CALLBACK StopTheLoop(HWND, UINT, UINT_PTR, DWORD) {
  if (gWatchdogFired) return;
  gWatchdogFired = true;
  gLoopObject->CloseComm();
}

// The polling loop needs a thread where no WriteComm, CloseComm or OpenComm
// has run yet; DataArrived reaches the sink, whose handler answers with
// WriteComm, which stops the loop and raises DataSent.
void PollingLoopOnAFreshThread(int slot, const std::wstring& peerName) {
  Section("polling loop and events");
  std::thread([&] {
    CoInitialize(nullptr);
    {
      Sink sink;  // outlives the object, which holds it
      Ref<_comms> comms;
      if (!CreateComms(comms)) {
        CHECK(!"created");
        CoUninitialize();
        return;
      }
      Peer peer;
      if (peer.Open(peerName)) {
        short s = static_cast<short>(slot);
        Text port(PortName(slot)), settings(L"baud=9600 parity=N data=8 stop=1");
        LONG r = -99;
        CHECK_HR(S_OK, comms->CommOpen(&s, &port.s, &settings.s, &r));
        CHECK_EQ(0, r);
        CHECK_HR(S_OK, comms->put_PortComm(s));
        sink.object = comms.p;
        sink.handler = [](Sink* self, DISPID id, const std::wstring&) {
          if (id != KAVREL_DISPID_DATAARRIVED) return;
          Text answer(L"pong");
          CHECK_HR(S_OK, self->object->WriteComm(&answer.s));
        };
        Advise(comms.p, &sink);
        CHECK_EQ(4, peer.Write(L"ping"));
        Sleep(500);
        // Should "ping" never arrive, a timer (dispatched by the loop's own
        // message pump) ends the loop instead of letting it poll for ever.
        gLoopObject = comms.p;
        const UINT_PTR watchdog = SetTimer(nullptr, 0, 10000, StopTheLoop);
        CHECK_HR(S_OK, comms->looprocess());
        KillTimer(nullptr, watchdog);
        CHECK(!gWatchdogFired);
        CHECK_EQ(2, sink.events.size());
        if (sink.events.size() == 2) {
          CHECK_EQ(KAVREL_DISPID_DATAARRIVED, sink.events[0].first);
          CHECK_TEXT(L"ping", sink.events[0].second);
          CHECK_EQ(KAVREL_DISPID_DATASENT, sink.events[1].first);
          CHECK_TEXT(L"pong", sink.events[1].second);
        }
        CHECK_TEXT(L"pong", peer.Read(4));
        CHECK_HR(S_OK, comms->CloseComm());
        peer.Close();
      }
    }
    CoUninitialize();
  }).join();
}

}  // namespace

int main(int argc, char** argv) {
  CoInitialize(nullptr);
  std::printf(
      "Kavrel under %s, %d-bit, ANSI code page %u\n",
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") ? "Wine" : "Windows",
      static_cast<int>(sizeof(void*) * 8), GetACP());
  CreationAndRegistration();
  Resources();
  TypeInformation();
  MembersThroughTheVtable();
  LateBinding();
  MessagesDuringCalls();
  if (argc >= 3) {
    const int slot = std::atoi(argv[1]);
    const std::wstring peer = Widen(argv[2]);
    PollingLoopOnAFreshThread(slot, peer);
    ConnectionExchange(slot, peer);
  }
  CoUninitialize();
  return kavrel_check::Summary();
}
