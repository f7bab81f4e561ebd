// The apartment model: an object belongs to the thread that created it, and
// so does everything it hands out (its connection point, the enumerators).
// Every method of those interfaces runs only on that thread; on any other it
// answers RPC_E_WRONG_THREAD and touches nothing. The three methods of
// IUnknown (QueryInterface, AddRef, Release) stay free-threaded: reference
// counts are atomic and QueryInterface reads nothing that changes.
#pragma once

#include <atomic>
#include <cstdint>

#include "kavrel/automation.h"

namespace kavrel {

// Tells threads apart for the life of the process. The system's thread
// identifiers (pthread_t, the thread pointer, a Windows thread id) are
// given to a new thread once the old one has ended, which would let a later
// thread into the apartment of an object whose creator has gone; each
// thread instead takes the next number of a process-wide count on its first
// use, and no two threads ever share one.
using ThreadIdentity = uint64_t;

inline std::atomic<uint64_t> gThreadIdentities{0};
inline constinit thread_local uint64_t tThreadIdentity = 0;

inline ThreadIdentity CurrentThreadIdentity() {
  uint64_t identity = tThreadIdentity;
  if (identity == 0) [[unlikely]] {
    identity = gThreadIdentities.fetch_add(1, std::memory_order_relaxed) + 1;
    tThreadIdentity = identity;
  }
  return identity;
}

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
