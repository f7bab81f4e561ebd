// The thread's error information on Linux (GetErrorInfo reads it).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kavrel/automation.h"

namespace kavrel::platform::posix {

// A BSTR is preceded by its length in bytes (uint32) and followed by a NUL.
inline constexpr size_t kBstrPrefix = sizeof(uint32_t);

// A new block for a BSTR of cch characters, terminated, the characters
// themselves left for the caller to fill; null when memory runs out.
inline BSTR NewBstrBlock(UINT cch) {
  if (cch > (0x7FFFFFF0u - kBstrPrefix) / sizeof(OLECHAR) - 1) return nullptr;
  const size_t bytes = static_cast<size_t>(cch) * sizeof(OLECHAR);
  char* block = static_cast<char*>(std::malloc(kBstrPrefix + bytes + sizeof(OLECHAR)));
  if (!block) return nullptr;
  const uint32_t length = static_cast<uint32_t>(bytes);
  std::memcpy(block, &length, kBstrPrefix);
  BSTR s = reinterpret_cast<BSTR>(block + kBstrPrefix);
  s[cch] = 0;
  return s;
}

// As NewBstrBlock, but the empty string may be one the thread has kept.
// SysFreeString frees it.
inline BSTR AllocateBstr(UINT cch) {
  return cch == 0 ? ::SysAllocStringLen(nullptr, 0) : NewBstrBlock(cch);
}

void SetThreadErrorInfo(const GUID& guid, const std::u16string& source,
                        const std::u16string& description);
void ClearThreadErrorInfo();

}  // namespace kavrel::platform::posix
