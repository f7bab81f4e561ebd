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

class Apartment {
 public:
  // The apartment of the calling thread.
  Apartment() : owner_(std::this_thread::get_id()) {}

  bool Current() const { return std::this_thread::get_id() == owner_; }

  // Runs body (which returns an HRESULT) if the caller is in this apartment.
  template <class Body>
  HRESULT Enter(Body&& body) const {
    if (!Current()) return RPC_E_WRONG_THREAD;
    return body();
  }

 private:
  std::thread::id owner_;
};

}  // namespace kavrel
