/*
 * Kavrel - creating the object by name on Linux (C and C++).
 *
 * What CoCreateInstance does for a Windows host: resolve a programmatic
 * identifier ("Kavrel.comms") or a class identifier in braces through the
 * registry file (kavrel/registry.h), load the library registered as the
 * class's in-process server and create the object through that library's
 * class factory.
 *
 * From C (or C++), with libkavrel linked (-lkavrel):
 *
 *   _comms* comms = NULL;
 *   HRESULT hr = KavrelCreateObject("Kavrel.comms", &IID__comms, (void**)&comms);
 *
 * the reason for a failure is left as the thread's error information
 * (GetErrorInfo). From C++17 on also header-only, without linking libkavrel:
 *
 *   _comms* comms = nullptr;
 *   std::string why;
 *   HRESULT hr = kavrel::CreateObject("Kavrel.comms", IID__comms,
 *                                     reinterpret_cast<void**>(&comms), &why);
 *
 * The library stays loaded for the rest of the process. The library path
 * must be absolute and name a regular file that not every user may write.
 * Failures return the HRESULT Windows gives for the case.
 */
#ifndef KAVREL_KAVREL_CREATE_H
#define KAVREL_KAVREL_CREATE_H

#if defined(_WIN32)
#error "On Windows create the object with CoCreateInstance or CreateObject."
#endif

#include "kavrel/kavrel.h"

KAVREL_EXTERN_C HRESULT KavrelCreateObject(const char* progIdOrClsid, REFIID riid, void** ppv);

/* The header-only creation reads the registry file with kavrel/registry.h,
 * which needs C++17; older C++ hosts get KavrelCreateObject alone. */
#if defined(__cplusplus) && __cplusplus >= 201703L

#include <dlfcn.h>
#include <sys/stat.h>

#include <string>
#include <string_view>

#include "kavrel/registry.h"

namespace kavrel {

inline constexpr HRESULT kClassNotRegistered =
    static_cast<HRESULT>(0x80040154u);  // REGDB_E_CLASSNOTREG
inline constexpr HRESULT kInvalidClassString =
    static_cast<HRESULT>(0x800401F3u);                                           // CO_E_CLASSSTRING
inline constexpr HRESULT kServerNotFound = static_cast<HRESULT>(0x800401F8u);    // CO_E_DLLNOTFOUND
inline constexpr HRESULT kErrorInServer = static_cast<HRESULT>(0x800401F9u);     // CO_E_ERRORINDLL
inline constexpr HRESULT kRegistryUnusable = static_cast<HRESULT>(0x800703F1u);  // ERROR_BADDB

namespace detail {

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
inline bool ParseGuid(std::string_view text, GUID* guid) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  unsigned char bytes[16];
  size_t n = 0;
  for (size_t i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[n++] = static_cast<unsigned char>(hi * 16 + lo);
    i += 2;
  }
  guid->Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                (uint32_t{bytes[2]} << 8) | bytes[3];
  guid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = bytes[8 + i];
  return true;
}

inline HRESULT Refuse(HRESULT hr, std::string* reason, const std::string& why) {
  if (reason) *reason = why;
  return hr;
}

}  // namespace detail

inline HRESULT CreateObject(const char* progIdOrClsid, REFIID riid, void** ppv,
                            std::string* reason = nullptr) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!progIdOrClsid || !*progIdOrClsid)
    return detail::Refuse(kInvalidClassString, reason, "no class name");
  const std::string name = progIdOrClsid;

  const std::string path = registry::FilePath();
  if (path.empty())
    return detail::Refuse(kClassNotRegistered, reason,
                          "no registry file: set KAVREL_REGISTRY, XDG_DATA_HOME or HOME");
  std::shared_ptr<const registry::Document> doc;
  std::string why;
  switch (registry::LoadShared(path, &doc, &why)) {
    case registry::LoadResult::Missing:
      return detail::Refuse(kClassNotRegistered, reason, path + ": no registry file");
    case registry::LoadResult::Refused:
    case registry::LoadResult::IoFailed:
      return detail::Refuse(kRegistryUnusable, reason, why);
    case registry::LoadResult::Loaded:
      break;
  }

  std::string clsidText = name;
  if (name[0] != '{') {
    const std::string* mapped = doc->FindString("HKEY_CLASSES_ROOT\\" + name + "\\CLSID", "");
    if (!mapped) return detail::Refuse(kInvalidClassString, reason, name + " is not registered");
    clsidText = *mapped;
  }
  GUID clsid{};
  if (!detail::ParseGuid(clsidText, &clsid))
    return detail::Refuse(kInvalidClassString, reason, clsidText + " is not a class identifier");

  const std::string* library =
      doc->FindString("HKEY_CLASSES_ROOT\\CLSID\\" + clsidText + "\\InprocServer32", "");
  if (!library)
    return detail::Refuse(kClassNotRegistered, reason,
                          clsidText + " has no in-process server registered");
  if (library->empty() || (*library)[0] != '/')
    return detail::Refuse(kServerNotFound, reason, "server path is not absolute: " + *library);
  struct stat st {};
  if (::stat(library->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return detail::Refuse(kServerNotFound, reason, *library + ": no such library");
  if (st.st_mode & S_IWOTH)
    return detail::Refuse(E_ACCESSDENIED, reason,
                          *library + ": writable by every user; refusing to load it");

  void* module = ::dlopen(library->c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* err = ::dlerror();
    return detail::Refuse(kServerNotFound, reason, err ? err : *library);
  }
  using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(::dlsym(module, "DllGetClassObject"));
  if (!getClassObject)
    return detail::Refuse(kErrorInServer, reason, *library + ": no DllGetClassObject");

  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr) || !factory)
    return detail::Refuse(FAILED(hr) ? hr : E_UNEXPECTED, reason,
                          *library + ": no class factory for " + clsidText);
  hr = factory->CreateInstance(nullptr, riid, ppv);
  factory->Release();
  if (FAILED(hr)) return detail::Refuse(hr, reason, "the class factory refused to create it");
  return S_OK;
}

}  // namespace kavrel

#endif /* C++17 */

#endif /* KAVREL_KAVREL_CREATE_H */
