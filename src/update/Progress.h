#pragma once
// The download step's progress line, and the pace at which lines may be posted during transfers.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace vt {

// "Downloading the update: %d of %d files (%.1f of %.1f MB)" with sizes in MiB and the user's
// decimal separator.
std::string DownloadProgressLine(int32_t DoneFiles, int32_t Files, int64_t DoneBytes,
                                 int64_t TotalBytes);

// Lets a line through at most once per interval, whichever thread asks: the window repaints per
// line, and four workers receiving fast would otherwise post thousands a second.
class TProgressPace {
 public:
  using TClock = std::chrono::steady_clock;

  // 250 ms: with the line after a placed file, still at most five lines in a second.
  explicit TProgressPace(TClock::duration Interval = std::chrono::milliseconds(250));

  // True, once, when the interval has passed since the last line let through or noted.
  bool TryTake();
  // Notes a line posted outside the pace (such as the one after each placed file).
  void Note();

 private:
  const TClock::rep FInterval;
  std::atomic<TClock::rep> FLast;
};

}  // namespace vt
