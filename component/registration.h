// Registration of the in-process server: what DllRegisterServer records and
// DllUnregisterServer removes. Windows keeps it in the system registry;
// Linux in the registry file (kavrel/registry.h), in the same layout.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kavrel/kavrel.h"

#if !defined(_WIN32)
#include "kavrel/registry.h"
#endif

namespace kavrel {

// One value; key is relative to HKEY_CLASSES_ROOT, an empty name is the
// key's default value.
struct RegistryEntry {
  std::string key;
  std::string name;
  std::string value;
};

// What one registration writes: every key it creates (parents first, so
// removal runs backwards) and every value it sets.
struct RegistrationSet {
  std::vector<std::string> keys;
  std::vector<RegistryEntry> values;
};

// The class comms with the library at libraryPath as its in-process server,
// the apartment threading model, and the programmatic identifier
// Kavrel.comms leading to it.
RegistrationSet ClassRegistration(const std::string& libraryPath);

// The type library (version 16.0, written 10.0) and its two interfaces, as
// the platform's type library registration records them.
RegistrationSet TypeLibraryRegistration(const std::string& libraryPath, const std::string& helpDir);

// The exports' work. On failure the reason is left as the thread's error
// information.
HRESULT RegisterServer();
HRESULT UnregisterServer();

#if !defined(_WIN32)

// Failures of the registry file: a malformed or unsafe file, and an input
// or output error.
inline constexpr HRESULT kRegistryFileMalformed = static_cast<HRESULT>(0x800703F1u);  // ERROR_BADDB
inline constexpr HRESULT kRegistryFileIoError =
    static_cast<HRESULT>(0x800703F8u);  // ERROR_REGISTRY_IO_FAILED

// Adds the registration of the library at libraryPath to the document, or
// removes exactly those entries again (keys only once they are empty).
void AddRegistration(registry::Document& doc, const std::string& libraryPath);
void RemoveRegistration(registry::Document& doc);

// The same on the registry file at registryPath. S_OK, or one of the two
// failures above with the reason in *error; a refused file is left as it is.
HRESULT RegisterInFile(const std::string& registryPath, const std::string& libraryPath,
                       std::string* error);
HRESULT UnregisterFromFile(const std::string& registryPath, std::string* error);

// Creation by programmatic or class identifier through the registry file
// (kavrel/kavrel_create.h), for hosts written in C: on failure the reason is
// left as the thread's error information.
HRESULT CreateByName(const char* progIdOrClsid, REFIID riid, void** ppv);

#endif

}  // namespace kavrel
