#include "platform/Stop.h"

namespace vt {

bool TStopToken::StopRequested() const {
  return FState && FState->Requested.load();
}

bool TStopToken::WaitFor(std::chrono::milliseconds Time) const {
  if (!FState) {
    std::this_thread::sleep_for(Time);
    return false;
  }
  std::unique_lock<std::mutex> lock(FState->Lock);
  return FState->Changed.wait_for(lock, Time, [&] { return FState->Requested.load(); });
}

bool TStopSource::RequestStop() {
  detail::TStopState& state = *FState;
  std::unique_lock<std::mutex> lock(state.Lock);
  if (state.Requested)
    return false;
  state.Requested = true;
  state.Requester = std::this_thread::get_id();
  state.Changed.notify_all();
  while (TStopCallback* callback = state.First) {
    state.First = callback->FNext;
    if (state.First != nullptr)
      state.First->FPrev = nullptr;
    callback->FListed = false;
    bool destroyed = false;
    callback->FDestroyed = &destroyed;
    state.Running = callback;
    lock.unlock();
    callback->FCallback();
    lock.lock();
    // A callback that destroyed itself is gone; its owner's thread waits for none of this.
    if (!destroyed)
      callback->FDestroyed = nullptr;
    state.Running = nullptr;
    state.Changed.notify_all();
  }
  return true;
}

TStopCallback::TStopCallback(const TStopToken& Token, std::function<void()> Callback)
    : FState(Token.FState), FCallback(std::move(Callback)) {
  if (!FState)
    return;
  std::unique_lock<std::mutex> lock(FState->Lock);
  if (FState->Requested) {
    lock.unlock();
    FCallback();
    return;
  }
  FNext = FState->First;
  if (FNext != nullptr)
    FNext->FPrev = this;
  FState->First = this;
  FListed = true;
}

TStopCallback::~TStopCallback() {
  if (!FState)
    return;
  std::unique_lock<std::mutex> lock(FState->Lock);
  if (FListed) {
    (FPrev != nullptr ? FPrev->FNext : FState->First) = FNext;
    if (FNext != nullptr)
      FNext->FPrev = FPrev;
    return;
  }
  if (FState->Running != this)
    return;
  if (FState->Requester == std::this_thread::get_id()) {
    *FDestroyed = true;  // destroyed from inside itself
    return;
  }
  FState->Changed.wait(lock, [&] { return FState->Running != this; });
}

}  // namespace vt
