#include "component/thread_state.h"

namespace kavrel {

ThreadState& CurrentThreadState() {
  thread_local ThreadState state;
  return state;
}

}  // namespace kavrel
