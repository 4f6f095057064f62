#include "update/RateLimit.h"

#include <algorithm>
#include <thread>

namespace vt {

namespace {

// A stop is seen within this while waiting.
constexpr auto KSlice = std::chrono::milliseconds(20);
// The bucket holds a twentieth of a second's worth, so that no two-second stretch gets more
// than a few percent over the rate, yet a slow start of one worker does not waste the budget.
constexpr double KBurstSeconds = 0.05;

}  // namespace

TRateLimit::TRateLimit(int64_t BytesPerSecond)
    : FRate(static_cast<double>(std::max<int64_t>(BytesPerSecond, 1))),
      FBurst(FRate * KBurstSeconds),
      FTokens(FBurst),
      FLast(TClock::now()) {}

TRateLimit::TClock::duration TRateLimit::Charge(int64_t Bytes, TClock::time_point Now) {
  std::lock_guard<std::mutex> lock(FLock);
  if (Now > FLast) {
    const double elapsed = std::chrono::duration<double>(Now - FLast).count();
    FTokens = std::min(FBurst, FTokens + elapsed * FRate);
    FLast = Now;
  }
  FTokens -= static_cast<double>(Bytes);
  if (FTokens >= 0)
    return TClock::duration::zero();
  return std::chrono::duration_cast<TClock::duration>(
      std::chrono::duration<double>(-FTokens / FRate));
}

void TRateLimit::Take(int64_t Bytes, const std::function<bool()>& Stopped) {
  const TClock::time_point start = TClock::now();
  const TClock::time_point until = start + Charge(Bytes, start);
  for (TClock::time_point now = TClock::now(); now < until && !Stopped(); now = TClock::now())
    std::this_thread::sleep_for(std::min<TClock::duration>(until - now, KSlice));
}

}  // namespace vt
