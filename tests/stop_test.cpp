#include "platform/Stop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

namespace vt {
namespace {

TEST(Stop, EachCallbackRunsOnceAndOnlyWhileRegistered) {
  TStopSource source;
  int before = 0, dropped = 0, self = 0, after = 0;
  TStopCallback registered(source.Token(), [&] { ++before; });
  std::optional<TStopCallback> gone(std::in_place, source.Token(), [&] { ++dropped; });
  gone.reset();
  // One that destroys itself while the requesting thread runs it.
  std::optional<TStopCallback> selfDestroying;
  selfDestroying.emplace(source.Token(), [&] {
    ++self;
    selfDestroying.reset();
  });

  EXPECT_FALSE(source.StopRequested());
  EXPECT_TRUE(source.RequestStop());
  EXPECT_FALSE(source.RequestStop());
  EXPECT_TRUE(source.Token().StopRequested());
  const TStopCallback late(source.Token(), [&] { ++after; });
  EXPECT_EQ(before, 1);
  EXPECT_EQ(dropped, 0);
  EXPECT_EQ(self, 1);
  EXPECT_EQ(after, 1) << "registered after the stop: runs at once";

  // A token of no source never stops and runs nothing.
  const TStopToken none;
  const TStopCallback never(none, [&] { ++after; });
  EXPECT_FALSE(none.StopRequested());
  EXPECT_FALSE(none.WaitFor(std::chrono::milliseconds(1)));
  EXPECT_EQ(after, 1);
}

TEST(Stop, WaitForWakesAtTheStop) {
  TStopSource source;
  std::atomic<bool> woke = false;
  std::thread waiter([&] { woke = source.Token().WaitFor(std::chrono::hours(1)); });
  source.RequestStop();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(Stop, DestroyingACallbackThatAnotherThreadRunsWaitsForItsEnd) {
  TStopSource source;
  std::atomic<bool> entered = false, release = false, returned = false, destroyed = false;
  auto callback = std::make_unique<TStopCallback>(source.Token(), [&] {
    entered = true;
    while (!release)
      std::this_thread::yield();
    returned = true;
  });
  std::thread requester([&] { source.RequestStop(); });
  while (!entered)
    std::this_thread::yield();
  std::thread owner([&] {
    callback.reset();
    destroyed = true;
    EXPECT_TRUE(returned) << "destroyed while still running";
  });
  for (int i = 0; i < 1000 && !destroyed; ++i)
    std::this_thread::yield();
  EXPECT_FALSE(destroyed);
  release = true;
  owner.join();
  requester.join();
  EXPECT_TRUE(destroyed);
}

// The owner's destructor meeting the end of the callback, over and over: the moment where a
// missed wake-up leaves the owner waiting for good.
TEST(Stop, OwnerAndRequesterRaceWithoutHanging) {
  for (int i = 0; i < 3000; ++i) {
    TStopSource source;
    std::atomic<int> runs = 0;
    std::atomic<bool> ready = false;
    std::thread owner([&] {
      const TStopCallback callback(source.Token(), [&, spin = i % 500] {
        std::atomic<int> step = 0;
        while (step.fetch_add(1) < spin) {
        }
        ++runs;
      });
      ready = true;
      while (!source.StopRequested())
        std::this_thread::yield();
    });
    while (!ready)
      std::this_thread::yield();
    source.RequestStop();
    owner.join();
    ASSERT_EQ(runs, 1) << "iteration " << i;
  }
}

}  // namespace
}  // namespace vt
