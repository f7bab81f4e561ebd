// A lock for sections that hold it for a few hundred nanoseconds at most (a
// copy, or one system call that never waits) and are rarely wanted by two
// threads at once. Taking it is one atomic exchange and giving it back a
// plain store, where a std::mutex pays an atomic operation both ways; a
// thread that finds it taken spins briefly and then yields.
#pragma once

#include <sched.h>

#include <atomic>

namespace kavrel::platform::posix {

// Tells the processor the thread is spinning.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

class ShortLock {
 public:
  void lock() {
    while (held_.exchange(true, std::memory_order_acquire)) {
      for (int spin = 0; held_.load(std::memory_order_relaxed); ++spin) {
        if (spin < 64) {
          CpuRelax();
        } else {
          sched_yield();
        }
      }
    }
  }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

}  // namespace kavrel::platform::posix
