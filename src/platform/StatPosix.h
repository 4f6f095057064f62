#pragma once
// The POSIX files' one reading of a stat result as GetFileInfo gives it.

#include <sys/stat.h>

#include <cstdint>
#include <optional>

#include "platform/Files.h"

namespace vt {

// 100 ns intervals between 1601-01-01 and 1970-01-01, so that records look alike everywhere.
constexpr int64_t KUnixEpochAsFileTime = 116444736000000000;

// Nothing for a folder.
inline std::optional<TFileInfo> FileInfoOf(const struct stat& Info) {
  if (S_ISDIR(Info.st_mode))
    return std::nullopt;
  return TFileInfo{static_cast<int64_t>(Info.st_size),
                   KUnixEpochAsFileTime + static_cast<int64_t>(Info.st_mtim.tv_sec) * 10000000 +
                       Info.st_mtim.tv_nsec / 100};
}

}  // namespace vt
