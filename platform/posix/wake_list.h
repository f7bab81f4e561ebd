// Wakes the threads that wait in poll(2) on one device. Each waiting thread
// polls an eventfd of its own, on the list while it waits: a wake-up is
// then seen by every waiter. (With one descriptor for all, the first waiter
// to wake drained it, and a read and a write waiting on two threads lost
// one of them: a purge or a close could leave the other asleep for ever.)
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kavrel::platform::posix {

class WakeList {
 public:
  // The calling thread's descriptor, on the list for the entry's life; -1
  // when the thread cannot have one.
  class Entry {
   public:
    explicit Entry(WakeList& list) : list_(list), fd_(ThreadDescriptor()) {
      if (fd_ >= 0) list_.Add(fd_);
    }
    ~Entry() {
      if (fd_ >= 0) list_.Remove(fd_);
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

    int fd() const { return fd_; }
    // Takes the wake-ups that came, for this wait or an earlier one.
    void Drain() const {
      uint64_t count;
      [[maybe_unused]] ssize_t ignored = read(fd_, &count, sizeof count);
    }

   private:
    WakeList& list_;
    const int fd_;
  };

  void WakeAll() {
    std::lock_guard lock(mutex_);
    const uint64_t one = 1;
    for (int fd : fds_) [[maybe_unused]] ssize_t ignored = write(fd, &one, sizeof one);
  }

 private:
  static int ThreadDescriptor() {
    struct Owned {
      int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      ~Owned() {
        if (fd >= 0) close(fd);
      }
    };
    thread_local Owned descriptor;
    return descriptor.fd;
  }
  void Add(int fd) {
    std::lock_guard lock(mutex_);
    fds_.push_back(fd);
  }
  void Remove(int fd) {
    std::lock_guard lock(mutex_);
    fds_.erase(std::find(fds_.begin(), fds_.end(), fd));
  }

  std::mutex mutex_;
  std::vector<int> fds_;
};

}  // namespace kavrel::platform::posix
