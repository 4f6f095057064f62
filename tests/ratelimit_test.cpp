#include "update/RateLimit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace vt {
namespace {

using namespace std::chrono_literals;
using TClock = TRateLimit::TClock;

double Seconds(TClock::duration Span) {
  return std::chrono::duration<double>(Span).count();
}

TEST(TRateLimit, WaitsAreWhatTheRateOwesAndReceiversQueueBehindEachOther) {
  TRateLimit limit(1000);
  const TClock::time_point start = TClock::now() + 1h;  // past the construction's bucket fill
  // The full bucket holds a twentieth of a second: 50 bytes pass at once.
  EXPECT_EQ(limit.Charge(50, start), TClock::duration::zero());
  EXPECT_NEAR(Seconds(limit.Charge(100, start)), 0.100, 1e-6);
  // A second receiver at the same moment waits behind the first.
  EXPECT_NEAR(Seconds(limit.Charge(100, start)), 0.200, 1e-6);
  // Time pays the debt off; a long pause refills no more than the bucket.
  EXPECT_NEAR(Seconds(limit.Charge(0, start + 150ms)), 0.050, 1e-6);
  EXPECT_EQ(limit.Charge(50, start + 10s), TClock::duration::zero());
  EXPECT_NEAR(Seconds(limit.Charge(10, start + 10s)), 0.010, 1e-6);
}

TEST(TRateLimit, ReceiversThatWaitAsToldStayUnderTheRateOverAnyStretch) {
  TRateLimit limit(1 << 20);
  TClock::time_point now = TClock::now() + 1h;
  const TClock::time_point start = now;
  int64_t received = 0;
  // Four receivers take turns with 16 KiB pieces; each waits what it is told before its next.
  std::vector<TClock::time_point> ready(4, now);
  for (int piece = 0; piece < 1024; ++piece) {
    const auto next = std::min_element(ready.begin(), ready.end());
    now = std::max(now, *next);
    received += 16384;
    *next = now + limit.Charge(16384, now);
    // Over the stretch so far, no more than the rate, the bucket and one piece per receiver
    // (and a byte for waits rounded to whole nanoseconds).
    EXPECT_LE(received, Seconds(now - start) * (1 << 20) + (1 << 20) / 20.0 + 4 * 16384 + 1);
  }
  EXPECT_GE(received, Seconds(now - start) * (1 << 20));
}

TEST(TRateLimit, TakeEndsItsWaitSoonAfterAStop) {
  TRateLimit limit(1000);
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(50ms);
    stop = true;
  });
  const TClock::time_point start = TClock::now();
  limit.Take(100000, [&] { return stop.load(); });  // would be 100 s
  stopper.join();
  EXPECT_LT(TClock::now() - start, 2s);
}

}  // namespace
}  // namespace vt
