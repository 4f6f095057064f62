#pragma once
// What the checking pass found: the files to fetch and how, the files to delete, and what the
// fetches cost. The later steps of a run take it and add to it (the chunk plans).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "format/RemoteFile.h"
#include "update/Delta.h"

namespace vt {

// One file the download step fetches.
struct TFetch {
  const TRemoteFile* File = nullptr;     // its list entry; the list outlives the plan
  std::unique_ptr<TPlannedFile> Chunks;  // null: the whole object travels
};

struct TUpdatePlan {
  std::vector<TFetch> Fetch;        // in list order
  std::vector<std::string> Remove;  // what the previous record named and the list lacks
  int64_t TotalBytes = 0;           // what the fetches transfer
};

}  // namespace vt
