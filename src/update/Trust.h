#pragma once
// The game folder's memory of trust ("vtlaunch.trust"): read before the manifest step, written
// after it verified a release.

#include "format/TrustMemory.h"
#include "update/RunContext.h"

namespace vt {

// The memory of the game folder: empty when there is none (a first install, or a player who
// deleted it). A damaged one counts as none and is reported once: the next save replaces it.
TTrust ReadTrust(const TRunContext& Run);

// Writes the memory when Trust differs from what the folder holds, beside the old one and
// renamed over it. A folder that cannot be written keeps its old memory and the run goes on.
void SaveTrust(const TRunContext& Run, const TTrust& Trust);

}  // namespace vt
