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

// The progress lines' unit: a MiB.
constexpr double KBytesPerMb = 1048576.0;

// Value with one digit after Separator.
std::string DecimalText(double Value, const std::string& Separator);

// Bytes in MiB with one digit after Separator ("9.5" for 10,000,000 bytes): how every line and
// message that counts megabytes writes them.
std::string MegabytesText(int64_t Bytes, const std::string& Separator);

// The same with the user's decimal separator, as the progress lines and the engine's messages
// show it.
std::string MegabytesText(int64_t Bytes);

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
