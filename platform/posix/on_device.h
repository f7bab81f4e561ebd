// How the device operations reach the device behind a handle.
#pragma once

#include <memory>
#include <new>

#include "platform/hot_path.h"
#include "platform/posix/device.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/win32_errors.h"

namespace kavrel::platform::posix {

inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Runs an operation on the device a handle names. The operation returns
// ERROR_SUCCESS or the error to report.
template <class Operation>
KAVREL_HOT_PATH BOOL OnDevice(Handle32 handle, Operation operation) {
  const std::shared_ptr<Device> device = HandleTable::Process().Find(handle);
  if (!device) return Fail(ERROR_INVALID_HANDLE);
  try {
    const DWORD error = operation(*device);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

}  // namespace kavrel::platform::posix
