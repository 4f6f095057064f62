// The checking pass: which listed files differ from the disk. Attributes and the record are
// asked on the update thread in list order; the files that must be hashed are hashed by a few
// threads ahead of it, so both cores read and hash while the pass reports, queues and fails
// exactly as one thread going down the list would.

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "format/DownloadSizes.h"
#include "platform/FileInfo.h"
#include "update/Updater.h"

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

// One entry of the list as far as the pass has decided it.
struct TSlot {
  enum class TState { NotCurrent, Current, Hashing, Failed };
  TState State = TState::Current;
  std::exception_ptr Error;
};

// Threads that hash the files handed to them, each into its slot. Started on the first file to
// hash; stopped and joined by the destructor, also when the pass leaves early.
class THashers {
 public:
  THashers(const TUpdater& Updater, const TStopToken& RunStop)
      : FUpdater(Updater), FLink(RunStop, [this] { FStop.RequestStop(); }) {
    FThreadLimit = std::clamp(std::thread::hardware_concurrency(), 1u, KMaxHashThreads);
  }
  ~THashers() {
    FStop.RequestStop();
    {
      const std::lock_guard<std::mutex> lock(FLock);
      FClosing = true;
    }
    FWake.notify_all();
    for (std::thread& thread : FThreads)
      thread.join();
  }
  THashers(const THashers&) = delete;
  THashers& operator=(const THashers&) = delete;

  bool Full() {
    const std::lock_guard<std::mutex> lock(FLock);
    return FInFlight >= FThreadLimit * KHashesPerThread;
  }
  void Add(TSlot& Slot, const TRemoteFile& File) {
    Slot.State = TSlot::TState::Hashing;
    {
      const std::lock_guard<std::mutex> lock(FLock);
      FJobs.push_back({&Slot, &File});
      ++FInFlight;
    }
    if (FThreads.size() < FThreadLimit)
      FThreads.emplace_back([this] { Work(); });
    FWake.notify_one();
  }
  void Wait(TSlot& Slot) {
    std::unique_lock<std::mutex> lock(FLock);
    FDone.wait(lock, [&] { return Slot.State != TSlot::TState::Hashing; });
  }

 private:
  struct TJob {
    TSlot* Slot;
    const TRemoteFile* File;
  };

  void Work() {
    for (;;) {
      TJob job{};
      {
        std::unique_lock<std::mutex> lock(FLock);
        FWake.wait(lock, [&] { return FClosing || !FJobs.empty(); });
        if (FClosing)
          return;
        job = FJobs.front();
        FJobs.pop_front();
      }
      TSlot::TState state = TSlot::TState::Failed;
      std::exception_ptr error;
      try {
        state = FUpdater.HashMatches(*job.File, FStop.Token()) ? TSlot::TState::Current
                                                               : TSlot::TState::NotCurrent;
      } catch (...) {
        error = std::current_exception();
      }
      {
        const std::lock_guard<std::mutex> lock(FLock);
        job.Slot->State = state;
        job.Slot->Error = error;
        --FInFlight;
      }
      FDone.notify_all();
    }
  }

  const TUpdater& FUpdater;
  TStopSource FStop;  // the run's stop, and the pass's end
  TStopCallback FLink;
  unsigned FThreadLimit = 1;
  std::mutex FLock;  // guards the jobs, the count and the slots' outcomes
  std::condition_variable FWake;
  std::condition_variable FDone;
  std::deque<TJob> FJobs;
  size_t FInFlight = 0;
  bool FClosing = false;
  std::vector<std::thread> FThreads;
};

}  // namespace

bool TUpdater::QueueChangedFiles(const TInstalledRecord* Vouching) {
  FQueue.clear();
  FTotalBytes = 0;
  const auto count = static_cast<int32_t>(FFiles.size());
  TFileInfoReader info(FDir);
  // The entries from the one reached on, decided in list order. Before the hashers, so that
  // they are stopped before the slots they write go away.
  std::deque<TSlot> window;
  int32_t decided = 0;
  // A decision raised: the pass fails there unless an earlier entry fails first, so nothing
  // past it is decided.
  bool halted = false;
  THashers hashers(*this, FStop.Token());
  for (int32_t i = 0; i < count; ++i) {
    if (StopRequested())
      return false;
    if (i % KCheckingStride == 0)
      Report(CheckingLine(i, count), i, count);
    while (!halted && decided < count &&
           (decided == i || (window.size() < KLookAhead && !hashers.Full()))) {
      TSlot& slot = window.emplace_back();
      const TRemoteFile& file = FFiles[decided++];
      if (IsLauncherEntry(file))
        continue;  // replaced by its own step
      try {
        switch (KnownWithoutHashing(file, Vouching, info)) {
          case TKnown::NotCurrent:
            slot.State = TSlot::TState::NotCurrent;
            break;
          case TKnown::Current:
            break;
          case TKnown::Hash:
            hashers.Add(slot, file);
            break;
        }
      } catch (...) {
        slot.State = TSlot::TState::Failed;
        slot.Error = std::current_exception();
        halted = true;
      }
    }
    TSlot& slot = window.front();
    hashers.Wait(slot);
    if (slot.State == TSlot::TState::Failed)
      std::rethrow_exception(slot.Error);
    if (slot.State == TSlot::TState::NotCurrent) {
      FQueue.push_back(i);
      FTotalBytes += DownloadSize(FFiles[i]);
    }
    window.pop_front();
  }
  return true;
}

}  // namespace vt
