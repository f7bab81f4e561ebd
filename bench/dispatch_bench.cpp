// Late binding against the direct vtable call of the same member, in paired
// rounds (bench/paired.h): Invoke by member id with typed arguments, Invoke
// as a script host calls it (every argument a variable passed as
// VT_BYREF|VT_VARIANT), and a look-up by name followed by Invoke.
#include <algorithm>
#include <cstdlib>

#include "component/comms_object.h"
#include "paired.h"

namespace {

using namespace kavrel;
using bench::Cost;
using bench::Goal;
using bench::Stopwatch;

constexpr int kCalls = 100000;

_comms* NewObject() {
  void* p = nullptr;
  CommsObject::Create(platform::NativeRuntime(), IID__comms, &p);
  return static_cast<_comms*>(p);
}

template <class Call>
Cost Repeat(int calls, Call&& call) {
  const Stopwatch watch;
  bool failed = false;
  for (int i = 0; i < calls; ++i) failed |= !call();
  Cost cost = watch.Stop();
  cost.failed = failed;
  return cost;
}

VARIANT ScriptVariable(VARIANT& value) {
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &value;
  return ref;
}

// The far end of a null-modem cable, drained by the writing thread itself
// every kDrainEvery bytes (well inside the cable's queue, so no write ever
// waits), and every byte checked. A reader thread would make each write's
// cost depend on whether it happened to wake that thread, which has
// nothing to do with the call being measured.
class Drain {
 public:
  static constexpr size_t kDrainEvery = 2048;

  explicit Drain(char expected) : device_(platform::NativeRuntime().device), expected_(expected) {
    handle_ = device_.CreateFileA("NULLMODEM11B", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, 0);
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};  // take what is there
    device_.SetCommTimeouts(handle_, &t);
  }
  ~Drain() { device_.CloseHandle(handle_); }

  // After a write of `sent` bytes; false once anything read is wrong.
  bool Wrote(size_t sent) {
    pending_ += sent;
    if (pending_ < kDrainEvery) return true;
    char buffer[kDrainEvery + 64];  // a drain follows a write of at most 64
    DWORD n = 0;
    OVERLAPPED o{};
    const bool ok = device_.ReadFile(handle_, buffer, static_cast<DWORD>(pending_), &n, &o) &&
                    n == pending_ &&
                    std::all_of(buffer, buffer + n, [&](char b) { return b == expected_; });
    pending_ = 0;
    return ok;
  }

 private:
  platform::Platform& device_;
  platform::Handle32 handle_;
  char expected_;
  size_t pending_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
  bench::PairedRuns runs(rounds);
  std::printf("Invoke against the vtable call; ratio median [range] of %d paired rounds\n\n",
              rounds);
  _comms* c = NewObject();
  c->put_BaudComm(9600);

  // Property get: by id, and by name (GetIDsOfNames + Invoke) as a script
  // host that does not cache ids calls it.
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  const auto vtableGet = [&] {
    LONG baud = 0;
    return c->get_BaudComm(&baud) == S_OK && baud == 9600;
  };
  runs.Compare(
      "property get by id / vtable", Goal::None, 0, [&] { return Repeat(kCalls, vtableGet); },
      [&] {
        return Repeat(kCalls, [&] {
          VARIANT result;
          VariantInit(&result);
          return c->Invoke(KAVREL_DISPID_BAUDCOMM, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                           &result, nullptr, nullptr) == S_OK &&
                 result.lVal == 9600;
        });
      });
  runs.Compare(
      "GetIDsOfNames + Invoke property get / vtable", Goal::Cost, 2.5,
      [&] { return Repeat(kCalls, vtableGet); },
      [&] {
        return Repeat(kCalls, [&] {
          LPOLESTR names[] = {const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(u"BaudComm"))};
          DISPID id = 0;
          VARIANT result;
          VariantInit(&result);
          return c->GetIDsOfNames(IID_NULL, names, 1, 0, &id) == S_OK &&
                 c->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                           nullptr) == S_OK &&
                 result.lVal == 9600;
        });
      });

  // settingeval(b): typed by-reference, and a script's variable.
  const auto vtableSettingeval = [&] {
    LONG baud = 115200;
    BSTR s = nullptr;
    const bool ok = c->settingeval(&baud, &s) == S_OK && SysStringLen(s) > 0;
    SysFreeString(s);
    return ok;
  };
  LONG typedBaud = 115200;
  VARIANT typedArg;
  VariantInit(&typedArg);
  typedArg.vt = VT_BYREF | VT_I4;
  typedArg.plVal = &typedBaud;
  VARIANT scriptBaud;
  VariantInit(&scriptBaud);
  scriptBaud.vt = VT_I4;
  scriptBaud.lVal = 115200;
  VARIANT scriptArg = ScriptVariable(scriptBaud);
  const auto invokeSettingeval = [&](VARIANT* arg) {
    return [&, arg] {
      DISPPARAMS params{arg, nullptr, 1, 0};
      VARIANT result;
      VariantInit(&result);
      const bool ok = c->Invoke(KAVREL_DISPID_SETTINGEVAL, IID_NULL, 0, DISPATCH_METHOD, &params,
                                &result, nullptr, nullptr) == S_OK &&
                      result.vt == VT_BSTR;
      VariantClear(&result);
      return ok;
    };
  };
  runs.Compare(
      "settingeval, VT_BYREF|VT_I4 / vtable", Goal::None, 0,
      [&] { return Repeat(kCalls, vtableSettingeval); },
      [&] { return Repeat(kCalls, invokeSettingeval(&typedArg)); });
  runs.Compare(
      "settingeval, script variable / vtable", Goal::Cost, 1.3,
      [&] { return Repeat(kCalls, vtableSettingeval); },
      [&] { return Repeat(kCalls, invokeSettingeval(&scriptArg)); });

  // CommWrite of 64 bytes on a null-modem whose far end is read: through the
  // vtable, and with both arguments script variables.
  {
    Drain drain('k');
    BSTR port = SysAllocString(reinterpret_cast<const OLECHAR*>(u"NULLMODEM11A"));
    BSTR mode =
        SysAllocString(reinterpret_cast<const OLECHAR*>(u"baud=115200 parity=N data=8 stop=1"));
    short slot = 1;
    LONG opened = -1;
    c->CommOpen(&slot, &port, &mode, &opened);
    SysFreeString(port);
    SysFreeString(mode);
    const std::u16string text(64, u'k');
    BSTR typedText = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), 64);
    VARIANT scriptSlot, scriptText;
    VariantInit(&scriptSlot);
    scriptSlot.vt = VT_I2;
    scriptSlot.iVal = 1;
    VariantInit(&scriptText);
    scriptText.vt = VT_BSTR;
    scriptText.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), 64);
    VARIANT args[2] = {ScriptVariable(scriptText), ScriptVariable(scriptSlot)};
    constexpr int kWrites = 20000;
    if (opened == 0) {
      runs.Compare(
          "CommWrite 64 bytes, script variables / vtable", Goal::Cost, 1.3,
          [&] {
            return Repeat(kWrites, [&] {
              short s = 1;
              LONG n = 0;
              return c->CommWrite(&s, &typedText, &n) == S_OK && n == 64 && drain.Wrote(64);
            });
          },
          [&] {
            return Repeat(kWrites, [&] {
              DISPPARAMS params{args, nullptr, 2, 0};
              VARIANT result;
              VariantInit(&result);
              return c->Invoke(KAVREL_DISPID_COMMWRITE, IID_NULL, 0, DISPATCH_METHOD, &params,
                               &result, nullptr, nullptr) == S_OK &&
                     result.lVal == 64 && drain.Wrote(64);
            });
          });
    } else {
      std::printf("CommWrite: the null-modem did not open (%ld)\n", static_cast<long>(opened));
    }
    c->CommClose(&slot, &opened);
    SysFreeString(typedText);
    VariantClear(&scriptText);
  }
  c->Release();
  return runs.Finish();
}
