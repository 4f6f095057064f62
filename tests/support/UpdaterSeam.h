#pragma once
// Reaches into a run for tests of single steps: sets what the earlier steps would have found,
// and reads what a step found.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "update/Updater.h"

namespace vt {

struct TUpdaterSeam {
  // What the manifest step sets.
  static void SetManifest(TUpdater& Run, int32_t Build, TRemoteFile List) {
    Run.FBuild = Build;
    Run.FList = std::move(List);
  }
  static void SetObjects(TUpdater& Run, std::string Objects) { Run.FObjects = std::move(Objects); }
  // What the list step and the checking pass set.
  static void SetFiles(TUpdater& Run, std::vector<TRemoteFile> Files, std::vector<int32_t> Queue,
                       int64_t TotalBytes) {
    Run.FFiles = std::move(Files);
    Run.FQueue = std::move(Queue);
    Run.FTotalBytes = TotalBytes;
  }

  static const std::string& Objects(const TUpdater& Run) { return Run.FObjects; }
  static const TRemoteFile& List(const TUpdater& Run) { return Run.FList; }
  static const std::vector<TRemoteFile>& Files(const TUpdater& Run) { return Run.FFiles; }
};

}  // namespace vt
