// The launcher's own executable: fetched under a side name, then swapped in with two renames,
// because a running program cannot be replaced in place on Windows.

#include "update/SelfUpdate.h"

#include <algorithm>

#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "format/GameFolder.h"
#include "format/Text.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/SysError.h"
#include "update/Download.h"
#include "update/Placing.h"
#include "update/Progress.h"
#include "update/Sources.h"

namespace vt {
namespace {

[[noreturn]] void FailLauncherUpdate(const std::string& SystemText) {
  throw TUpdateError("cannot update the launcher: " + SystemText);
}

bool IsGameFolderLauncher(const TRunContext& Run) {
  const std::string& self = Run.Options.SelfPath;
  return !self.empty() &&
         AsciiLower(AbsolutePath(self)) == AsciiLower(AbsolutePath(Run.Dir + KLauncherName));
}

}  // namespace

const TRemoteFile* LauncherEntry(const TRunContext& Run, const std::vector<TRemoteFile>& Files) {
  if (!IsGameFolderLauncher(Run))
    return nullptr;
  const auto found = std::find_if(Files.begin(), Files.end(), [](const TRemoteFile& File) {
    return AsciiLower(File.Path) == KLauncherName;
  });
  return found != Files.end() ? &*found : nullptr;
}

bool UpdateLauncher(const TRunContext& Run, THttpClient& Client,
                    const std::vector<std::string>& Objects, const TRemoteFile& File) {
  const std::string& running = Run.Options.SelfPath;
  const std::string newName = Run.Dir + KNewLauncherName;
  const std::string oldName = Run.Dir + KOldLauncherName;
  const char* const updating = "Updating the launcher...";
  Run.Report(updating, 0, 0);
  const int64_t size = DownloadSize(File);
  TProgressPace pace;
  const TTransfer transfer{Run.Stop, Run.Options.RateLimit.get(), [&](int64_t Received) {
                             if (pace.TryTake())
                               Run.Report(updating, std::min(Received, size), size);
                           }};
  TPlacer placer(Run.Stop);
  TSources sources(Objects);
  FromSources(sources, false, Run.Stop, [&](size_t Source) {
    DownloadFile(Client, sources.Base(Source), File, newName, transfer, placer);
    return true;
  });

  RemoveFile(oldName);  // usually absent; one that stays makes the next move fail, as it should
  if (const TSysStatus moved = RenameFile(running, oldName); !moved)
    FailLauncherUpdate(moved.Text());
  if (const TSysStatus moved = RenameFile(newName, Run.LocalPath(File.Path)); !moved) {
    RenameFile(oldName, running);  // its own outcome is not examined
    FailLauncherUpdate(moved.Text());
  }
  return true;
}

}  // namespace vt
