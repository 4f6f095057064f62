// The download step: four workers place the queued files; the first failure stops the queue.

#include <algorithm>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "format/Paths.h"
#include "platform/Files.h"
#include "platform/SysError.h"
#include "update/Delta.h"
#include "update/DownloadQueue.h"
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
    const std::string folder = FolderOf(LocalPath(FFiles[index].Path));
    if (folder == previous)
      continue;
    if (const TSysStatus made = CreateFolders(folder); !made) {
      if (!FolderExists(folder))
        throw TUpdateError("cannot create the folder " + folder + " - " + made.Text());
    }
    previous = folder;
  }

  // A planned file's shares follow one another, so that the workers take them up together.
  FItems.clear();
  for (const int32_t index : FQueue) {
    const TPlannedFile* planned = PlanOf(index);
    if (planned == nullptr) {
      FItems.push_back({index, -1});
      continue;
    }
    for (size_t piece = 0; piece < planned->Pieces.size(); ++piece)
      FItems.push_back({index, static_cast<int32_t>(piece)});
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

TSysStatus TUpdater::MoveIntoPlace(const std::string& Candidate, const std::string& Target) const {
  if (!FFlushFoldersLater)
    return ReplaceFile(Candidate, Target);
  if (TSysStatus moved = ReplaceFileFolderLater(Candidate, Target); !moved)
    return moved;
  const std::string folder = FolderOf(Target);
  std::lock_guard<std::mutex> lock(FFoldersLock);
  FUnflushedFolders.insert(folder.empty() ? std::string(".") : folder);
  return {};
}

TPlannedFile* TUpdater::PlanOf(int32_t Index) const {
  // Tests that set the files directly plan nothing.
  return Index < static_cast<int32_t>(FPlans.size()) ? FPlans[Index].get() : nullptr;
}

// Runs on a worker thread: nothing may escape it, so every failure ends up in FFailed.
void TUpdater::DownloadWorker() {
  try {
    const std::unique_ptr<THttpClient> client = FOptions.NewClient(FOptions.Worker);
    const auto files = static_cast<int32_t>(FQueue.size());
    const auto items = static_cast<int32_t>(FItems.size());
    // A stop is also seen inside a transfer: the client cuts it short.
    while (!StopRequested()) {
      const int32_t position = FNext.fetch_add(1);
      if (position >= items)
        return;
      {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FFailed.empty())
          return;
      }
      const TWorkItem item = FItems[position];
      const TRemoteFile file = FFiles[item.File];
      TPlannedFile* planned = item.Piece >= 0 ? PlanOf(item.File) : nullptr;
      int64_t size = planned != nullptr ? planned->Pieces[item.Piece].Bytes : DownloadSize(file);
      int64_t counted = 0;  // of this transfer's bytes, in FInHandBytes
      const TReceived onReceived = [&](int64_t Received) {
        // A body may run past its download size before it is cut off; it counts up to it.
        const int64_t now = std::min(Received, size);
        if (now > counted) {
          FInHandBytes += now - counted;
          counted = now;
        }
        if (FPace.TryTake()) {
          std::lock_guard<std::mutex> progress(FProgressLock);
          ReportDownloads(files);
        }
      };
      // The transfer's bytes become done ones.
      const auto settle = [&] {
        std::lock_guard<std::mutex> progress(FProgressLock);
        FDoneBytes += size;
        FInHandBytes -= counted;
        counted = 0;
      };
      const std::string target = LocalPath(file.Path);
      if (planned == nullptr) {
        DownloadFile(*client, file, target, onReceived);
        settle();
      } else {
        if (FNoRanges ||
            !FetchChunkPiece(*client, file, *planned, item.Piece, target, onReceived)) {
          // The server sends only whole objects after all: this share will not travel.
          FNoRanges = true;
          planned->Whole = true;
          std::lock_guard<std::mutex> progress(FProgressLock);
          FTotalBytes -= size - counted;
          size = counted;
        }
        settle();
        if (planned->Left.fetch_sub(1) != 1)
          continue;  // another worker ends this file
        if (planned->Whole) {
          {
            std::lock_guard<std::mutex> progress(FProgressLock);
            FTotalBytes += DownloadSize(file);
          }
          size = DownloadSize(file);
          DownloadFile(*client, file, target, onReceived);
          settle();
        } else {
          AssembleChunked(file, planned->Plan, target);
        }
      }
      std::lock_guard<std::mutex> progress(FProgressLock);
      ++FDoneFiles;
      FPace.Note();
      ReportDownloads(files);
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
