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

// Registry views: the calling process's own, and each of the two views of a
// 64-bit system by name (a 32-bit system has one view and ignores the flags).
constexpr REGSAM kOwnView = 0;
constexpr REGSAM kBothViews[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

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

bool KeyExists(const std::string& path, REGSAM view) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, Wide(path).c_str(), 0, KEY_QUERY_VALUE | view, &key) !=
      ERROR_SUCCESS)
    return false;
  ::RegCloseKey(key);
  return true;
}

void RemoveValue(const RegistryEntry& entry, REGSAM view) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, Wide(entry.key).c_str(), 0, KEY_SET_VALUE | view, &key) !=
      ERROR_SUCCESS)
    return;
  const std::wstring name = Wide(entry.name);
  ::RegDeleteValueW(key, entry.name.empty() ? nullptr : name.c_str());
  ::RegCloseKey(key);
}

// Deletes the key if nothing (no value, no subkey) is left in it.
void RemoveKeyIfEmpty(const std::string& path, REGSAM view) {
  const std::wstring wide = Wide(path);
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, wide.c_str(), 0, KEY_QUERY_VALUE | view, &key) !=
      ERROR_SUCCESS)
    return;
  DWORD subkeys = 0, values = 0;
  const LONG r = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                    &values, nullptr, nullptr, nullptr, nullptr);
  ::RegCloseKey(key);
  if (r == ERROR_SUCCESS && subkeys == 0 && values == 0)
    ::RegDeleteKeyExW(HKEY_CLASSES_ROOT, wide.c_str(), view, 0);
}

// Removes the entries of the set whose key take() selects: the values first,
// then the keys once empty (a foreign value or subkey keeps a key).
template <typename Pred>
void RemoveEntries(const RegistrationSet& set, REGSAM view, Pred take) {
  for (const RegistryEntry& entry : set.values)
    if (take(entry.key)) RemoveValue(entry, view);
  for (auto key = set.keys.rbegin(); key != set.keys.rend(); ++key)
    if (take(*key)) RemoveKeyIfEmpty(*key, view);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

constexpr bool kIs64Bit = sizeof(void*) == 8;

// The type library's platform key of this library and of the other bitness.
std::string PlatformKey(bool win64) {
  return std::string("TypeLib\\") + KAVREL_LIBID + "\\10.0\\0\\" + (win64 ? "win64" : "win32");
}

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

// On a 64-bit system the 32-bit and the 64-bit library can be registered side
// by side. The class keys sit in each library's own registry view; the type
// library key is shared, and so are the programmatic identifier and the
// interface keys (shared by Windows, or written into both views). So
// unregistering removes the class keys of its own view and its own platform
// entry of the type library, and the shared entries (from both views) only
// when it was registered itself and the other bitness is not.
HRESULT UnregisterServer() {
  const std::string progId = KAVREL_PROGID;
  const auto isProgId = [&](const std::string& key) {
    return key == progId || StartsWith(key, progId + "\\");
  };
  const RegistrationSet classes = ClassRegistration(std::string());
  RemoveEntries(classes, kOwnView, [&](const std::string& key) { return !isProgId(key); });

  const bool registered = KeyExists(PlatformKey(kIs64Bit), kOwnView);
  bool otherRegistered = false;
  for (REGSAM view : kBothViews) otherRegistered |= KeyExists(PlatformKey(!kIs64Bit), view);

  const RegistrationSet library = TypeLibraryRegistration(std::string(), std::string());
  const std::string ownPlatform = PlatformKey(kIs64Bit);
  const std::string platformParent = ownPlatform.substr(0, ownPlatform.rfind('\\'));
  if (registered) {
    RemoveValue({ownPlatform, "", ""}, kOwnView);
    RemoveKeyIfEmpty(ownPlatform, kOwnView);
    RemoveKeyIfEmpty(platformParent, kOwnView);
    if (KeyExists(ownPlatform, kOwnView))
      return Report(SELFREG_E_TYPELIB, u"the type library could not be unregistered");
  }
  if (!registered || otherRegistered) return Report(S_OK, u"");

  for (REGSAM view : kBothViews) RemoveEntries(classes, view, isProgId);
  const auto isInterface = [](const std::string& key) { return StartsWith(key, "Interface\\"); };
  for (REGSAM view : kBothViews) RemoveEntries(library, view, isInterface);
  RemoveEntries(library, kOwnView, [&](const std::string& key) { return !isInterface(key); });
  return Report(S_OK, u"");
}

}  // namespace kavrel
