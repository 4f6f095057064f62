#pragma once
// The download step's up-front check that the game folder's disk can hold what it will write.

#include <cstdint>
#include <vector>

namespace vt {

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

}  // namespace vt
