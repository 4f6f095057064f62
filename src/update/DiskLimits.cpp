#include "update/DiskLimits.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>

#include "format/Errors.h"
#include "format/Paths.h"
#include "format/Text.h"
#include "platform/Files.h"
#include "update/DownloadQueue.h"

namespace vt {

namespace {

// Every file system a game is installed on takes names of this many bytes (eCryptfs, the
// shortest, takes 143), so only longer ones are asked about.
constexpr size_t KNameAlwaysFits = 128;

// True when every folder and file name of Path (a list path) fits the disk under Dir.
bool NameFits(const std::string& Dir, std::string_view Path) {
  size_t start = 0;
  while (start < Path.size()) {
    const size_t slash = std::min(Path.find('/', start), Path.size());
    if (slash - start > KNameAlwaysFits &&
        !FitsFileName(JoinLocalPath(Dir, Path.substr(0, start)),
                      std::string(Path.substr(start, slash - start)))) {
      return false;
    }
    start = slash + 1;
  }
  return true;
}

}  // namespace

void RequireFittingNames(const std::string& Dir, const TUpdatePlan& Plan) {
  for (const TFetch& fetch : Plan.Fetch) {
    if (!NameFits(Dir, fetch.File->Path))
      throw TUpdateError("the name of " + fetch.File->Path + " is too long for this disk");
  }
}

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

void RequireFreeSpace(const std::string& Dir, const TUpdatePlan& Plan) {
  std::vector<TQueuedSpace> files;
  files.reserve(Plan.Fetch.size());
  for (const TFetch& fetch : Plan.Fetch) {
    const TRemoteFile& file = *fetch.File;
    const int64_t replaced = GetFileInfo(JoinLocalPath(Dir, file.Path)).value_or(TFileInfo{}).Size;
    // An assembled file receives no compressed object.
    files.push_back({std::max<int64_t>(file.Size, 0), replaced,
                     file.ZSize > 0 && !fetch.Chunks ? file.ZSize : int64_t{0}});
  }
  const int64_t needed = SpaceNeeded(files);
  int64_t free = 0;
  // A disk whose free space cannot be told is left to the writes to find out.
  if (needed <= 0 || !FreeSpace(Dir, free) || needed <= free)
    return;
  throw TUpdateError("not enough free space: the update needs " + MegabytesText(needed) +
                     " MB more, " + MegabytesText(free) + " MB are free");
}

}  // namespace vt
