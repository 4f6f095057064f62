#include "publish/TreeLock.h"

#include <filesystem>
#include <stdexcept>

#include "platform/Files.h"
#include "platform/SysError.h"
#include "publish/PackCache.h"

namespace vt {

TTreeLock::TTreeLock(const std::string& OutDir) {
  const std::filesystem::path folder = std::filesystem::path(OutDir) / KPrivateFolder;
  if (const TSysStatus made = CreateFolders(folder.string()); !made)
    throw std::runtime_error(folder.string() + ": " + made.Text());
  // An OS lock on an open handle: it goes with its process, so a killed run leaves none behind.
  FLock = TFolderLock::TryLock(folder.string() + KPathSeparator);
  if (FLock->State() == TFolderLock::TState::Busy) {
    throw std::runtime_error(OutDir +
                             ": another vtpublish is packing or pruning it - try again when it "
                             "has finished");
  }
  if (FLock->State() == TFolderLock::TState::Unavailable)
    throw std::runtime_error(folder.string() + ": cannot be locked against another vtpublish");
}

}  // namespace vt
