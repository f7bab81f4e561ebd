// The native services on Linux: the tty device layer, the host-installed
// message pump, code page 1252 and the thread's error information.
#include "kavrel/kavrel.h"
#include "platform/hot_path.h"
#include "platform/platform.h"
#include "platform/posix/device_ops.h"
#include "platform/posix/oleaut.h"
#include "platform/posix/text_codec.h"

namespace kavrel::platform::posix {
namespace {

struct InstalledPump {
  KavrelMessagePump pump = nullptr;
  void* context = nullptr;
};
thread_local InstalledPump tPump;

class HostPump final : public MessagePump {
 public:
  KAVREL_HOT_PATH void Pump() override {
    const InstalledPump current = tPump;
    if (current.pump) current.pump(current.context);
  }
  // Only the host's own handler can install a pump between two calls: with
  // none installed, the rest of the calls would do nothing.
  KAVREL_HOT_PATH void PumpRepeatedly(int times) override {
    for (int i = 0; i < times; ++i) {
      const InstalledPump current = tPump;
      if (!current.pump) return;
      current.pump(current.context);
    }
  }
};

class ThreadErrorInfo final : public ErrorInfoService {
 public:
  void Set(const GUID& iid, const std::u16string& source,
           const std::u16string& description) override {
    SetThreadErrorInfo(iid, source, description);
  }
  void Clear() override { ClearThreadErrorInfo(); }
};

}  // namespace
}  // namespace kavrel::platform::posix

extern "C" __attribute__((visibility("default"))) void KavrelSetMessagePump(KavrelMessagePump pump,
                                                                            void* context) {
  kavrel::platform::posix::tPump = {pump, context};
}

namespace kavrel::platform {

Runtime& NativeRuntime() {
  static posix::TtyDeviceOps ops;
  static Platform device(ops);
  static posix::HostPump pump;
  static posix::Cp1252Codec text;
  static posix::ThreadErrorInfo errors;
  static Runtime runtime{device, pump, text, errors};
  return runtime;
}

}  // namespace kavrel::platform
