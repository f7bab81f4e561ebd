#include "component/registration.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "component/registry_file.h"
#include "kavrel/kavrel_create.h"
#include "platform/platform.h"
#endif

namespace kavrel {

namespace {

// The automation marshalers: for dual and automation-compatible interfaces,
// and for dispatch-only interfaces.
constexpr const char* kOleAutomationMarshaler = "{00020424-0000-0000-C000-000000000046}";
constexpr const char* kDispatchMarshaler = "{00020420-0000-0000-C000-000000000046}";
// Type library version 16.0, in the registry's hexadecimal form.
constexpr const char* kTypeLibVersionKey = "10.0";

}  // namespace

RegistrationSet ClassRegistration(const std::string& libraryPath) {
  const std::string progId = KAVREL_PROGID;
  const std::string clsidKey = std::string("CLSID\\") + KAVREL_CLSID_COMMS;
  RegistrationSet set;
  set.keys = {
      progId,
      progId + "\\CLSID",
      clsidKey,
      clsidKey + "\\InprocServer32",
      clsidKey + "\\ProgID",
      clsidKey + "\\Programmable",
      clsidKey + "\\TypeLib",
      clsidKey + "\\VERSION",
  };
  set.values = {
      {progId + "\\CLSID", "", KAVREL_CLSID_COMMS},
      {clsidKey + "\\InprocServer32", "", libraryPath},
      {clsidKey + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {clsidKey + "\\ProgID", "", progId},
      {clsidKey + "\\TypeLib", "", KAVREL_LIBID},
      {clsidKey + "\\VERSION", "", "16.0"},
  };
  return set;
}

RegistrationSet TypeLibraryRegistration(const std::string& libraryPath,
                                        const std::string& helpDir) {
  const std::string lib = std::string("TypeLib\\") + KAVREL_LIBID;
  const std::string version = lib + "\\" + kTypeLibVersionKey;
  const std::string platformKey = version + (sizeof(void*) == 8 ? "\\0\\win64" : "\\0\\win32");
  RegistrationSet set;
  set.keys = {
      lib, version, version + "\\0", platformKey, version + "\\FLAGS", version + "\\HELPDIR"};
  set.values = {
      {version, "", "Kavrel"},
      {platformKey, "", libraryPath},
      {version + "\\FLAGS", "", "8"},  // LIBFLAG_FHASDISKIMAGE, as registered on Windows
      {version + "\\HELPDIR", "", helpDir},
  };
  struct Interface {
    const char* iid;
    const char* name;
    const char* marshaler;
  };
  for (const Interface& i : {Interface{KAVREL_IID_COMMS, "_comms", kOleAutomationMarshaler},
                             Interface{KAVREL_DIID_COMMS_EVENTS, "__comms", kDispatchMarshaler}}) {
    const std::string key = std::string("Interface\\") + i.iid;
    set.keys.insert(set.keys.end(),
                    {key, key + "\\ProxyStubClsid", key + "\\ProxyStubClsid32", key + "\\TypeLib"});
    set.values.insert(set.values.end(), {
                                            {key, "", i.name},
                                            {key + "\\ProxyStubClsid", "", i.marshaler},
                                            {key + "\\ProxyStubClsid32", "", i.marshaler},
                                            {key + "\\TypeLib", "", KAVREL_LIBID},
                                            {key + "\\TypeLib", "Version", kTypeLibVersionKey},
                                        });
  }
  return set;
}

#if !defined(_WIN32)

namespace {

constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT\\";

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<RegistrationSet> AllSets(const std::string& libraryPath) {
  return {ClassRegistration(libraryPath),
          TypeLibraryRegistration(libraryPath, DirectoryOf(libraryPath))};
}

HRESULT FromUpdate(registry::UpdateResult result) {
  switch (result) {
    case registry::UpdateResult::Written:
    case registry::UpdateResult::Unchanged:
      return S_OK;
    case registry::UpdateResult::Malformed:
      return kRegistryFileMalformed;
    case registry::UpdateResult::IoError:
      return kRegistryFileIoError;
  }
  return kRegistryFileIoError;
}

// UTF-8 (file names, reasons) to UTF-16 for the error information; a byte
// that is not part of valid UTF-8 becomes U+FFFD.
std::u16string Widen(std::string_view text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    uint32_t cp = lead, least = 0;
    if (lead >= 0x80) {
      if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, least = 0x80;
      } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, least = 0x800;
      } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, least = 0x10000;
      } else {
        extra = SIZE_MAX;
      }
    }
    bool ok = extra != SIZE_MAX && text.size() - i > extra;
    for (size_t k = 1; ok && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!ok || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
      out.push_back(u'\xFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

// The absolute path of the library this code is part of. Where the
// library's SONAME link beside it leads to this very file, the link is
// recorded: an update of the library replaces the versioned file behind it,
// and a registration of the versioned name would then point at nothing.
std::string ThisLibraryPath() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&ThisLibraryPath), &info) || !info.dli_fname) return {};
  char resolved[PATH_MAX];
  if (!::realpath(info.dli_fname, resolved)) return {};
  const std::string path = resolved;
#if defined(KAVREL_SONAME)
  const std::string dir = DirectoryOf(path);
  const std::string stable = (dir == "/" ? "" : dir) + "/" + KAVREL_SONAME;
  struct stat self {
  }, link{};
  if (::stat(path.c_str(), &self) == 0 && ::stat(stable.c_str(), &link) == 0 &&
      self.st_dev == link.st_dev && self.st_ino == link.st_ino)
    return stable;
#endif
  return path;
}

HRESULT Report(HRESULT hr, const std::string& error) {
  auto& errors = platform::NativeRuntime().errors;
  if (SUCCEEDED(hr)) {
    errors.Clear();
  } else {
    errors.Set(IID_NULL, u"Kavrel", Widen(error));
  }
  return hr;
}

}  // namespace

void AddRegistration(registry::Document& doc, const std::string& libraryPath) {
  for (const RegistrationSet& set : AllSets(libraryPath)) {
    for (const std::string& key : set.keys) doc.AddKey(std::string(kClassesRoot) + key);
    for (const RegistryEntry& e : set.values)
      doc.SetString(std::string(kClassesRoot) + e.key, e.name, e.value);
  }
}

void RemoveRegistration(registry::Document& doc) {
  for (const RegistrationSet& set : AllSets(std::string())) {
    for (const RegistryEntry& e : set.values)
      doc.RemoveValue(std::string(kClassesRoot) + e.key, e.name);
    for (auto key = set.keys.rbegin(); key != set.keys.rend(); ++key)
      doc.RemoveKeyIfEmpty(std::string(kClassesRoot) + *key);
  }
}

HRESULT RegisterInFile(const std::string& registryPath, const std::string& libraryPath,
                       std::string* error) {
  if (libraryPath.empty() || libraryPath[0] != '/') {
    *error = "the library's absolute path is unknown";
    return E_FAIL;
  }
  for (unsigned char c : libraryPath) {
    if (c < 0x20 || c == 0x7F) {  // a registry file line cannot hold it
      *error = "the library's path holds a control character";
      return E_FAIL;
    }
  }
  return FromUpdate(registry::UpdateFile(
      registryPath, [&](registry::Document& doc) { AddRegistration(doc, libraryPath); }, error));
}

HRESULT UnregisterFromFile(const std::string& registryPath, std::string* error) {
  return FromUpdate(registry::UpdateFile(
      registryPath, [](registry::Document& doc) { RemoveRegistration(doc); }, error));
}

HRESULT RegisterServer() {
  std::string error;
  return Report(RegisterInFile(registry::FilePath(), ThisLibraryPath(), &error), error);
}

HRESULT UnregisterServer() {
  std::string error;
  return Report(UnregisterFromFile(registry::FilePath(), &error), error);
}

HRESULT CreateByName(const char* progIdOrClsid, REFIID riid, void** ppv) {
  // The caller may be C: no exception leaves. Creation builds texts at every
  // step, up to the object's own creation, after which nothing allocates.
  std::string why;
  HRESULT hr = S_OK;
  try {
    hr = CreateObject(progIdOrClsid, riid, ppv, &why);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  try {
    return Report(hr, why);
  } catch (const std::bad_alloc&) {
    return hr;  // the status without its description
  }
}

#endif  // !_WIN32

}  // namespace kavrel
