#pragma once
// The Win32 files' one reading of a file's attributes as GetFileInfo gives them.

#include <windows.h>

#include <cstdint>

#include "platform/Files.h"

namespace vt {

// Of WIN32_FILE_ATTRIBUTE_DATA or WIN32_FIND_DATAW, which hold the size and time alike.
template <typename TData>
TFileInfo FileInfoOf(const TData& Data) {
  return {
      static_cast<int64_t>((static_cast<uint64_t>(Data.nFileSizeHigh) << 32) | Data.nFileSizeLow),
      static_cast<int64_t>((static_cast<uint64_t>(Data.ftLastWriteTime.dwHighDateTime) << 32) |
                           Data.ftLastWriteTime.dwLowDateTime)};
}

}  // namespace vt
