// The small check framework of the Windows test programs that run under
// Wine (GoogleTest is not cross-built): each failed check prints its line,
// and the program's exit code is the number of failures.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace kavrel_check {

inline int gFailures = 0;
inline int gChecks = 0;

inline void Check(bool ok, const char* what, int line, const std::string& detail = std::string()) {
  ++gChecks;
  if (ok) return;
  ++gFailures;
  std::printf("FAIL (line %d): %s%s%s\n", line, what, detail.empty() ? "" : " -- ", detail.c_str());
  std::fflush(stdout);
}

inline void Section(const char* name) {
  std::printf("-- %s\n", name);
  std::fflush(stdout);
}

// Printable ASCII as it is, anything else as \xNN.
inline std::string Narrow(const std::wstring& w) {
  std::string out;
  for (wchar_t c : w) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

inline std::wstring Widen(const char* ascii) {
  std::wstring out;
  for (; *ascii; ++ascii) out.push_back(static_cast<wchar_t>(*ascii));
  return out;
}

inline int Summary() {
  std::printf("%d checks, %d failed\n", gChecks, gFailures);
  return gFailures;
}

}  // namespace kavrel_check

#define CHECK(cond) ::kavrel_check::Check((cond), #cond, __LINE__)
#define CHECK_HR(expected, expr)                                                                   \
  do {                                                                                             \
    const HRESULT hr_ = (expr);                                                                    \
    char buf_[64];                                                                                 \
    std::snprintf(buf_, sizeof buf_, "got 0x%08lX", static_cast<unsigned long>(hr_));              \
    ::kavrel_check::Check(hr_ == static_cast<HRESULT>(expected), #expr " == " #expected, __LINE__, \
                          buf_);                                                                   \
  } while (0)
#define CHECK_TEXT(expected, actual)                                     \
  do {                                                                   \
    const std::wstring e_ = (expected), a_ = (actual);                   \
    ::kavrel_check::Check(e_ == a_, #actual " == " #expected, __LINE__,  \
                          "got \"" + ::kavrel_check::Narrow(a_) + "\""); \
  } while (0)
#define CHECK_EQ(expected, actual)                                      \
  do {                                                                  \
    const long long e_ = (expected), a_ = (actual);                     \
    ::kavrel_check::Check(e_ == a_, #actual " == " #expected, __LINE__, \
                          "got " + std::to_string(a_));                 \
  } while (0)
