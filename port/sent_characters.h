// How much of a text went out when only part of its converted bytes did.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/platform.h"

namespace kavrel::port {

// The number of characters of text whose bytes all went out, when sent of the totalBytes bytes of
// its conversion were written. In a single-byte code page that is the byte count; in a multi-byte
// one each character is measured by converting it alone (a surrogate pair as one).
inline size_t CharactersSent(platform::TextCodec& codec, std::u16string_view text,
                             size_t totalBytes, size_t sent) {
  const size_t length = text.size();
  if (sent >= totalBytes) return length;
  if (totalBytes == length) return sent;
  const auto high = [](char16_t c) { return c >= 0xD800 && c < 0xDC00; };
  const auto low = [](char16_t c) { return c >= 0xDC00 && c < 0xE000; };
  size_t characters = 0;
  size_t bytes = 0;
  while (characters < length) {
    const size_t unit =
        high(text[characters]) && characters + 1 < length && low(text[characters + 1]) ? 2 : 1;
    bytes += codec.ToAnsi(reinterpret_cast<const OLECHAR*>(text.data() + characters), unit).size();
    if (bytes > sent) break;
    characters += unit;
  }
  return characters;
}

}  // namespace kavrel::port
