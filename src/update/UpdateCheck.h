#pragma once
// The update check (vtupdate --check): is an update available, and, verifying, which files
// differ. It reads the game folder and changes nothing in it, nor makes it when it is missing.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Http.h"
#include "update/RunContext.h"

namespace vt {

// What the update check found.
struct TCheckResult {
  int32_t Build = 0;                // the build on the server that this folder takes
  int32_t HeldBackFrom = -1;        // the newer build a rollout holds it back from; -1: none
  int32_t Installed = -1;           // the build the record names; -1 when there is no usable record
  bool Update = false;              // a normal run would change the folder
  std::vector<std::string> Differ;  // with Verify: the listed files that differ, list order
};

// The manifest, the record and, with TUpdaterOptions::Verify, every listed file hashed.
// Nothing when a stop came while the files were compared.
std::optional<TCheckResult> RunUpdateCheck(const TRunContext& Run, THttpClient& Client);

}  // namespace vt
