#include "platform/posix/handle_table.h"

#include "platform/hot_path.h"

namespace kavrel::platform::posix {

namespace {

// The thread's last answer from Find. The weak reference lets the device
// close when its handle does; a device removed from the table but still in
// use elsewhere is told apart by its removed mark.
struct LastFound {
  const HandleTable* table = nullptr;
  Handle32 handle = 0;
  std::weak_ptr<Device> device;
};
thread_local LastFound tLastFound;

}  // namespace

namespace {

// The process's table is never destroyed: threads the host left running may
// still be in a call while the process exits. At exit it lets go of its
// devices, which closes those no such thread is using.
union ProcessTable {
  HandleTable table;
  ProcessTable() : table() {}
  ~ProcessTable() { table.Clear(); }
};

}  // namespace

KAVREL_HOT_PATH HandleTable& HandleTable::Process() {
  static ProcessTable process;
  return process.table;
}

void HandleTable::Clear() {
  std::unordered_map<Handle32, std::shared_ptr<Device>> devices;
  {
    std::lock_guard lock(mutex_);
    devices.swap(devices_);
  }
  for (auto& entry : devices) entry.second->MarkRemoved();
}

// Values go up in steps of four from 0x100, as Windows handle values do,
// and skip 0 and every negative value (-1 is INVALID_HANDLE_VALUE).
Handle32 HandleTable::Insert(std::shared_ptr<Device> device) {
  std::lock_guard lock(mutex_);
  Handle32 handle;
  do {
    handle = static_cast<Handle32>(next_);
    next_ = next_ >= 0x7FFFFFF0u ? 0x100u : next_ + 4;
  } while (devices_.count(handle) != 0);
  devices_.emplace(handle, std::move(device));
  return handle;
}

KAVREL_HOT_PATH std::shared_ptr<Device> HandleTable::Find(Handle32 handle) const {
  LastFound& last = tLastFound;
  if (last.table == this && last.handle == handle) {
    std::shared_ptr<Device> device = last.device.lock();
    if (device && !device->removed()) return device;
  }
  std::lock_guard lock(mutex_);
  const auto found = devices_.find(handle);
  if (found == devices_.end()) return nullptr;
  last = {this, handle, found->second};
  return found->second;
}

std::shared_ptr<Device> HandleTable::Remove(Handle32 handle) {
  std::lock_guard lock(mutex_);
  const auto found = devices_.find(handle);
  if (found == devices_.end()) return nullptr;
  std::shared_ptr<Device> device = std::move(found->second);
  devices_.erase(found);
  device->MarkRemoved();
  return device;
}

}  // namespace kavrel::platform::posix
