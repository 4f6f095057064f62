#include "update/Progress.h"

#include "format/Text.h"
#include "platform/Locale.h"

namespace vt {

std::string DownloadProgressLine(int32_t DoneFiles, int32_t Files, int64_t DoneBytes,
                                 int64_t TotalBytes) {
  const std::string separator = UserDecimalSeparator();
  return "Downloading the update: " + std::to_string(DoneFiles) + " of " + std::to_string(Files) +
         " files (" + MegabytesText(DoneBytes, separator) + " of " +
         MegabytesText(TotalBytes, separator) + " MB)";
}

TProgressPace::TProgressPace(TClock::duration Interval)
    : FInterval(Interval.count()), FLast(TClock::now().time_since_epoch().count()) {}

bool TProgressPace::TryTake() {
  const TClock::rep now = TClock::now().time_since_epoch().count();
  TClock::rep last = FLast.load();
  // Only the thread whose exchange succeeds posts; the others see the new time.
  return now - last >= FInterval && FLast.compare_exchange_strong(last, now);
}

void TProgressPace::Note() {
  FLast = TClock::now().time_since_epoch().count();
}

}  // namespace vt
