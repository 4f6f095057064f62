#include "update/Progress.h"

#include <algorithm>
#include <utility>

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

TDownloadProgress::TDownloadProgress(TReport Report, int32_t Files, int64_t TotalBytes)
    : FReport(std::move(Report)), FFiles(Files), FTotalBytes(TotalBytes) {}

void TDownloadProgress::Begin() {
  const std::lock_guard<std::mutex> lock(FLock);
  FPace.Note();
  FReport(DownloadProgressLine(0, FFiles, 0, FTotalBytes), 0, FTotalBytes);
}

void TDownloadProgress::FileDone() {
  const std::lock_guard<std::mutex> lock(FLock);
  ++FDoneFiles;
  FPace.Note();
  ReportLocked();
}

void TDownloadProgress::Grow(int64_t Bytes) {
  const std::lock_guard<std::mutex> lock(FLock);
  FTotalBytes += Bytes;
}

void TDownloadProgress::ReportLocked() {
  FShownBytes = std::clamp(FDoneBytes + FInHandBytes, FShownBytes, FTotalBytes);
  FReport(DownloadProgressLine(FDoneFiles, FFiles, FShownBytes, FTotalBytes), FShownBytes,
          FTotalBytes);
}

void TDownloadProgress::TCount::Received(int64_t Bytes) {
  const int64_t now = std::min(Bytes, FSize);
  if (now > FCounted) {
    FProgress.FInHandBytes += now - FCounted;
    FCounted = now;
  }
  if (FProgress.FPace.TryTake()) {
    const std::lock_guard<std::mutex> lock(FProgress.FLock);
    FProgress.ReportLocked();
  }
}

void TDownloadProgress::TCount::CutShort() {
  const std::lock_guard<std::mutex> lock(FProgress.FLock);
  FProgress.FTotalBytes -= FSize - FCounted;
  FSize = FCounted;
}

void TDownloadProgress::TCount::Settle() {
  const std::lock_guard<std::mutex> lock(FProgress.FLock);
  FProgress.FDoneBytes += FSize;
  FProgress.FInHandBytes -= FCounted;
  FCounted = 0;
}

}  // namespace vt
