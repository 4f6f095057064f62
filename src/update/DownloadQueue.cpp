// The download step: four workers place the queued files; the first failure stops the queue.

#include <algorithm>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/SysError.h"
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
    // Each placed file's folder is flushed once, when the workers are done (also when one
    // failed), instead of once per file; the record is written only after that.
    const TFolderFlushes flushes(*this);
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

TUpdater::TFolderFlushes::TFolderFlushes(const TUpdater& Run) : FRun(Run) {
  FRun.FFlushFoldersLater = true;
}

TUpdater::TFolderFlushes::~TFolderFlushes() {
  FRun.FFlushFoldersLater = false;
  std::set<std::string> folders;
  {
    std::lock_guard<std::mutex> lock(FRun.FFoldersLock);
    folders.swap(FRun.FUnflushedFolders);
  }
  // As with a flush right after each move, a folder that cannot be flushed is passed over: the
  // files in it are the old or the new ones after a crash all the same.
  for (const std::string& folder : folders)
    FlushFolder(folder);
}

bool TUpdater::PlaceVerified(const std::string& Candidate, const std::string& Target) const {
  if (!FFlushFoldersLater)
    return ReplaceFile(Candidate, Target);
  if (!ReplaceFileFolderLater(Candidate, Target))
    return false;
  const size_t last = Target.find_last_of(KPathSeparator);
  std::lock_guard<std::mutex> lock(FFoldersLock);
  FUnflushedFolders.insert(last == std::string::npos ? std::string(".")
                                                     : Target.substr(0, last + 1));
  return true;
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
      const TRemoteFile file = FFiles[FQueue[position]];
      const int64_t size = DownloadSize(file);
      int64_t counted = 0;  // of this file's bytes, in FInHandBytes
      DownloadFile(*client, file, LocalPath(file.Path), [&](int64_t Received) {
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
      });
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
