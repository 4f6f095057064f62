#include <windows.h>

#include "platform/Clock.h"

namespace vt {

int64_t LocalClockSeconds() {
  // 100 ns intervals between 1601-01-01 and 1970-01-01.
  constexpr int64_t KUnixEpochAsFileTime = 116444736000000000;
  SYSTEMTIME local;
  ::GetLocalTime(&local);
  // The local reading converted as if it were UTC: no time-zone step on purpose.
  FILETIME asUtc;
  if (!::SystemTimeToFileTime(&local, &asUtc))
    return 0;
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(asUtc.dwHighDateTime) << 32) |
                                             asUtc.dwLowDateTime);
  return (ticks - KUnixEpochAsFileTime) / 10000000;
}

}  // namespace vt
