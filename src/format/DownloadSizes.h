#pragma once
// What a file costs to transfer, and the most its object may be.

#include <cstdint>

#include "format/RemoteFile.h"

namespace vt {

// The number of bytes File costs to transfer: ZSize when compressed, else Size.
int64_t DownloadSize(const TRemoteFile& File);

// The most bytes File's object may have and still pass verification: Size when stored plainly;
// for a zlib object the signed compressed size or what deflate can at worst make of Size,
// whichever is larger. A body past it is cut off while it arrives.
int64_t MaxTransferBytes(const TRemoteFile& File);

}  // namespace vt
