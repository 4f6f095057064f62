#include "platform/WorkerPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vt {
namespace {

TEST(WorkerPool, ItemsStartInTheOrderQueuedOnAtMostItsThreads) {
  for (const unsigned threads : {1u, 3u}) {
    TWorkerPool pool(threads);
    std::mutex lock;
    std::vector<int> started;
    std::set<unsigned> workers;
    const auto record = [&](int Value, unsigned Worker) {
      const std::lock_guard<std::mutex> guard(lock);
      started.push_back(Value);
      workers.insert(Worker);
    };
    pool.Post(50, [&](size_t Item, unsigned Worker) { record(static_cast<int>(Item), Worker); });
    pool.Post(1, [&](size_t, unsigned Worker) { record(1000, Worker); });
    pool.Post(0, [&](size_t, unsigned) { ADD_FAILURE() << "an empty batch ran"; });
    pool.Wait();
    ASSERT_EQ(started.size(), 51u);
    // Started in order; with one thread they also end in order, and the log is exact.
    if (threads == 1) {
      for (int i = 0; i < 50; ++i)
        EXPECT_EQ(started[i], i);
      EXPECT_EQ(started.back(), 1000);
    }
    EXPECT_EQ(std::set<int>(started.begin(), started.end()).size(), 51u);
    EXPECT_LE(workers.size(), threads);
    EXPECT_LT(*workers.rbegin(), threads);
    EXPECT_EQ(pool.Busy(), 0u);
  }
  EXPECT_EQ(PoolThreads(4, 4), 4u);
  EXPECT_EQ(PoolThreads(9, 8), 8u);
  EXPECT_GE(PoolThreads(0, 2), 1u);
  EXPECT_LE(PoolThreads(0, 2), 2u);
  EXPECT_EQ(PoolThreads(0, 0), 1u);
}

TEST(WorkerPool, TheFirstFailureStopsThePoolAndIsRethrownToTheWaiter) {
  TWorkerPool pool(2);
  std::atomic<int> ran{0};
  pool.Post(1000, [&](size_t Item, unsigned) {
    ++ran;
    if (Item == 3)
      throw std::runtime_error("item 3 failed");
    if (Item == 4) {
      // Long work sees the stop that the failure brought, and its own failure comes later.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!pool.Stop().StopRequested() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      throw std::logic_error("a later failure");
    }
  });
  try {
    pool.Wait();
    ADD_FAILURE() << "no failure came back";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "item 3 failed");
  }
  EXPECT_TRUE(pool.Stop().StopRequested());
  EXPECT_LT(ran.load(), 1000) << "items queued after the failure still ran";
  // A stopped pool takes nothing new.
  pool.Post(5, [&](size_t, unsigned) { ADD_FAILURE() << "ran after the stop"; });
  EXPECT_THROW(pool.Wait(), std::runtime_error);
}

TEST(WorkerPool, AnOuterStopDropsWhatIsQueuedAndEndsTheWait) {
  TStopSource run;
  TWorkerPool pool(1, run.Token());
  std::atomic<int> ran{0};
  pool.Post(100, [&](size_t Item, unsigned) {
    ++ran;
    if (Item == 0) {
      run.RequestStop();
      EXPECT_TRUE(pool.Stop().StopRequested());
    }
  });
  pool.Wait();  // returns without a failure
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(pool.Busy(), 0u);

  // Stopped before it is made: nothing is ever queued.
  TWorkerPool late(2, run.Token());
  late.Post(3, [&](size_t, unsigned) { ++ran; });
  late.Wait();
  EXPECT_EQ(ran.load(), 1);
}

}  // namespace
}  // namespace vt
