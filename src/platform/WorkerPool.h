#pragma once
// The one pool of worker threads behind all work that runs on several threads at once: the
// download queue, the hashing of the checking pass and the publisher's packing.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Stop.h"

namespace vt {

// How many threads a pool gets: Wanted when above 0, else one per core; at least 1, at most
// Most.
unsigned PoolThreads(unsigned Wanted, unsigned Most);

class TWorkerPool {
 public:
  // Runs item Item of a batch on the pool thread Worker (0 to the thread count less 1), so that
  // work can keep what belongs to one thread (an HTTP client) by that number.
  using TWork = std::function<void(size_t Item, unsigned Worker)>;

  // At most Threads threads, started as items arrive. A stop of Outer stops the pool.
  explicit TWorkerPool(unsigned Threads, const TStopToken& Outer = {});
  // Stops the pool and waits for its threads; items not started yet never start.
  ~TWorkerPool();
  TWorkerPool(const TWorkerPool&) = delete;
  TWorkerPool& operator=(const TWorkerPool&) = delete;

  // Queues items 0 to Count - 1 of Work; items start in the order they were queued, after all
  // queued before them. Once the pool is stopped nothing is queued.
  void Post(size_t Count, TWork Work);
  // Waits until every queued item has run or was dropped by a stop, then rethrows the first
  // failure of an item, if there was one.
  void Wait();
  // Items queued or running.
  size_t Busy() const;

  // The pool's stop: requested by Outer, by the first item that fails and by the destructor.
  // Long work looks at it to give up early.
  TStopToken Stop() const { return FStop.Token(); }

 private:
  struct TBatch {
    TWork Work;
    size_t Next = 0;
    size_t Count = 0;
  };

  void StartThreads(std::unique_lock<std::mutex>& Lock);
  void Run(unsigned Worker);
  void DropQueued();

  const unsigned FLimit;
  mutable std::mutex FLock;       // guards what follows
  std::condition_variable FWake;  // items came, or the pool closes
  std::condition_variable FIdle;  // nothing queued or running any more
  std::deque<std::shared_ptr<TBatch>> FBatches;
  size_t FQueued = 0;
  size_t FRunning = 0;
  bool FClosing = false;
  std::exception_ptr FFailure;
  std::vector<std::thread> FThreads;

  TStopSource FStop;
  TStopCallback FDropOnStop;  // after what it touches
  TStopCallback FOuterStop;
};

}  // namespace vt
