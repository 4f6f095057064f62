#include "update/Progress.h"

#include <charconv>

#include "platform/Locale.h"

namespace vt {

std::string DecimalText(double Value, const std::string& Separator) {
  // Formatted without the C locale, so that the result does not depend on what a GUI toolkit
  // did to the process's global locale.
  char buffer[64];
  const auto end =
      std::to_chars(buffer, buffer + sizeof buffer, Value, std::chars_format::fixed, 1).ptr;
  std::string text(buffer, end);
  if (const size_t point = text.find('.'); point != std::string::npos)
    text.replace(point, 1, Separator);
  return text;
}

std::string DownloadProgressLine(int32_t DoneFiles, int32_t Files, int64_t DoneBytes,
                                 int64_t TotalBytes) {
  const std::string separator = UserDecimalSeparator();
  return "Downloading the update: " + std::to_string(DoneFiles) + " of " + std::to_string(Files) +
         " files (" + MegabytesText(DoneBytes, separator) + " of " +
         MegabytesText(TotalBytes, separator) + " MB)";
}

std::string MegabytesText(int64_t Bytes, const std::string& Separator) {
  return DecimalText(static_cast<double>(Bytes) / KBytesPerMb, Separator);
}

std::string MegabytesText(int64_t Bytes) {
  return MegabytesText(Bytes, UserDecimalSeparator());
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
