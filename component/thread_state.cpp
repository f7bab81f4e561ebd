#include "component/thread_state.h"

#include "platform/hot_path.h"

namespace kavrel {

KAVREL_HOT_PATH ThreadState& CurrentThreadState() {
  thread_local ThreadState state;
  return state;
}

}  // namespace kavrel
