#pragma once
// Reading the signed file list.

#include <cstdint>
#include <span>
#include <vector>

#include "format/RemoteFile.h"

namespace vt {

// Reads a verified file list.
std::vector<TRemoteFile> ReadFileList(std::span<const uint8_t> Bytes);

}  // namespace vt
