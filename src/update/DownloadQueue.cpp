// The download step: four workers place the queued files; the first failure stops the queue.

#include <charconv>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/Locale.h"
#include "platform/SysError.h"
#include "update/Errors.h"
#include "update/Updater.h"

namespace vt {
namespace {

constexpr double KBytesPerMb = 1048576.0;

// One digit after the separator. Formatted without the C locale, so that the result does not
// depend on what a GUI toolkit did to the process's global locale.
std::string Megabytes(int64_t Bytes, const std::string& Separator) {
  char buffer[64];
  const auto end =
      std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(Bytes) / KBytesPerMb,
                    std::chars_format::fixed, 1)
          .ptr;
  std::string text(buffer, end);
  if (const size_t point = text.find('.'); point != std::string::npos)
    text.replace(point, 1, Separator);
  return text;
}

// The first failure wins. A message may not be empty, or the failure would pass for success.
void KeepFirstFailure(std::mutex& Lock, std::string& Failed, std::string Message) {
  if (Message.empty())
    Message = "a download failed for an unknown reason";
  std::lock_guard<std::mutex> lock(Lock);
  if (Failed.empty())
    Failed = std::move(Message);
}

}  // namespace

std::string DownloadProgressLine(int32_t DoneFiles, int32_t Files, int64_t DoneBytes,
                                 int64_t TotalBytes) {
  const std::string separator = UserDecimalSeparator();
  return "Downloading the update: " + std::to_string(DoneFiles) + " of " + std::to_string(Files) +
         " files (" + Megabytes(DoneBytes, separator) + " of " + Megabytes(TotalBytes, separator) +
         " MB)";
}

std::string MegabytesText(int64_t Bytes) {
  return Megabytes(Bytes, UserDecimalSeparator());
}

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
    // The stop request is looked at only between files: a transfer is never cut short.
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
      DownloadFile(*client, file, LocalPath(file.Path));
      // Counted and posted under one lock, so that the lines reach the view in the order of
      // their counts and the bar never steps back.
      std::lock_guard<std::mutex> progress(FProgressLock);
      const int64_t doneBytes = FDoneBytes += DownloadSize(file);
      const int32_t doneFiles = ++FDoneFiles;
      Report(DownloadProgressLine(doneFiles, count, doneBytes, FTotalBytes), doneBytes,
             FTotalBytes);
    }
  } catch (const std::exception& Failure) {
    KeepFirstFailure(FLock, FFailed, Failure.what());
  } catch (...) {
    KeepFirstFailure(FLock, FFailed, {});
  }
}

}  // namespace vt
