#pragma once
// A cap on the bytes a second that the transfers of a run receive together: a token bucket
// shared by the download workers.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace vt {

class TRateLimit {
 public:
  using TClock = std::chrono::steady_clock;

  // BytesPerSecond above zero.
  explicit TRateLimit(int64_t BytesPerSecond);

  // Charges Bytes just received and waits until the budget has caught up with them. The wait
  // is made in short slices, each after a look at Stopped, and ends early once it is true.
  void Take(int64_t Bytes, const std::function<bool()>& Stopped);

  // Charges Bytes received at Now and returns how long the receiver must then wait. What runs
  // ahead of the budget is owed, so receivers that share it queue up behind each other.
  TClock::duration Charge(int64_t Bytes, TClock::time_point Now);

 private:
  std::mutex FLock;
  const double FRate;   // bytes a second
  const double FBurst;  // the most the bucket holds
  double FTokens;       // below zero: owed
  TClock::time_point FLast;
};

}  // namespace vt
