// The download step: four workers place the queued files; the first failure stops the queue.

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/SysError.h"
#include "update/Delta.h"
#include "update/Errors.h"
#include "update/Progress.h"
#include "update/Updater.h"

namespace vt {
namespace {

// The first failure wins. A message may not be empty, or the failure would pass for success.
void KeepFirstFailure(std::mutex& Lock, std::string& Failed, std::string Message) {
  if (Message.empty())
    Message = "a download failed for an unknown reason";
  std::lock_guard<std::mutex> lock(Lock);
  if (Failed.empty())
    Failed = std::move(Message);
}

}  // namespace

void TUpdater::DownloadQueue() {
  // Every folder first, on this thread, so that a blocked one fails the run before any transfer.
  std::string previous;
  for (const int32_t index : FQueue) {
    const std::string target = LocalPath(FFiles[index].Path);
    const std::string folder = target.substr(0, target.find_last_of(KPathSeparator) + 1);
    if (folder == previous)
      continue;
    if (!CreateFolders(folder)) {
      const std::string reason = LastSystemErrorText();
      if (!FolderExists(folder))
        throw TUpdateError("cannot create the folder " + folder + " - " + reason);
    }
    previous = folder;
  }

  FNext = 0;
  {
    std::lock_guard<std::mutex> progress(FProgressLock);
    FPace.Note();
    Report(DownloadProgressLine(0, static_cast<int32_t>(FQueue.size()), 0, FTotalBytes), 0,
           FTotalBytes);
  }
  {
    // jthread, so that workers already running are joined should a later one fail to start.
    std::vector<std::jthread> workers;
    workers.reserve(KWorkerCount);
    for (int i = 0; i < KWorkerCount; ++i)
      workers.emplace_back([this] { DownloadWorker(); });
    for (std::jthread& worker : workers)
      worker.join();
  }
  std::string failed;
  {
    std::lock_guard<std::mutex> lock(FLock);
    failed = FFailed;
  }
  if (!failed.empty())
    throw TUpdateError(failed);
}

// Runs on a worker thread: nothing may escape it, so every failure ends up in FFailed.
void TUpdater::DownloadWorker() {
  try {
    const std::unique_ptr<THttpClient> client = NewHttpClient(FOptions.Worker);
    const auto count = static_cast<int32_t>(FQueue.size());
    // A stop is also seen inside a transfer: the client cuts it short.
    while (!StopRequested()) {
      const int32_t position = FNext.fetch_add(1);
      if (position >= count)
        return;
      {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FFailed.empty())
          return;
      }
      const int32_t index = FQueue[position];
      const TRemoteFile file = FFiles[index];
      const TChunkPlan* plan =
          index < static_cast<int32_t>(FPlans.size()) ? FPlans[index].get() : nullptr;
      int64_t size = plan != nullptr ? plan->FetchBytes : DownloadSize(file);
      int64_t counted = 0;  // of this file's bytes, in FInHandBytes
      const TReceived onReceived = [&](int64_t Received) {
        // A body may run past its download size before it is cut off; it counts up to it.
        const int64_t now = std::min(Received, size);
        if (now > counted) {
          FInHandBytes += now - counted;
          counted = now;
        }
        if (FPace.TryTake()) {
          std::lock_guard<std::mutex> progress(FProgressLock);
          ReportDownloads(count);
        }
      };
      const std::string target = LocalPath(file.Path);
      if (plan != nullptr &&
          (FNoRanges || !DownloadChunked(*client, file, *plan, target, onReceived))) {
        // The server sends only whole objects: this file's total grows to its object, once.
        FNoRanges = true;
        std::lock_guard<std::mutex> progress(FProgressLock);
        FTotalBytes += DownloadSize(file) - size;
        size = DownloadSize(file);
        plan = nullptr;
      }
      if (plan == nullptr)
        DownloadFile(*client, file, target, onReceived);
      std::lock_guard<std::mutex> progress(FProgressLock);
      FDoneBytes += size;
      FInHandBytes -= counted;
      ++FDoneFiles;
      FPace.Note();
      ReportDownloads(count);
    }
  } catch (const std::exception& Failure) {
    // A transfer cut by the stop is no failure: the run ends as a stopped one.
    if (!StopRequested())
      KeepFirstFailure(FLock, FFailed, Failure.what());
  } catch (...) {
    if (!StopRequested())
      KeepFirstFailure(FLock, FFailed, {});
  }
}

void TUpdater::ReportDownloads(int32_t Files) {
  FShownBytes = std::clamp(FDoneBytes + FInHandBytes, FShownBytes, FTotalBytes);
  Report(DownloadProgressLine(FDoneFiles, Files, FShownBytes, FTotalBytes), FShownBytes,
         FTotalBytes);
}

}  // namespace vt
