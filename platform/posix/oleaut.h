// The thread's error information on Linux (GetErrorInfo reads it).
#pragma once

#include <string>

#include "kavrel/automation.h"

namespace kavrel::platform::posix {

void SetThreadErrorInfo(const GUID& guid, const std::u16string& source,
                        const std::u16string& description);
void ClearThreadErrorInfo();

}  // namespace kavrel::platform::posix
