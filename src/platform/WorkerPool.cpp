#include "platform/WorkerPool.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace vt {

unsigned PoolThreads(unsigned Wanted, unsigned Most) {
  const unsigned wanted = Wanted > 0 ? Wanted : std::thread::hardware_concurrency();
  return std::clamp(wanted, 1u, std::max(Most, 1u));
}

TWorkerPool::TWorkerPool(unsigned Threads, const TStopToken& Outer)
    : FLimit(std::max(Threads, 1u)),
      FDropOnStop(FStop.Token(), [this] { DropQueued(); }),
      FOuterStop(Outer, [this] { FStop.RequestStop(); }) {}

TWorkerPool::~TWorkerPool() {
  FStop.RequestStop();
  {
    const std::lock_guard<std::mutex> lock(FLock);
    FClosing = true;
  }
  FWake.notify_all();
  for (std::thread& thread : FThreads)
    thread.join();
}

void TWorkerPool::Post(size_t Count, TWork Work) {
  std::unique_lock<std::mutex> lock(FLock);
  if (Count == 0 || FStop.StopRequested())
    return;
  FBatches.push_back(std::make_shared<TBatch>(TBatch{std::move(Work), 0, Count}));
  FQueued += Count;
  StartThreads(lock);
  FWake.notify_all();
}

void TWorkerPool::Wait() {
  std::unique_lock<std::mutex> lock(FLock);
  FIdle.wait(lock, [this] { return FQueued == 0 && FRunning == 0; });
  if (FFailure)
    std::rethrow_exception(FFailure);
}

size_t TWorkerPool::Busy() const {
  const std::lock_guard<std::mutex> lock(FLock);
  return FQueued + FRunning;
}

void TWorkerPool::StartThreads(std::unique_lock<std::mutex>& Lock) {
  while (FThreads.size() < FLimit && FThreads.size() < FQueued + FRunning) {
    const auto worker = static_cast<unsigned>(FThreads.size());
    try {
      FThreads.emplace_back([this, worker] { Run(worker); });
    } catch (const std::system_error&) {
      // The threads already there take the items; without any, nothing would.
      if (!FThreads.empty())
        return;
      FBatches.clear();
      FQueued = 0;
      Lock.unlock();
      throw;
    }
  }
}

void TWorkerPool::Run(unsigned Worker) {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    FWake.wait(lock, [this] { return FClosing || FQueued > 0; });
    if (FClosing)
      return;
    std::shared_ptr<TBatch> batch = FBatches.front();
    const size_t item = batch->Next++;
    if (batch->Next == batch->Count)
      FBatches.pop_front();
    --FQueued;
    ++FRunning;
    lock.unlock();
    std::exception_ptr failure;
    try {
      batch->Work(item, Worker);
    } catch (...) {
      failure = std::current_exception();
    }
    batch.reset();  // what the work holds goes on this thread, outside the lock
    lock.lock();
    --FRunning;
    if (failure && !FFailure) {
      FFailure = failure;
      // The stop runs DropQueued, which takes the lock.
      lock.unlock();
      FStop.RequestStop();
      lock.lock();
    }
    if (FQueued == 0 && FRunning == 0)
      FIdle.notify_all();
  }
}

void TWorkerPool::DropQueued() {
  const std::lock_guard<std::mutex> lock(FLock);
  FBatches.clear();
  FQueued = 0;
  if (FRunning == 0)
    FIdle.notify_all();
}

}  // namespace vt
