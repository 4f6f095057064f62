#include "update/CallQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace vt {
namespace {

TEST(CallQueue, RunsCallsInPostingOrderAndDiscardsByTag) {
  int wakeUps = 0;
  TCallQueue queue([&] { ++wakeUps; });
  std::string trace;
  int a = 0, b = 0;
  queue.Post(&a, [&] { trace += "a1 "; });
  queue.Post(&b, [&] { trace += "b1 "; });
  queue.Post(&a, [&] { trace += "a2 "; });
  queue.Discard(&b);
  EXPECT_EQ(wakeUps, 3);
  EXPECT_EQ(queue.RunPending(), 2u);
  EXPECT_EQ(trace, "a1 a2 ");
  EXPECT_EQ(queue.RunPending(), 0u);
}

TEST(CallQueue, CallPostedWhileRunningWaitsForTheNextRound) {
  TCallQueue queue;
  std::vector<int> order;
  queue.Post(nullptr, [&] {
    order.push_back(1);
    queue.Post(nullptr, [&] { order.push_back(3); });
  });
  queue.Post(nullptr, [&] { order.push_back(2); });
  EXPECT_EQ(queue.RunPending(), 2u);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(queue.RunPending(), 1u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(CallQueue, ACallCanDiscardLaterCallsOfItsRound) {
  TCallQueue queue;
  int tag = 0;
  bool laterRan = false;
  queue.Post(nullptr, [&] { queue.Discard(&tag); });
  queue.Post(&tag, [&] { laterRan = true; });
  queue.RunPending();
  EXPECT_FALSE(laterRan);
}

TEST(CallQueue, PostsFromManyThreadsAllArriveInEachThreadsOrder) {
  TCallQueue queue;
  constexpr int kThreads = 4, kPosts = 500;
  std::vector<std::vector<int>> seen(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kPosts; ++i)
          queue.Post(nullptr, [&, t, i] { seen[t].push_back(i); });
      });
    }
  }
  queue.RunPending();
  for (const auto& list : seen) {
    ASSERT_EQ(list.size(), static_cast<size_t>(kPosts));
    for (int i = 0; i < kPosts; ++i)
      EXPECT_EQ(list[i], i);
  }
}

}  // namespace
}  // namespace vt
