#include "update/CallQueue.h"

#include <algorithm>

namespace vt {

TCallQueue::TCallQueue(std::function<void()> WakeUp) : FWakeUp(std::move(WakeUp)) {}

void TCallQueue::Post(TTag Tag, TCall Call) {
  {
    std::lock_guard lock(FMutex);
    FCalls.emplace_back(Tag, std::move(Call));
  }
  if (FWakeUp)
    FWakeUp();
}

void TCallQueue::Discard(TTag Tag) {
  std::lock_guard lock(FMutex);
  std::erase_if(FCalls, [Tag](const auto& Entry) { return Entry.first == Tag; });
}

size_t TCallQueue::RunPending() {
  size_t waiting;
  {
    std::lock_guard lock(FMutex);
    waiting = FCalls.size();
  }
  size_t ran = 0;
  // One call at a time, outside the lock: a call may post or discard. A call discarded by an
  // earlier one in this round is gone from the deque and does not run.
  while (ran < waiting) {
    TCall call;
    {
      std::lock_guard lock(FMutex);
      if (FCalls.empty())
        break;
      call = std::move(FCalls.front().second);
      FCalls.pop_front();
    }
    call();
    ++ran;
  }
  return ran;
}

}  // namespace vt
