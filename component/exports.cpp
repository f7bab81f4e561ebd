// The library's exported entry points.
#include "component/class_factory.h"
#include "kavrel/kavrel.h"

#if defined(_WIN32)
#define KAVREL_EXPORT
#else
#define KAVREL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" KAVREL_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid,
                                                                  void** ppv) {
  return kavrel::GetClassObject(kavrel::platform::NativeRuntime(), rclsid, riid, ppv);
}

extern "C" KAVREL_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() { return kavrel::CanUnloadNow(); }
