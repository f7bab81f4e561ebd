// libFuzzer target for late binding: a hostile host's IDispatch::Invoke on a
// comms object over the real Linux platform, with arbitrary member ids,
// flags, argument counts, named arguments and variant types, by value and by
// reference, including VT_BYREF|VT_VARIANT chains that lead to another
// argument, to themselves or round in a cycle. Nothing may crash, hang, leak
// or read what it was not given.
//
// Devices: only the built-in null-modem opens (COM1..COM9 are mapped onto
// it); every other name is refused here, before the device layer sees it.
// Waits and time-outs are cut short, and the polling loop stops after one
// pass, so that each input runs in milliseconds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "component/comms_object.h"
#include "component/member_table.h"
#include "platform/posix/device_ops.h"
#include "platform/posix/null_modem.h"
#include "platform/posix/port_names.h"

namespace {

using namespace kavrel;
using platform::Handle32;

// The Linux device layer with the null-modem as the only device, no sleeps
// and no waiting transfers.
class NullModemOnly final : public platform::DeviceOps {
 public:
  Handle32 CreateFileA(LPCSTR name, DWORD access, DWORD share, void* security, DWORD disposition,
                       DWORD flags, Handle32 templateFile) override {
    if (name && platform::posix::ParseNullModemName(platform::posix::ResolveDeviceName(name)))
      return ops_.CreateFileA(name, access, share, security, disposition, flags, templateFile);
    refused_ = true;
    return platform::kInvalidHandle;
  }
  BOOL SetupComm(Handle32 f, DWORD in, DWORD out) override { return ops_.SetupComm(f, in, out); }
  BOOL PurgeComm(Handle32 f, DWORD flags) override { return ops_.PurgeComm(f, flags); }
  BOOL SetCommTimeouts(Handle32 f, COMMTIMEOUTS* t) override {
    if (!t) return ops_.SetCommTimeouts(f, t);
    COMMTIMEOUTS prompt{MAXDWORD, 0, 0, 0, 1};  // reads return at once, writes within 1 ms
    return ops_.SetCommTimeouts(f, &prompt);
  }
  BOOL GetCommState(Handle32 f, DCB* d) override { return ops_.GetCommState(f, d); }
  BOOL BuildCommDCBA(LPCSTR def, DCB* d) override { return ops_.BuildCommDCBA(def, d); }
  BOOL SetCommState(Handle32 f, DCB* d) override { return ops_.SetCommState(f, d); }
  BOOL CloseHandle(Handle32 h) override { return ops_.CloseHandle(h); }
  BOOL ClearCommError(Handle32 f, DWORD* e, COMSTAT* s) override {
    return ops_.ClearCommError(f, e, s);
  }
  BOOL ReadFile(Handle32 f, void* b, DWORD n, DWORD* got, OVERLAPPED* o) override {
    return ops_.ReadFile(f, b, n, got, o);
  }
  BOOL WriteFile(Handle32 f, const void* b, DWORD n, DWORD* put, OVERLAPPED* o) override {
    return ops_.WriteFile(f, b, n, put, o);
  }
  BOOL GetOverlappedResult(Handle32 f, OVERLAPPED* o, DWORD* n, BOOL wait) override {
    return ops_.GetOverlappedResult(f, o, n, wait);
  }
  DWORD GetLastError() override { return refused_ ? (refused_ = false, 2u) : ops_.GetLastError(); }
  BOOL GetCommModemStatus(Handle32 f, DWORD* s) override { return ops_.GetCommModemStatus(f, s); }
  BOOL EscapeCommFunction(Handle32 f, DWORD code) override {
    return ops_.EscapeCommFunction(f, code);
  }
  DWORD FormatMessageA(DWORD flags, const void* source, DWORD id, DWORD language, LPSTR buffer,
                       DWORD size, va_list* args) override {
    return ops_.FormatMessageA(flags, source, id, language, buffer, size, args);
  }
  DWORD SleepEx(DWORD, BOOL) override { return 0; }

 private:
  platform::posix::TtyDeviceOps ops_;
  bool refused_ = false;
};

// One pass of any polling loop: the pump asks every loop to stop.
class StopAfterOnePass final : public platform::MessagePump {
 public:
  void Pump() override { CurrentThreadState().intLoopState = 4; }
};

// An object a host passes as an argument: it has no members.
class Stranger final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
};

platform::Runtime& FuzzRuntime() {
  static NullModemOnly ops;
  static platform::Platform device(ops);
  static StopAfterOnePass pump;
  static platform::Runtime runtime{device, pump, platform::NativeRuntime().text,
                                   platform::NativeRuntime().errors};
  return runtime;
}

const char16_t* const kTexts[] = {
    u"NULLMODEM0A",
    u"NULLMODEM0B",
    u"NULLMODEM63A:PACED",
    u"COM1",
    u"COM2",
    u"\\\\.\\COM3",
    u"baud=9600 parity=N data=8 stop=1",
    u"9600,n,8,1,x",
    u"baud=110",
    u"",
    u"12",
    u"-1",
    u"32768",
    u"1e300",
    u"&H7FFF",
    u"True",
    u"/dev/null",
    u"rfc2217://127.0.0.1:1",
};

// Everything one call's arguments point at, freed after the call.
struct Arguments {
  static constexpr int kMax = 6;
  VARIANT args[kMax];
  VARIANT pool[kMax];  // targets of VT_BYREF|VT_VARIANT
  union Cell {
    SHORT i2;
    LONG i4;
    FLOAT r4;
    DOUBLE r8;
    CY cy;
    VARIANT_BOOL b;
    BSTR text;
    IDispatch* object;
    DECIMAL dec;
    unsigned char raw[32];
  } cells[2 * kMax];
  bool cellHasText[2 * kMax] = {};
  DISPID named[kMax];

  Arguments() {
    for (auto& v : args) VariantInit(&v);
    for (auto& v : pool) VariantInit(&v);
    std::memset(cells, 0, sizeof cells);
  }
  ~Arguments() {
    for (auto& v : args) VariantClear(&v);
    for (auto& v : pool) VariantClear(&v);
    for (int i = 0; i < 2 * kMax; ++i)
      if (cellHasText[i]) SysFreeString(cells[i].text);
  }
};

BSTR Text(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) {
    const char16_t* t = kTexts[in.ConsumeIntegralInRange<size_t>(0, std::size(kTexts) - 1)];
    return SysAllocString(reinterpret_cast<const OLECHAR*>(t));
  }
  const std::string bytes = in.ConsumeRandomLengthString(64);
  std::u16string wide;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                         (static_cast<uint8_t>(bytes[i + 1]) << 8)));
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                           static_cast<UINT>(wide.size()));
}

const VARTYPE kScalarTypes[] = {VT_EMPTY, VT_NULL, VT_I2,       VT_I4,     VT_R4,    VT_R8,
                                VT_CY,    VT_DATE, VT_BSTR,     VT_BOOL,   VT_ERROR, VT_DECIMAL,
                                VT_I1,    VT_UI1,  VT_UI2,      VT_UI4,    VT_I8,    VT_UI8,
                                VT_INT,   VT_UINT, VT_DISPATCH, VT_UNKNOWN};

Stranger gStranger;

// A value of type vt (not by reference) into v.
void FillValue(FuzzedDataProvider& in, VARTYPE vt, VARIANT& v) {
  VariantInit(&v);
  switch (vt) {
    case VT_BSTR:
      v.bstrVal = Text(in);
      break;
    case VT_DECIMAL:
      v.decVal.scale = in.ConsumeIntegral<uint8_t>();
      v.decVal.sign = in.ConsumeIntegral<uint8_t>();
      v.decVal.Hi32 = in.ConsumeIntegral<uint32_t>();
      v.decVal.Lo64 = in.ConsumeIntegral<uint64_t>();
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      v.pdispVal = in.ConsumeBool() ? &gStranger : nullptr;
      break;
    case VT_R4:
      v.fltVal = in.ConsumeFloatingPoint<float>();
      break;
    case VT_R8:
    case VT_DATE:
      v.dblVal = in.ConsumeFloatingPoint<double>();
      break;
    default:
      v.llVal = in.ConsumeIntegral<int64_t>();
      break;
  }
  v.vt = vt;
}

// One argument: by value, by reference to a typed cell, or a variable
// (VT_BYREF|VT_VARIANT) that leads to a value, to another argument, to
// itself, or to a variable that leads back.
void FillArgument(FuzzedDataProvider& in, Arguments& a, int i, int count) {
  VARIANT& v = a.args[i];
  const int shape = in.ConsumeIntegralInRange(0, 9);
  const VARTYPE vt =
      kScalarTypes[in.ConsumeIntegralInRange<size_t>(0, std::size(kScalarTypes) - 1)];
  if (shape <= 3) {
    FillValue(in, vt, v);
  } else if (shape <= 5) {  // VT_BYREF|type to a cell of the test's own
    if (vt == VT_EMPTY || vt == VT_NULL) return FillValue(in, vt, v);
    auto& cell = a.cells[i];
    VARIANT value;
    FillValue(in, vt, value);
    if (vt == VT_DECIMAL) {
      cell.dec = value.decVal;
      cell.dec.wReserved = 0;
    } else {
      std::memcpy(&cell, &value.llVal, sizeof(LONGLONG));
    }
    if (vt == VT_BSTR) a.cellHasText[i] = true;
    v.vt = static_cast<VARTYPE>(VT_BYREF | vt);
    v.byref = &cell;
  } else if (shape <= 7) {  // a variable holding a value (or a typed reference)
    FillValue(in, vt, a.pool[i]);
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = &a.pool[i];
  } else if (shape == 8) {  // a variable that is another argument, or itself
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = &a.args[in.ConsumeIntegralInRange(0, count - 1)];
  } else {  // a variable whose target is a variable leading back here
    a.pool[i].vt = VT_BYREF | VT_VARIANT;
    a.pool[i].pvarVal = in.ConsumeBool() ? &v : &a.pool[i];
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = &a.pool[i];
  }
}

DISPID MemberId(FuzzedDataProvider& in) {
  const auto table = MemberTable();
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
      return in.ConsumeIntegral<DISPID>();
    case 1:
      return in.PickValueInArray({DISPID_VALUE, DISPID_UNKNOWN, DISPID_PROPERTYPUT,
                                  static_cast<DISPID>(0x60030010),
                                  static_cast<DISPID>(0x60030011)});
    default:
      return table[in.ConsumeIntegralInRange<size_t>(0, table.size() - 1)].id;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("KAVREL_REGISTRY", "/nonexistent/kavrel-fuzz.reg", 1);
  for (int n = 1; n <= 9; ++n) {
    const std::string name = "KAVREL_COM" + std::to_string(n);
    const std::string end = "NULLMODEM" + std::to_string(40 + n / 2) + (n % 2 ? "A" : "B");
    ::setenv(name.c_str(), end.c_str(), 1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  void* p = nullptr;
  if (FAILED(CommsObject::Create(FuzzRuntime(), IID__comms, &p))) std::abort();
  _comms* comms = static_cast<_comms*>(p);
  CurrentThreadState().intLoopState = 0;

  for (int call = 0; call < 8 && in.remaining_bytes() > 0; ++call) {
    Arguments a;
    const DISPID id = MemberId(in);
    const WORD flags =
        in.ConsumeBool()
            ? in.PickValueInArray<WORD>({DISPATCH_METHOD, DISPATCH_PROPERTYGET,
                                         DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                         DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF})
            : in.ConsumeIntegral<WORD>();
    const int count = in.ConsumeIntegralInRange(0, Arguments::kMax);
    for (int i = 0; i < count; ++i) FillArgument(in, a, i, count);
    const int namedCount = count ? in.ConsumeIntegralInRange(0, count > 1 ? 2 : 1) : 0;
    for (int i = 0; i < namedCount; ++i)
      a.named[i] = in.ConsumeBool() ? DISPID_PROPERTYPUT : in.ConsumeIntegral<DISPID>();
    DISPPARAMS params{count ? a.args : nullptr, namedCount ? a.named : nullptr,
                      static_cast<UINT>(count), static_cast<UINT>(namedCount)};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep{};
    UINT argErr = 0xFFFF;
    const HRESULT hr =
        comms->Invoke(id, IID_NULL, 0, flags, &params, in.ConsumeBool() ? &result : nullptr,
                      in.ConsumeBool() ? &excep : nullptr, &argErr);
    // A refused argument is named by its position.
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_BADVARTYPE) && argErr != 0xFFFF &&
        argErr >= static_cast<UINT>(count))
      std::abort();
    if (result.vt == VT_BSTR) (void)SysStringLen(result.bstrVal);
    VariantClear(&result);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
  for (short slot = 1; slot <= 4; ++slot) {
    LONG closed = 0;
    comms->CommClose(&slot, &closed);
  }
  comms->Release();
  return 0;
}
