#include "publish/Diff.h"

#include <map>
#include <stdexcept>

#include "publish/ReleaseTree.h"

namespace vt {

namespace {

// The manifest of Build in OutDir: the newest history entry of it, else the live one.
TBytes ManifestOf(const std::string& OutDir, int32_t Build) {
  const std::vector<THistoryEntry> history = ReadHistory(OutDir);
  std::string builds;
  for (auto entry = history.rbegin(); entry != history.rend(); ++entry) {
    if (entry->Build == Build)
      return ReadFileBytes(entry->Path);
  }
  if (const std::optional<TBytes> live = LiveManifest(OutDir); live && BuildOf(*live) == Build)
    return *live;
  for (const THistoryEntry& entry : history)
    builds += (builds.empty() ? "" : ", ") + std::to_string(entry.Build);
  throw std::runtime_error("build " + std::to_string(Build) + " is not in the history of " +
                           OutDir +
                           (builds.empty() ? " (it has none)" : " (it has " + builds + ")"));
}

}  // namespace

TBuildDiff DiffBuilds(const std::string& OutDir, int32_t From, int32_t To) {
  const TTreeRelease from = ReadTreeRelease(OutDir, ManifestOf(OutDir, From));
  const TTreeRelease to = ReadTreeRelease(OutDir, ManifestOf(OutDir, To));
  std::map<std::string, const TRemoteFile*> before;
  for (const TRemoteFile& file : from.Files)
    before[file.Path] = &file;
  TBuildDiff diff;
  for (const TRemoteFile& file : to.Files) {
    const auto found = before.find(file.Path);
    if (found != before.end()) {
      const bool same = found->second->Hash == file.Hash && found->second->Size == file.Size;
      before.erase(found);
      if (same)
        continue;
      diff.Changed.push_back(file.Path);
    } else {
      diff.Added.push_back(file.Path);
    }
    ++diff.DownloadFiles;
    diff.DownloadBytes += ObjectBytes(file);
  }
  for (const TRemoteFile& file : from.Files) {
    if (before.count(file.Path))
      diff.Removed.push_back(file.Path);
  }
  return diff;
}

}  // namespace vt
