#include "publish/Diff.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>

#include "format/Chunks.h"
#include "format/Digest.h"
#include "publish/ReleaseTree.h"

namespace vt {

namespace {

// The manifest of Build in OutDir: the newest history entry of it, else the live one; of
// Channel only when it is given.
TBytes ManifestOf(const std::string& OutDir, int32_t Build, const std::string& Channel) {
  std::vector<THistoryEntry> history = ReadHistory(OutDir);
  if (!Channel.empty())
    ReadHistoryChannels(history);
  std::string builds;
  for (auto entry = history.rbegin(); entry != history.rend(); ++entry) {
    if (entry->Build == Build && (Channel.empty() || entry->Channel == Channel))
      return ReadFileBytes(entry->Path);
  }
  if (const std::optional<TBytes> live =
          LiveManifest(OutDir, Channel.empty() ? KStableChannel : Channel);
      live && BuildOf(*live) == Build)
    return *live;
  for (const THistoryEntry& entry : history) {
    if (Channel.empty() || entry.Channel == Channel)
      builds += (builds.empty() ? "" : ", ") + std::to_string(entry.Build);
  }
  const std::string where = Channel.empty() ? OutDir : OutDir + " on channel " + Channel;
  throw std::runtime_error("build " + std::to_string(Build) + " is not in the history of " + where +
                           (builds.empty() ? " (it has none)" : " (it has " + builds + ")"));
}

// The chunk index File's "c" names in Release's store, when it is there as "c" pins it.
std::optional<TChunkIndex> IndexOf(const std::string& OutDir, const TTreeRelease& Release,
                                   const TRemoteFile& File) {
  if (File.Chunks.Hash.empty())
    return std::nullopt;
  try {
    const TBytes bytes = ReadFileBytes(
        (std::filesystem::path(OutDir) / (Release.StoreFolder + ChunkIndexName(File.Chunks.Hash)))
            .string());
    if (static_cast<int64_t>(bytes.size()) != File.Chunks.Size ||
        Sha256Hex(bytes) != File.Chunks.Hash)
      return std::nullopt;
    return ReadChunkIndex(bytes, File.Size);
  } catch (const std::exception&) {
    return std::nullopt;  // a client would fetch the whole object
  }
}

// The bytes a player holding Old fetches for New with chunk reuse: the index and each chunk
// that Old lacks, once.
int64_t ChunkedCost(const TChunkIndex& Old, const TChunkIndex& New, int64_t IndexSize) {
  std::set<TSha256Digest> have;
  for (const TChunk& chunk : Old.Chunks)
    have.insert(chunk.Hash);
  int64_t cost = IndexSize;
  for (const TChunk& chunk : New.Chunks) {
    if (have.insert(chunk.Hash).second)
      cost += chunk.Stored;
  }
  return cost;
}

}  // namespace

TBuildDiff DiffBuilds(const std::string& OutDir, int32_t From, int32_t To,
                      const std::string& Channel) {
  const TTreeRelease from = ReadTreeRelease(OutDir, ManifestOf(OutDir, From, Channel));
  const TTreeRelease to = ReadTreeRelease(OutDir, ManifestOf(OutDir, To, Channel));
  std::map<std::string, const TRemoteFile*> before;
  for (const TRemoteFile& file : from.Files)
    before[file.Path] = &file;
  TBuildDiff diff;
  for (const TRemoteFile& file : to.Files) {
    const auto found = before.find(file.Path);
    int64_t cost = ObjectBytes(file);
    if (found != before.end()) {
      const bool same = found->second->Hash == file.Hash && found->second->Size == file.Size;
      const TRemoteFile& old = *found->second;
      before.erase(found);
      if (same)
        continue;
      diff.Changed.push_back(file.Path);
      if (const std::optional<TChunkIndex> index = IndexOf(OutDir, to, file)) {
        if (const std::optional<TChunkIndex> oldIndex = IndexOf(OutDir, from, old)) {
          cost = std::min(cost, ChunkedCost(*oldIndex, *index, file.Chunks.Size));
          ++diff.ChunkedFiles;
        }
      }
    } else {
      diff.Added.push_back(file.Path);
    }
    ++diff.DownloadFiles;
    diff.DownloadBytes += ObjectBytes(file);
    diff.ChunkedBytes += cost;
  }
  for (const TRemoteFile& file : from.Files) {
    if (before.count(file.Path))
      diff.Removed.push_back(file.Path);
  }
  return diff;
}

}  // namespace vt
