// The object's port table and its record of the last port-layer failure.
#pragma once

#include "component/bstr.h"
#include "platform/win32_records.h"

namespace kavrel {

struct PortSlot {
  platform::Handle32 lngHandle = 0;  // what CreateFileA returned; kept after close
  VARIANT_BOOL blnOpen = 0;          // from a valid CreateFileA until CloseHandle succeeds
  DCB udtDCB{};                      // the line settings last read from or written to the device
};

struct ErrorRecord {
  LONG lngCode = 0;
  Bstr strSource;
  Bstr strText;
};

inline constexpr int kPortSlots = 4;

}  // namespace kavrel
