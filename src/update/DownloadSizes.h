#pragma once
// What the download step may transfer and what it adds to the disk.

#include <cstdint>
#include <vector>

#include "update/RemoteFile.h"

namespace vt {

// Download workers of one run.
constexpr int KWorkerCount = 4;

// The number of bytes File costs to transfer: ZSize when compressed, else Size.
int64_t DownloadSize(const TRemoteFile& File);

// The most bytes File's object may have and still pass verification: Size when stored plainly;
// for a zlib object the signed compressed size or what deflate can at worst make of Size,
// whichever is larger. A body past it is cut off while it arrives.
int64_t MaxTransferBytes(const TRemoteFile& File);

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
