// The sequence of one update run, its failure capture and its hand-over to the view.

#include <chrono>
#include <cstdio>
#include <string>

#include "format/Errors.h"
#include "format/GameFolder.h"
#include "format/InstalledRecord.h"
#include "format/Json.h"
#include "format/Text.h"
#include "update/Updater.h"

namespace vt {

namespace {

// How often a run that waits for the folder's lock tries again.
constexpr std::chrono::milliseconds KLockRetry{100};

std::string UpToDateLine(int32_t Build) {
  return "Up to date (build " + std::to_string(Build) + ").";
}

}  // namespace

void TUpdater::Execute() {
  try {
    // The client is inside the guard too: a client that cannot be made is the run's failure,
    // not a lost thread.
    const std::unique_ptr<THttpClient> client = FOptions.NewClient(FOptions.Client);
    RunSteps(*client);
  } catch (const std::exception& e) {
    // A stopped run ends without an error, whatever the stop cut short.
    if (!StopRequested())
      FError = e.what();
  } catch (...) {
    if (!StopRequested())
      FError = "unexpected failure";
  }
  Finish();
}

void TUpdater::RunSteps(THttpClient& Client) {
  if (FOptions.CheckOnly)
    return RunCheck(Client);
  FetchManifest(Client);
  // Held to the end of this function, so it is free again before UpdateDone is posted: a
  // launcher restarted after a self-update finds it free.
  const std::optional<TFolderLock> lock = LockGameFolder();
  if (!lock)
    return;
  const std::optional<TInstalledRecord> record = ReadInstalledRecord(LocalPath(KInstalledName));
  const TInstalledRecord* root = record ? &*record : nullptr;
  // A verifying run lets the record vouch for no file, yet still learns from it which files
  // the previous build had.
  const TInstalledRecord* vouching = FOptions.Verify ? nullptr : root;
  if (!FOptions.Verify && IsUpToDate(root)) {
    Report(UpToDateLine(FBuild), 1, 1);
    return;
  }
  FetchFileList(Client);
  // A launcher running from the game folder is replaced before anything else, and the new one
  // makes the whole run after its restart.
  FSelf = IsGameFolderLauncher();
  for (const TRemoteFile& file : FFiles) {
    if (IsLauncherEntry(file) && !IsFileCurrent(file, vouching)) {
      FRestart = UpdateLauncher(Client, file);
      return;
    }
  }

  if (!QueueChangedFiles(vouching))
    return;
  if (!FQueue.empty()) {
    PlanChunkedFiles(Client);
    if (StopRequested())
      return;
    CheckFreeSpace();
    DownloadQueue();
  }
  if (StopRequested())
    return;
  RemoveObsoleteFiles(root);
  SaveInstalled();
  Report(UpToDateLine(FBuild), 1, 1);
}

std::optional<TFolderLock> TUpdater::LockGameFolder() {
  bool reported = false;
  for (;;) {
    TFolderLock lock = TFolderLock::TryLock(FDir);
    // A folder that cannot be locked here cannot be changed here either (on Windows the lock
    // is a file in it), so the run goes on: an up-to-date folder on a read-only disk still
    // starts the game.
    if (lock.State() != TFolderLock::TState::Busy)
      return lock;
    if (!FOptions.WaitForLock) {
      throw TUpdateError(
          "another update of this game folder is running - try again when it has finished");
    }
    if (!reported) {
      Report("Waiting for another update of this game folder to finish...", 0, 0);
      reported = true;
    }
    if (FStop.Token().WaitFor(KLockRetry))
      return std::nullopt;
  }
}

bool TUpdater::IsLauncherEntry(const TRemoteFile& File) const {
  return FSelf && AsciiLower(File.Path) == KLauncherName;
}

void TUpdater::Finish() {
  // Reads FError and FRestart when it runs; neither changes after this post.
  FCalls.Post(this, [this] { FForm.UpdateDone(FError, FRestart); });
}

}  // namespace vt
