// The process's device handles: 32-bit values naming opened devices. Values
// are not given out again (until half a billion opens later), so a closed
// handle stays invalid instead of naming some other device.
//
// Every transfer looks its handle up, usually the same handle as the
// thread's last: each thread remembers its last answer (without keeping the
// device open), and finds it again without the table's lock.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/posix/device.h"
#include "platform/win32_records.h"

namespace kavrel::platform::posix {

class HandleTable {
 public:
  static HandleTable& Process();

  Handle32 Insert(std::shared_ptr<Device> device);
  // The device, kept alive for the caller's operation; null when the handle
  // is not open.
  std::shared_ptr<Device> Find(Handle32 handle) const;
  // The device from then on is not found; the caller closes it.
  std::shared_ptr<Device> Remove(Handle32 handle);

  // Removes every device; the callers still using one keep it until done.
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::unordered_map<Handle32, std::shared_ptr<Device>> devices_;
  uint32_t next_ = 0x100;
};

}  // namespace kavrel::platform::posix
