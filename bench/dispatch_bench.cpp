// Late-bound calls through IDispatch::Invoke by member id against the direct
// vtable call of the same member, and name look-up across the member table.
#include "component/comms_object.h"
#include "ratio_reporter.h"

namespace {

using namespace kavrel;

_comms* NewObject() {
  void* p = nullptr;
  CommsObject::Create(platform::NativeRuntime(), IID__comms, &p);
  return static_cast<_comms*>(p);
}

void PropertyGet_baseline(benchmark::State& state) {
  _comms* c = NewObject();
  c->put_BaudComm(9600);
  LONG baud = 0;
  for (auto _ : state) {
    c->get_BaudComm(&baud);
    benchmark::DoNotOptimize(baud);
  }
  c->Release();
}

void PropertyGet_kavrel(benchmark::State& state) {
  _comms* c = NewObject();
  c->put_BaudComm(9600);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  for (auto _ : state) {
    c->Invoke(KAVREL_DISPID_BAUDCOMM, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr,
              nullptr);
    benchmark::DoNotOptimize(result.lVal);
  }
  c->Release();
}

void Settingeval_baseline(benchmark::State& state) {
  _comms* c = NewObject();
  LONG baud = 115200;
  for (auto _ : state) {
    BSTR s = nullptr;
    c->settingeval(&baud, &s);
    benchmark::DoNotOptimize(s);
    SysFreeString(s);
  }
  c->Release();
}

void Settingeval_kavrel(benchmark::State& state) {
  _comms* c = NewObject();
  LONG baud = 115200;
  VARIANT arg;
  VariantInit(&arg);
  arg.vt = VT_BYREF | VT_I4;
  arg.plVal = &baud;
  DISPPARAMS params{&arg, nullptr, 1, 0};
  for (auto _ : state) {
    VARIANT result;
    VariantInit(&result);
    c->Invoke(KAVREL_DISPID_SETTINGEVAL, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr,
              nullptr);
    benchmark::DoNotOptimize(result.bstrVal);
    VariantClear(&result);
  }
  c->Release();
}

// Look-up of the first and the last member's name: the same cost.
void NameLookup(benchmark::State& state, const char16_t* name) {
  _comms* c = NewObject();
  LPOLESTR names[] = {const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(name))};
  DISPID id = 0;
  for (auto _ : state) {
    c->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    benchmark::DoNotOptimize(id);
  }
  c->Release();
}
void NameLookupFirst_baseline(benchmark::State& state) { NameLookup(state, u"Version"); }
void NameLookupFirst_kavrel(benchmark::State& state) { NameLookup(state, u"looprocess"); }

BENCHMARK(PropertyGet_baseline)->Name("PropertyGet/baseline");
BENCHMARK(PropertyGet_kavrel)->Name("PropertyGet/kavrel");
BENCHMARK(Settingeval_baseline)->Name("settingeval/baseline");
BENCHMARK(Settingeval_kavrel)->Name("settingeval/kavrel");
BENCHMARK(NameLookupFirst_baseline)->Name("GetIDsOfNames first vs last member/baseline");
BENCHMARK(NameLookupFirst_kavrel)->Name("GetIDsOfNames first vs last member/kavrel");

}  // namespace

int main(int argc, char** argv) { return kavrel::bench::RunWithRatios(argc, argv); }
