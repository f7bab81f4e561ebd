// An owning BSTR: the object's texts and every temporary text of a member.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "kavrel/automation.h"

namespace kavrel {

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::u16string_view text);
  Bstr(const Bstr& other) : Bstr(other.view()) {}
  Bstr(Bstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
  Bstr& operator=(const Bstr& other) {
    if (this != &other) *this = Bstr(other);
    return *this;
  }
  Bstr& operator=(Bstr&& other) noexcept {
    std::swap(s_, other.s_);
    return *this;
  }
  ~Bstr() { ::SysFreeString(s_); }

  // Takes ownership of a BSTR.
  static Bstr Attach(BSTR s) {
    Bstr b;
    b.s_ = s;
    return b;
  }
  static Bstr Copy(BSTR s) { return Bstr(ViewOf(s)); }
  static std::u16string_view ViewOf(BSTR s) {
    return s ? std::u16string_view(reinterpret_cast<const char16_t*>(s), ::SysStringLen(s))
             : std::u16string_view();
  }

  BSTR get() const { return s_; }
  // The address of the held BSTR, for a by-reference text parameter that the
  // callee may free and replace.
  BSTR* out() { return &s_; }
  BSTR Detach() { return std::exchange(s_, nullptr); }
  UINT length() const { return s_ ? ::SysStringLen(s_) : 0; }
  std::u16string_view view() const { return ViewOf(s_); }
  std::u16string str() const { return std::u16string(view()); }

 private:
  BSTR s_ = nullptr;
};

// Replaces the text held in a caller's BSTR variable.
void AssignBstr(BSTR* target, std::u16string_view text);

// ASCII/UTF-8 literal to UTF-16, for the component's own fixed texts.
std::u16string U16(std::string_view ascii);
std::string Narrow(std::u16string_view text);  // for diagnostics and tests

}  // namespace kavrel
