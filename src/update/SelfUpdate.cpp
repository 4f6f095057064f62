// The launcher's own executable: fetched under a side name, then swapped in with two renames,
// because a running program cannot be replaced in place on Windows.

#include <algorithm>

#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "format/GameFolder.h"
#include "format/Json.h"
#include "format/Text.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/SysError.h"
#include "update/Updater.h"

namespace vt {
namespace {

[[noreturn]] void FailLauncherUpdate(const std::string& SystemText) {
  throw TUpdateError("cannot update the launcher: " + SystemText);
}

}  // namespace

bool TUpdater::IsGameFolderLauncher() const {
  if (FOptions.SelfPath.empty())
    return false;
  return AsciiLower(AbsolutePath(FOptions.SelfPath)) ==
         AsciiLower(AbsolutePath(FDir + KLauncherName));
}

bool TUpdater::UpdateLauncher(THttpClient& Client, const TRemoteFile& File) {
  const std::string running = FOptions.SelfPath;
  const std::string newName = FDir + KNewLauncherName;
  const std::string oldName = FDir + KOldLauncherName;
  Report("Updating the launcher...", 0, 0);
  const int64_t size = DownloadSize(File);
  DownloadFile(Client, File, newName, [&](int64_t Received) {
    if (FPace.TryTake())
      Report("Updating the launcher...", std::min(Received, size), size);
  });

  RemoveFile(oldName);  // usually absent; one that stays makes the next move fail, as it should
  if (const TSysStatus moved = RenameFile(running, oldName); !moved)
    FailLauncherUpdate(moved.Text());
  if (const TSysStatus moved = RenameFile(newName, LocalPath(File.Path)); !moved) {
    RenameFile(oldName, running);  // its own outcome is not examined
    FailLauncherUpdate(moved.Text());
  }
  return true;
}

}  // namespace vt
