// kavrel-regsvr: regsvr32 for Linux. Loads an in-process server library
// and calls its DllRegisterServer (or, with -u, DllUnregisterServer), which
// record the class in the registry file (kavrel/registry.h).
//
//   kavrel-regsvr [-u] [-s] [/path/to/libkavrel.so]
//
// Without a path it takes the library installed with it (the libkavrel.so.1
// in the library directory beside its bin directory), or, run from a build
// tree, the library of that tree. -s prints nothing on success. The exit code is 0 on success, 1
// when the call failed (the reason is printed), 2 for a usage or loading error.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kavrel/kavrel.h"

namespace {

constexpr const char* kUsage = "usage: kavrel-regsvr [-u] [-s] [/path/to/libkavrel.so]\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int Help() {
  std::fputs(kUsage, stdout);
  std::fputs(
      "\n"
      "Registers the class Kavrel.comms of a libkavrel library in the registry file,\n"
      "as regsvr32 does on Windows: $KAVREL_REGISTRY, else\n"
      "${XDG_DATA_HOME:-~/.local/share}/kavrel/registry.reg. Without a path: the\n"
      "library installed with this program, or that of its build tree.\n"
      "\n"
      "  -u   unregister instead\n"
      "  -s   print nothing on success\n"
      "Exit status: 0 done, 1 the library's call failed, 2 bad usage or no library.\n",
      stdout);
  return std::fflush(stdout) == 0 ? 0 : 2;
}

// The library that belongs with this program: installed, at the same
// relative place as at installation; in a build tree, at the tree's top.
// Empty when neither is there.
std::string OwnLibrary(std::string* looked) {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::string();
  self[n] = '\0';
  std::string dir(self);
  dir.erase(dir.rfind('/') + 1);
  for (const char* relative : {KAVREL_INSTALLED_LIBDIR, KAVREL_BUILD_LIBDIR}) {
    std::string candidate = dir + relative;
    if (!candidate.empty() && candidate.back() != '/') candidate += '/';
    candidate += KAVREL_SONAME;
    if (::access(candidate.c_str(), F_OK) == 0) return candidate;
    *looked += (looked->empty() ? "" : ", ") + candidate;
  }
  return std::string();
}

// The description the library left as the thread's error information.
std::string ErrorDescription(void* module) {
  using GetErrorInfoFn = HRESULT (*)(ULONG, IErrorInfo**);
  using SysFreeStringFn = void (*)(BSTR);
  auto getErrorInfo = reinterpret_cast<GetErrorInfoFn>(::dlsym(module, "GetErrorInfo"));
  auto freeString = reinterpret_cast<SysFreeStringFn>(::dlsym(module, "SysFreeString"));
  if (!getErrorInfo || !freeString) return std::string();
  IErrorInfo* info = nullptr;
  if (getErrorInfo(0, &info) != S_OK || !info) return std::string();
  BSTR text = nullptr;
  info->GetDescription(&text);
  info->Release();
  std::string out;  // UTF-16 to UTF-8
  for (const OLECHAR* p = text; p && *p; ++p) {
    uint32_t c = *p;
    if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (*++p - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  freeString(text);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false, silent = false;
  std::string own;
  const char* library = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-u") == 0) {
      unregister = true;
    } else if (std::strcmp(argv[i], "-s") == 0) {
      silent = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      return Help();
    } else if (argv[i][0] == '-' || library) {
      return Usage();
    } else {
      library = argv[i];
    }
  }
  if (!library) {
    std::string looked;
    own = OwnLibrary(&looked);
    if (own.empty()) {
      std::fprintf(stderr,
                   "kavrel-regsvr: no installed library found (looked for %s); give its path\n",
                   looked.empty() ? KAVREL_SONAME : looked.c_str());
      return 2;
    }
    library = own.c_str();
  }
  if (!std::strchr(library, '/')) {
    std::fprintf(stderr, "kavrel-regsvr: give the library's path, not only its name\n");
    return 2;
  }
  void* module = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "kavrel-regsvr: %s\n", ::dlerror());
    return 2;
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto call = reinterpret_cast<HRESULT (*)()>(::dlsym(module, entry));
  if (!call) {
    std::fprintf(stderr, "kavrel-regsvr: %s has no %s\n", library, entry);
    return 2;
  }
  const HRESULT hr = call();
  if (FAILED(hr)) {
    const std::string why = ErrorDescription(module);
    std::fprintf(stderr, "kavrel-regsvr: %s failed (0x%08X)%s%s\n", entry,
                 static_cast<unsigned>(hr), why.empty() ? "" : ": ", why.c_str());
    return 1;
  }
  if (!silent) std::printf("%s in %s succeeded.\n", entry, library);
  return 0;
}
