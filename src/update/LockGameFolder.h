#pragma once
// One update run per game folder at a time.

#include <optional>

#include "platform/FolderLock.h"
#include "update/RunContext.h"

namespace vt {

// The game folder's lock, which the caller holds to the end of the run; nothing when a stop
// was requested while it waited. When another run holds it: raises "another update of this
// game folder is running - try again when it has finished", or with WaitForLock reports
// "Waiting for another update of this game folder to finish..." once and waits.
std::optional<TFolderLock> LockGameFolder(const TRunContext& Run);

}  // namespace vt
