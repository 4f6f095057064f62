#include "publish/Prune.h"

#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <system_error>

#include "format/Manifest.h"
#include "publish/ReleaseTree.h"
#include "publish/TreeLock.h"

namespace vt {

namespace {

namespace fs = std::filesystem;

bool IsHex(std::string_view Text, size_t Count) {
  return Text.size() == Count && Text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Names as pack writes them: "<sha256>.json[.z]" for lists, "<sha256>[.z]" for objects and
// "<sha256>.ci" for chunk indexes.
bool IsListName(const std::string& Name) {
  return (Name.ends_with(".json") && IsHex(Name.substr(0, Name.size() - 5), 64)) ||
         (Name.ends_with(".json.z") && IsHex(Name.substr(0, Name.size() - 7), 64));
}

bool IsObjectName(const std::string& Name) {
  return IsHex(Name, 64) || (Name.ends_with(".z") && IsHex(Name.substr(0, Name.size() - 2), 64)) ||
         (Name.ends_with(".ci") && IsHex(Name.substr(0, Name.size() - 3), 64));
}

class TPruner {
 public:
  TPruner(std::string OutDir, TPruneReport& Report) : FOut(std::move(OutDir)), FReport(Report) {}

  // Marks what Manifest's release needs; Label names it in a failure.
  void Keep(const TBytes& Manifest, const std::string& Label) {
    try {
      const TManifest manifest = ReadManifest(Manifest, KTreeUrl);
      KeepRelease(manifest);
      // The installs a rollout holds back take the release before it.
      if (manifest.Rollout)
        KeepRelease(ReleaseBefore(manifest));
    } catch (const std::exception& e) {
      throw std::runtime_error(Label + ": cannot tell what it needs (" + e.what() +
                               "); nothing was removed");
    }
  }

  // Notes the object folder of a release that goes, so that its objects are looked at too.
  void SeeStoreOf(const TBytes& Manifest) {
    try {
      FStores.insert(StoreFolderOf(ReadManifest(Manifest, KTreeUrl)));
    } catch (const std::exception&) {
      // A manifest that does not read names no folder; its objects stay.
    }
  }

  void Collect(const std::vector<THistoryEntry>& Dropped) {
    for (const THistoryEntry& entry : Dropped) {
      Candidate(fs::path(entry.Path), FReport.HistoryEntries);
      for (const char* signatures : {".sig", ".sigs"}) {
        if (fs::exists(entry.Path + signatures))
          Candidate(fs::path(entry.Path + signatures), FUncounted);
      }
    }
    Scan("lists", IsListName, FReport.Lists);
    for (const std::string& store : FStores) {
      std::error_code error;
      for (const fs::directory_entry& folder : fs::directory_iterator(Local(store), error)) {
        const std::string name = folder.path().filename().string();
        if (folder.is_directory() && IsHex(name, 2))
          Scan(store + name, IsObjectName, FReport.Objects);
      }
    }
  }

  void Remove() {
    for (const std::string& path : FReport.Removed) {
      std::error_code error;
      if (!fs::remove(Local(path), error) && error)
        throw std::runtime_error(path + ": " + error.message());
      // Emptied object folders go too; a folder that still holds something stays.
      fs::remove(Local(path).parent_path(), error);
    }
  }

 private:
  void KeepRelease(const TManifest& Manifest) {
    const TTreeRelease release = ReadTreeRelease(FOut, Manifest);
    FStores.insert(release.StoreFolder);
    for (std::string& need : ReleaseNeeds(release))
      FNeeded.insert(std::move(need));
  }

  fs::path Local(const std::string& Relative) const { return fs::path(FOut) / Relative; }

  void Scan(const std::string& Folder, bool (*Named)(const std::string&), int64_t& Count) {
    std::error_code error;
    for (const fs::directory_entry& file : fs::directory_iterator(Local(Folder), error)) {
      const std::string relative =
          (Folder.ends_with('/') ? Folder : Folder + "/") + file.path().filename().string();
      if (file.is_regular_file() && Named(file.path().filename().string()) &&
          !FNeeded.count(relative)) {
        Candidate(file.path(), Count);
      }
    }
  }

  void Candidate(const fs::path& Path, int64_t& Count) {
    std::error_code error;
    const auto size = fs::file_size(Path, error);
    FReport.FreedBytes += error ? 0 : static_cast<int64_t>(size);
    FReport.Removed.push_back(Path.lexically_relative(FOut).generic_string());
    ++Count;
  }

  const std::string FOut;
  TPruneReport& FReport;
  std::set<std::string> FNeeded;  // relative paths
  std::set<std::string> FStores;  // object folders, "/" ending
  int64_t FUncounted = 0;         // signatures, which go with their history entry
};

// Which history entries stay: of each channel, those of its last Keep builds. Refreshes and
// rollout changes publish a build again and again; together they are one of the builds kept.
std::vector<bool> KeptEntries(const std::vector<THistoryEntry>& History, int64_t Keep) {
  std::vector<bool> kept(History.size(), false);
  std::map<std::string, std::pair<int64_t, int32_t>> seen;  // channel: builds counted, the last
  for (size_t i = History.size(); i-- > 0;) {
    const auto [at, first] = seen.try_emplace(History[i].Channel, 0, 0);
    auto& [builds, last] = at->second;
    if (first || last != History[i].Build) {
      ++builds;
      last = History[i].Build;
    }
    kept[i] = builds <= Keep;
  }
  return kept;
}

}  // namespace

TPruneReport Prune(const std::string& OutDir, int64_t Keep, bool DryRun) {
  if (Keep < 1)
    throw std::runtime_error("--keep takes a count of builds of at least 1");
  if (!LiveManifest(OutDir))
    throw std::runtime_error(OutDir + ": holds no \"version\"; nothing to prune against");
  const TTreeLock lock(OutDir);
  const std::optional<TBytes> live = LiveManifest(OutDir);
  TPruneReport report;
  TPruner pruner(OutDir, report);
  pruner.Keep(*live, "version (the live build)");
  // Every channel's live release stays whole, whatever the history holds.
  for (const std::string& channel : TreeChannels(OutDir)) {
    if (const std::optional<TBytes> channelLive = LiveManifest(OutDir, channel))
      pruner.Keep(*channelLive,
                  ChannelFolder(channel) + "version (the live build of " + channel + ")");
  }
  std::vector<THistoryEntry> history = ReadHistory(OutDir);
  ReadHistoryChannels(history);
  const std::vector<bool> kept = KeptEntries(history, Keep);
  std::vector<THistoryEntry> dropped;
  for (size_t i = 0; i < history.size(); ++i) {
    if (!kept[i]) {
      dropped.push_back(history[i]);
      continue;
    }
    pruner.Keep(ReadFileBytes(history[i].Path), "build " + std::to_string(history[i].Build));
    if (report.KeptBuilds.empty() || report.KeptBuilds.back() != history[i].Build ||
        report.KeptChannels.back() != history[i].Channel) {
      report.KeptBuilds.push_back(history[i].Build);
      report.KeptChannels.push_back(history[i].Channel);
    }
  }
  for (const THistoryEntry& entry : dropped)
    pruner.SeeStoreOf(ReadFileBytes(entry.Path));
  pruner.Collect(dropped);
  if (!DryRun)
    pruner.Remove();
  return report;
}

}  // namespace vt
