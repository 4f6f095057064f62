#include <ctime>

#include "platform/Clock.h"

namespace vt {

int64_t LocalClockSeconds() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr)
    return static_cast<int64_t>(now);
  return static_cast<int64_t>(now) + local.tm_gmtoff;
}

int64_t UtcClockSeconds() {
  return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace vt
