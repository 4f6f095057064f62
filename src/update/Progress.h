#pragma once
// The download step's progress: its counts, its line, and the pace at which lines may be
// posted during transfers.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "update/RunContext.h"

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

// The download step's counts: bytes of the transfers done, bytes in hand of those on their way,
// the total, the count last shown, and the files placed; and the lines they make, which never
// show a count going back. Workers update it from their threads.
class TDownloadProgress {
 public:
  TDownloadProgress(TReport Report, int32_t Files, int64_t TotalBytes);

  // Posts the opening line, "0 of N files".
  void Begin();
  // A file was placed: posts its line.
  void FileDone();
  // The total grows by Bytes (a file that must travel whole after all).
  void Grow(int64_t Bytes);

  // One transfer's bytes, counted up to its size so that a body running past it cannot push
  // the count past the total. A line goes out at most at the pace.
  class TCount {
   public:
    TCount(TDownloadProgress& Progress, int64_t Size) : FProgress(Progress), FSize(Size) {}
    // The transfer's bytes received so far.
    void Received(int64_t Bytes);
    // The transfer ended short of its size: what did not come leaves the total.
    void CutShort();
    // The transfer's bytes become done ones.
    void Settle();

   private:
    TDownloadProgress& FProgress;
    int64_t FSize;
    int64_t FCounted = 0;  // of the received bytes, in the progress's in-hand count
  };

 private:
  // Posts the line for the counts now; FLock must be held.
  void ReportLocked();

  const TReport FReport;
  const int32_t FFiles;
  std::mutex FLock;  // orders the lines; guards the counts that are not atomic
  int64_t FTotalBytes;
  int64_t FShownBytes = 0;
  int32_t FDoneFiles = 0;
  int64_t FDoneBytes = 0;
  std::atomic<int64_t> FInHandBytes{0};
  TProgressPace FPace;
};

}  // namespace vt
