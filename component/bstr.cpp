#include "component/bstr.h"

#include <new>

namespace kavrel {

Bstr::Bstr(std::u16string_view text) {
  s_ = ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                           static_cast<UINT>(text.size()));
  if (!s_) throw std::bad_alloc();
}

void AssignBstr(BSTR* target, std::u16string_view text) {
  Bstr fresh(text);
  ::SysFreeString(*target);
  *target = fresh.Detach();
}

std::u16string U16(std::string_view ascii) {
  std::u16string out;
  out.reserve(ascii.size());
  for (unsigned char c : ascii) out.push_back(static_cast<char16_t>(c));
  return out;
}

std::string Narrow(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace kavrel
