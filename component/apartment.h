// The apartment model: an object belongs to the thread that created it, and
// so does everything it hands out (its connection point, the enumerators).
// Every method of those interfaces runs only on that thread; on any other it
// answers RPC_E_WRONG_THREAD and touches nothing. The three methods of
// IUnknown (QueryInterface, AddRef, Release) stay free-threaded: reference
// counts are atomic and QueryInterface reads nothing that changes.
#pragma once

#include <thread>

#include "kavrel/automation.h"

namespace kavrel {

// Tells the live threads apart. On x86-64 Linux it is the thread pointer
// (what glibc's pthread_self returns), read from its register: every member
// asks it first, and a call into the C library is one more page of code to
// walk after the TLB was emptied by the system call before.
#if defined(__GNUC__) && !defined(__clang__) && defined(__linux__) && defined(__x86_64__)
using ThreadIdentity = const void*;
inline ThreadIdentity CurrentThreadIdentity() { return __builtin_thread_pointer(); }
#else
using ThreadIdentity = std::thread::id;
inline ThreadIdentity CurrentThreadIdentity() { return std::this_thread::get_id(); }
#endif

class Apartment {
 public:
  // The apartment of the calling thread.
  Apartment() : owner_(CurrentThreadIdentity()) {}

  bool Current() const { return CurrentThreadIdentity() == owner_; }

  // Runs body (which returns an HRESULT) if the caller is in this apartment.
  template <class Body>
  HRESULT Enter(Body&& body) const {
    if (!Current()) return RPC_E_WRONG_THREAD;
    return body();
  }

 private:
  ThreadIdentity owner_;
};

}  // namespace kavrel
