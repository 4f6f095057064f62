#pragma once
// What moving players from one published build to another changes and costs.

#include <cstdint>
#include <string>
#include <vector>

namespace vt {

struct TBuildDiff {
  std::vector<std::string> Added, Removed, Changed;  // paths, in list order
  int64_t DownloadFiles = 0;  // entries of the new build a player of the old one fetches
  int64_t DownloadBytes = 0;  // their stored object bytes, as the server sends them
  // What they cost with chunk reuse: for a changed file with chunk data in both builds, its
  // chunk index and the stored bytes of the chunks (each once) that the old file lacks; for
  // the others the whole object, as above (a client may cut an old file without chunk data
  // too, so that is an upper bound).
  int64_t ChunkedBytes = 0;
  int64_t ChunkedFiles = 0;  // entries of the new build a player fetches with chunk data
};

// Compares builds From and To of OutDir, each the newest history entry of that build (or the
// live manifest), of Channel when it is not empty. Raises naming a build that the tree does not
// hold, or a list that does not read.
TBuildDiff DiffBuilds(const std::string& OutDir, int32_t From, int32_t To,
                      const std::string& Channel = {});

}  // namespace vt
