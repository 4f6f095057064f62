// The checking pass. Attributes and the record are asked on the run's thread in list order; the
// files that must be hashed are hashed by the worker pool ahead of it, so both cores read and
// hash while the pass reports, plans and fails as one thread going down the list would.

#include "update/CompareFiles.h"

#include <deque>
#include <exception>
#include <future>
#include <string>

#include "format/DownloadSizes.h"
#include "platform/FileInfo.h"
#include "platform/WorkerPool.h"
#include "update/Progress.h"

namespace vt {

namespace {

// Entries per progress line of the checking pass.
constexpr int32_t KCheckingStride = 100;
// Entries decided ahead of the one the pass has reached, and hashes queued or running per
// thread at most: enough to keep the threads busy, bounded whatever the list holds.
constexpr size_t KLookAhead = 256;
constexpr size_t KHashesPerThread = 4;
constexpr unsigned KMaxHashThreads = 4;

std::string CheckingLine(int32_t Index, int32_t Count) {
  return "Checking files: " + std::to_string(Index) + " of " + std::to_string(Count);
}

// One entry as far as the pass has decided it: current or not, or a hash on its way (which
// holds the failure of the hashing, if it failed).
struct TSlot {
  bool Current = true;
  std::future<bool> Hashed;  // valid while the entry is hashed
  std::exception_ptr Failed;

  bool Take() {
    if (Hashed.valid())
      Current = Hashed.get();  // rethrows a hash's failure
    if (Failed)
      std::rethrow_exception(Failed);
    return Current;
  }
};

}  // namespace

std::optional<TUpdatePlan> CompareFiles(const TRunContext& Run,
                                        const std::vector<TRemoteFile>& Files,
                                        const TInstalled& Installed, const TRemoteFile* Skip) {
  TUpdatePlan plan;
  plan.Remove = ObsoleteFiles(Installed.Previous(), Files);
  const TInstalledRecord* vouching = Installed.Vouching();
  const auto count = static_cast<int32_t>(Files.size());
  TFileInfoReader info(Run.Dir);
  // The entries from the one reached on, decided in list order.
  std::deque<TSlot> window;
  int32_t decided = 0;
  // A decision raised: the pass fails there unless an earlier entry fails first, so nothing
  // past it is decided.
  bool halted = false;
  const unsigned threads = PoolThreads(0, KMaxHashThreads);
  TWorkerPool hashers(threads, Run.Stop);
  // A repair hashes every file, so its bar follows the bytes hashed rather than the entries,
  // which one big file would hold still; the line still counts the files.
  int64_t totalBytes = 0, checkedBytes = 0;
  for (const TRemoteFile& file : Files)
    totalBytes += file.Size;
  TProgressPace pace;
  for (int32_t i = 0; i < count; ++i) {
    if (Run.StopRequested())
      return std::nullopt;
    if (i > 0)
      checkedBytes += Files[i - 1].Size;
    if (!Run.Options.Verify) {
      if (i % KCheckingStride == 0)
        Run.Report(CheckingLine(i, count), i, count);
    } else if (i == 0 || pace.TryTake()) {
      Run.Report(CheckingLine(i, count), checkedBytes, totalBytes);
    }
    while (!halted && decided < count &&
           (decided == i ||
            (window.size() < KLookAhead && hashers.Busy() < threads * KHashesPerThread))) {
      TSlot& slot = window.emplace_back();
      const TRemoteFile& file = Files[decided++];
      if (&file == Skip)
        continue;
      try {
        switch (KnownWithoutHashing(file, vouching, info)) {
          case TKnown::NotCurrent:
            slot.Current = false;
            break;
          case TKnown::Current:
            break;
          case TKnown::Hash: {
            auto hashed = std::make_shared<std::promise<bool>>();
            slot.Hashed = hashed->get_future();
            hashers.Post(1, [&Run, &file, hashed](size_t, unsigned) {
              try {
                hashed->set_value(HashMatches(Run.Dir, file, Run.Stop));
              } catch (...) {
                hashed->set_exception(std::current_exception());
              }
            });
            break;
          }
        }
      } catch (...) {
        slot.Failed = std::current_exception();
        halted = true;
      }
    }
    const bool current = window.front().Take();
    window.pop_front();
    if (!current) {
      plan.Fetch.push_back({&Files[i], nullptr});
      plan.TotalBytes += DownloadSize(Files[i]);
    }
  }
  return plan;
}

}  // namespace vt
