#include <windows.h>

#include "platform/Clock.h"

namespace vt {

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t KUnixEpochAsFileTime = 116444736000000000;

int64_t UnixSeconds(const FILETIME& Time) {
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime);
  return (ticks - KUnixEpochAsFileTime) / 10000000;
}

}  // namespace

int64_t LocalClockSeconds() {
  SYSTEMTIME local;
  ::GetLocalTime(&local);
  // The local reading converted as if it were UTC: no time-zone step on purpose.
  FILETIME asUtc;
  if (!::SystemTimeToFileTime(&local, &asUtc))
    return 0;
  return UnixSeconds(asUtc);
}

int64_t UtcClockSeconds() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return UnixSeconds(now);
}

}  // namespace vt
