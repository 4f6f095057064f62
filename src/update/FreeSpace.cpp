// The download step's up-front check that the game folder's disk can hold what it will write,
// so that a full disk fails the run before any transfer instead of in the middle of one.

#include <algorithm>
#include <functional>
#include <vector>

#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "format/Text.h"
#include "platform/Files.h"
#include "update/DownloadQueue.h"
#include "update/FreeSpace.h"
#include "update/Progress.h"
#include "update/Updater.h"

namespace vt {

int64_t SpaceNeeded(const std::vector<TQueuedSpace>& Files) {
  int64_t growth = 0;
  std::vector<int64_t> inFlight;
  inFlight.reserve(Files.size());
  for (const TQueuedSpace& file : Files) {
    growth += file.Size - file.Replaced;
    // While a file is in flight its old version is still there beside the new one, and a
    // compressed object stays beside its candidate until it has been inflated.
    inFlight.push_back(file.Replaced + file.Compressed);
  }
  const auto largest = inFlight.begin() + std::min<size_t>(inFlight.size(), KWorkerCount);
  std::partial_sort(inFlight.begin(), largest, inFlight.end(), std::greater<>());
  for (auto it = inFlight.begin(); it != largest; ++it)
    growth += *it;
  return growth;
}

void TUpdater::CheckFreeSpace() const {
  std::vector<TQueuedSpace> files;
  files.reserve(FQueue.size());
  for (const int32_t index : FQueue) {
    const TRemoteFile& file = FFiles[index];
    const int64_t replaced = GetFileInfo(LocalPath(file.Path)).value_or(TFileInfo{}).Size;
    // An assembled file receives no compressed object.
    files.push_back({std::max<int64_t>(file.Size, 0), replaced,
                     file.ZSize > 0 && PlanOf(index) == nullptr ? file.ZSize : int64_t{0}});
  }
  const int64_t needed = SpaceNeeded(files);
  int64_t free = 0;
  // A disk whose free space cannot be told is left to the writes to find out.
  if (needed <= 0 || !FreeSpace(FDir, free) || needed <= free)
    return;
  throw TUpdateError("not enough free space: the update needs " + MegabytesText(needed) +
                     " MB more, " + MegabytesText(free) + " MB are free");
}

}  // namespace vt
