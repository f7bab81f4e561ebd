// Code page 1252, the usual ANSI code page of Windows, as the device text
// encoding on Linux.
#pragma once

#include "platform/platform.h"

namespace kavrel::platform::posix {

class Cp1252Codec final : public TextCodec {
 public:
  std::string ToAnsi(const OLECHAR* text, size_t length) override;
  std::string ToAnsiExact(const OLECHAR* text, size_t length, bool& exact) override;
  size_t ToAnsiExactInto(const OLECHAR* text, size_t length, char* out, size_t capacity,
                         bool& exact) override;
  std::u16string FromAnsi(const char* bytes, size_t length) override;
  BSTR FromAnsiBstr(const char* bytes, size_t length) override;
};

}  // namespace kavrel::platform::posix
