#pragma once
// Before any transfer: whether the game folder's disk can hold what the download step will
// write, by name and by bytes, so that a run refused for either leaves nothing behind.

#include <cstdint>
#include <string>
#include <vector>

#include "update/UpdatePlan.h"

namespace vt {

// Raises "the name of <path> is too long for this disk" for the first file of Plan with a
// name, or a folder name, that the disk under Dir cannot hold.
void RequireFittingNames(const std::string& Dir, const TUpdatePlan& Plan);

// What one queued file means for the disk: its new size, the size of the file it replaces (0
// when none) and its compressed object's size (0 when stored plainly).
struct TQueuedSpace {
  int64_t Size = 0;
  int64_t Replaced = 0;
  int64_t Compressed = 0;
};

// The most the download step adds to the disk at once: the new bytes less those of the files
// they replace, plus what the KWorkerCount files that take the most room while in flight hold
// beside their new version (the old version, and the compressed object).
int64_t SpaceNeeded(const std::vector<TQueuedSpace>& Files);

// Raises "not enough free space: the update needs X MB more, Y MB are free" when the disk under
// Dir has less free space than SpaceNeeded of Plan's files; does nothing when the free space
// cannot be told.
void RequireFreeSpace(const std::string& Dir, const TUpdatePlan& Plan);

}  // namespace vt
