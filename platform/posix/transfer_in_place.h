// A tty's transfers without the C library's functions around them. On a
// kernel that empties the TLB on every system call (page-table isolation
// without PCID), each page of code or data touched after the call costs a
// page walk, and those functions are pages of their own.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace kavrel::platform::posix {

// Linux on x86-64, outside the sanitizers: the system call numbers and the
// calling convention below are that kernel's.
#if defined(__linux__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#define KAVREL_TRANSFER_IN_PLACE 1
#endif

// A read or write on a descriptor that never blocks, made in place and
// tried again when a signal interrupts it: the count, or the negated error
// number. The C library's read and write are cancellation points: in a
// process with threads they enter and leave the asynchronous-cancel state
// around the system call, two calls more. A call that cannot block has
// nothing to cancel. Under the sanitizers the C library's functions stay,
// so that the sanitizers check the buffers.
inline long TransferInPlace(long number, int fd, const void* buffer, size_t size) {
  long result;
  do {
#if defined(KAVREL_TRANSFER_IN_PLACE)
    asm volatile("syscall"
                 : "=a"(result)
                 : "0"(number), "D"(static_cast<long>(fd)), "S"(buffer), "d"(size)
                 : "rcx", "r11", "memory");
#else
    const ssize_t n =
        number == SYS_read ? read(fd, const_cast<void*>(buffer), size) : write(fd, buffer, size);
    result = n < 0 ? -errno : n;
#endif
  } while (result == -EINTR);
  return result;
}

inline long ReadInPlace(int fd, void* buffer, size_t size) {
  return TransferInPlace(SYS_read, fd, buffer, size);
}

inline long WriteInPlace(int fd, const void* data, size_t size) {
  return TransferInPlace(SYS_write, fd, data, size);
}

// memcpy without the call: the C library's copy is a page of code and a
// table entry away.
inline void CopyInPlace(void* to, const void* from, size_t size) {
#if defined(KAVREL_TRANSFER_IN_PLACE)
  asm volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(size) : : "memory");
#else
  std::memcpy(to, from, size);
#endif
}

}  // namespace kavrel::platform::posix
