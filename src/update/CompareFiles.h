#pragma once
// The checking pass: which listed files differ from the disk.

#include <optional>
#include <vector>

#include "format/RemoteFile.h"
#include "update/Installed.h"
#include "update/RunContext.h"
#include "update/UpdatePlan.h"

namespace vt {

// Compares every entry of Files but Skip (may be null: the launcher's entry, which its own step
// replaces) with the disk, the installed record vouching where it may, and returns the plan:
// the entries that differ with what they transfer, and the previous build's files the list
// lacks. Reports "Checking files: i of n" every 100 entries; looks at the stop request before
// each entry and returns nothing once it is set. Hashes on several threads, yet reports, plans
// and fails exactly as one thread going down the list would.
std::optional<TUpdatePlan> CompareFiles(const TRunContext& Run,
                                        const std::vector<TRemoteFile>& Files,
                                        const TInstalled& Installed, const TRemoteFile* Skip);

}  // namespace vt
