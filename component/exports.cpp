// The library's exported entry points: the four of an in-process server,
// and on Linux creation by name.
#include "component/class_factory.h"
#include "component/registration.h"
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

// Registration builds paths and entries as it goes; memory running out ends
// it with a status, not an exception.
extern "C" KAVREL_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
  try {
    return kavrel::RegisterServer();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

extern "C" KAVREL_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
  try {
    return kavrel::UnregisterServer();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

#if !defined(_WIN32)
// Creation by name for hosts that cannot use the C++ helper of
// kavrel/kavrel_create.h: what CoCreateInstance does on Windows.
extern "C" KAVREL_EXPORT HRESULT KavrelCreateObject(const char* progIdOrClsid, REFIID riid,
                                                    void** ppv) {
  return kavrel::CreateByName(progIdOrClsid, riid, ppv);
}
#endif
