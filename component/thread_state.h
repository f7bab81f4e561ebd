// The per-thread state shared by every comms object used on one thread.
#pragma once

#include "component/bstr.h"
#include "kavrel/automation.h"

namespace kavrel {

struct ThreadState {
  LONG lngStatus = 0;      // status of the last port-layer step on this thread
  Bstr strReceived;        // receive scratch text of ReadComm
  LONG lngExpected = 0;    // length of the text handed to the last WriteComm
  short intLoopState = 0;  // looprocess polls while this is below 4
};

// The calling thread's copy, zero and empty on the thread's first use.
ThreadState& CurrentThreadState();

}  // namespace kavrel
