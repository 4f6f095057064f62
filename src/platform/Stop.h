#pragma once
// A request to stop, shared by the threads of a run: a source that requests it, tokens that
// read it, and callbacks that run when it comes.
//
// It does what std::stop_source, std::stop_token and std::stop_callback do, on a mutex and
// condition variables of its own: in GCC 12's library on Windows, a std::stop_callback that
// another thread is running when its owner destroys it makes the owner wait on a semaphore
// that can miss its wake-up, and the owner then waits for good.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vt {

class TStopCallback;

namespace detail {
struct TStopState {
  std::mutex Lock;
  std::condition_variable Changed;      // the stop came, or a callback finished
  std::atomic<bool> Requested = false;  // written under Lock; read without it
  TStopCallback* First = nullptr;       // callbacks still to run, in no set order
  TStopCallback* Running = nullptr;     // the callback the requesting thread runs now
  std::thread::id Requester;
};
}  // namespace detail

// Reads one source's stop. A default token belongs to no source and is never stopped.
class TStopToken {
 public:
  TStopToken() = default;

  bool StopRequested() const;
  // Waits until the stop comes or Time has passed; true when the stop has come.
  bool WaitFor(std::chrono::milliseconds Time) const;

 private:
  friend class TStopSource;
  friend class TStopCallback;
  explicit TStopToken(std::shared_ptr<detail::TStopState> State) : FState(std::move(State)) {}
  std::shared_ptr<detail::TStopState> FState;
};

class TStopSource {
 public:
  TStopSource() : FState(std::make_shared<detail::TStopState>()) {}

  TStopToken Token() const { return TStopToken(FState); }
  bool StopRequested() const { return FState->Requested.load(); }
  // Requests the stop and runs, on this thread, every callback registered by then. False when
  // the stop had been requested before.
  bool RequestStop();

 private:
  std::shared_ptr<detail::TStopState> FState;
};

// Runs Callback once when the token's stop is requested: at once, on this thread, when it had
// been requested already. The destructor unregisters it; when another thread is running it at
// that moment, the destructor waits until it has returned, so the callback may use what its
// owner destroys next.
class TStopCallback {
 public:
  TStopCallback(const TStopToken& Token, std::function<void()> Callback);
  ~TStopCallback();
  TStopCallback(const TStopCallback&) = delete;
  TStopCallback& operator=(const TStopCallback&) = delete;

 private:
  friend class TStopSource;
  std::shared_ptr<detail::TStopState> FState;
  std::function<void()> FCallback;
  TStopCallback* FPrev = nullptr;
  TStopCallback* FNext = nullptr;
  bool FListed = false;
  bool* FDestroyed = nullptr;  // set while the requesting thread runs it
};

}  // namespace vt
