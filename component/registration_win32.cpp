// Registration in the Windows registry. The type library and its interfaces
// are registered by oleaut32 from the library's own TYPELIB resource; the
// class and its programmatic identifier are written here.
#include "component/registration.h"
#include "platform/platform.h"
#include "platform/win32/module.h"

namespace kavrel {

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

HRESULT Report(HRESULT hr, const std::u16string& what) {
  auto& errors = platform::NativeRuntime().errors;
  if (SUCCEEDED(hr)) {
    errors.Clear();
  } else {
    errors.Set(IID_NULL, u"Kavrel", what);
  }
  return hr;
}

LONG CreateKey(const std::string& path) {
  HKEY key = nullptr;
  const LONG r = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, Wide(path).c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
  if (r == ERROR_SUCCESS) ::RegCloseKey(key);
  return r;
}

LONG SetValue(const RegistryEntry& entry) {
  HKEY key = nullptr;
  LONG r = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, Wide(entry.key).c_str(), 0, nullptr, 0,
                             KEY_SET_VALUE, nullptr, &key, nullptr);
  if (r != ERROR_SUCCESS) return r;
  const std::wstring name = Wide(entry.name);
  const std::wstring value = Wide(entry.value);
  r = ::RegSetValueExW(key, entry.name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
  return r;
}

void RemoveValue(const RegistryEntry& entry) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, Wide(entry.key).c_str(), 0, KEY_SET_VALUE, &key) !=
      ERROR_SUCCESS)
    return;
  const std::wstring name = Wide(entry.name);
  ::RegDeleteValueW(key, entry.name.empty() ? nullptr : name.c_str());
  ::RegCloseKey(key);
}

// Deletes the key if nothing (no value, no subkey) is left in it.
void RemoveKeyIfEmpty(const std::string& path) {
  const std::wstring wide = Wide(path);
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, wide.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return;
  DWORD subkeys = 0, values = 0;
  const LONG r = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                    &values, nullptr, nullptr, nullptr, nullptr);
  ::RegCloseKey(key);
  if (r == ERROR_SUCCESS && subkeys == 0 && values == 0)
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, wide.c_str());
}

constexpr SYSKIND kSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

}  // namespace

HRESULT RegisterServer() {
  const std::wstring path = platform::win32::ThisModulePath();
  if (path.empty()) return Report(SELFREG_E_CLASS, u"the library's path is unknown");
  std::wstring helpDir = path.substr(0, path.find_last_of(L"\\/") + 1);

  ITypeLib* library = nullptr;
  HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
  if (SUCCEEDED(hr)) {
    hr = ::RegisterTypeLib(library, const_cast<LPOLESTR>(path.c_str()),
                           helpDir.empty() ? nullptr : helpDir.data());
    library->Release();
  }
  if (FAILED(hr)) return Report(SELFREG_E_TYPELIB, u"the type library could not be registered");

  const RegistrationSet set = ClassRegistration(Utf8(path));
  for (const std::string& key : set.keys)
    if (CreateKey(key) != ERROR_SUCCESS)
      return Report(SELFREG_E_CLASS, u"the class could not be registered");
  for (const RegistryEntry& entry : set.values)
    if (SetValue(entry) != ERROR_SUCCESS)
      return Report(SELFREG_E_CLASS, u"the class could not be registered");
  return Report(S_OK, u"");
}

HRESULT UnregisterServer() {
  const RegistrationSet set = ClassRegistration(std::string());
  for (const RegistryEntry& entry : set.values) RemoveValue(entry);
  for (auto key = set.keys.rbegin(); key != set.keys.rend(); ++key) RemoveKeyIfEmpty(*key);

  // A type library that is not registered (any more) is no failure.
  HKEY key = nullptr;
  const std::wstring libKey = Wide(std::string("TypeLib\\") + KAVREL_LIBID + "\\10.0");
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, libKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return Report(S_OK, u"");
  ::RegCloseKey(key);
  const HRESULT hr = ::UnRegisterTypeLib(LIBID_Kavrel, 16, 0, LOCALE_NEUTRAL, kSysKind);
  if (FAILED(hr)) return Report(SELFREG_E_TYPELIB, u"the type library could not be unregistered");
  // The version key outlives its last platform entry when other entries
  // (FLAGS, HELPDIR) are all that is left of this registration.
  return Report(S_OK, u"");
}

}  // namespace kavrel
