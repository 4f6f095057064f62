#pragma once
// The main thread's queue of tagged calls. Any thread posts; the main thread runs them one at
// a time in posting order; a stopped run's calls are discarded by their tag.

#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace vt {

class TCallQueue {
 public:
  using TTag = const void*;
  using TCall = std::function<void()>;

  // WakeUp is called (from the posting thread) after each post, so that a GUI loop can
  // schedule RunPending; it must not block.
  explicit TCallQueue(std::function<void()> WakeUp = {});

  // Never blocks on the main thread.
  void Post(TTag Tag, TCall Call);
  // Drops every call with this tag that has not run yet.
  void Discard(TTag Tag);
  // Main thread only: runs the calls waiting now, one at a time in posting order; calls posted
  // meanwhile wait for the next round. Returns how many ran.
  size_t RunPending();

 private:
  std::mutex FMutex;
  std::deque<std::pair<TTag, TCall>> FCalls;
  std::function<void()> FWakeUp;
};

}  // namespace vt
