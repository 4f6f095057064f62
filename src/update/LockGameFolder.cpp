#include "update/LockGameFolder.h"

#include <chrono>

#include "format/Errors.h"

namespace vt {

namespace {

// How often a run that waits for the folder's lock tries again.
constexpr std::chrono::milliseconds KLockRetry{100};

}  // namespace

std::optional<TFolderLock> LockGameFolder(const TRunContext& Run) {
  bool reported = false;
  for (;;) {
    TFolderLock lock = TFolderLock::TryLock(Run.Dir);
    // A folder that cannot be locked here cannot be changed here either (on Windows the lock
    // is a file in it), so the run goes on: an up-to-date folder on a read-only disk still
    // starts the game.
    if (lock.State() != TFolderLock::TState::Busy)
      return lock;
    if (!Run.Options.WaitForLock) {
      throw TUpdateError(
          "another update of this game folder is running - try again when it has finished");
    }
    if (!reported) {
      Run.Report("Waiting for another update of this game folder to finish...", 0, 0);
      reported = true;
    }
    if (Run.Stop.WaitFor(KLockRetry))
      return std::nullopt;
  }
}

}  // namespace vt
