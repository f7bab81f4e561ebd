#include "component/class_factory.h"

#include <atomic>
#include <new>

#include "component/comms_object.h"

namespace kavrel {

namespace {

std::atomic<LONG> gLocks{0};
std::atomic<LONG> gModuleObjects{0};

class CommsFactory final : public IClassFactory {
 public:
  explicit CommsFactory(platform::Runtime& runtime) : runtime_(runtime) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CommsObject::Create(runtime_, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      ++gLocks;
    else if (gLocks.load() > 0)
      --gLocks;
    return S_OK;
  }

 private:
  ~CommsFactory() = default;
  std::atomic<ULONG> refs_{1};
  platform::Runtime& runtime_;
};

}  // namespace

ModuleObject::ModuleObject() { ++gModuleObjects; }
ModuleObject::~ModuleObject() { --gModuleObjects; }

HRESULT GetClassObject(platform::Runtime& runtime, REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_comms) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) CommsFactory(runtime);
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

HRESULT CanUnloadNow() {
  return (CommsObject::LiveObjects() == 0 && gModuleObjects.load() == 0 && gLocks.load() == 0)
             ? S_OK
             : S_FALSE;
}

}  // namespace kavrel
