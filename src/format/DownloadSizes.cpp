#include "format/DownloadSizes.h"

#include <algorithm>
#include <limits>

namespace vt {

int64_t DownloadSize(const TRemoteFile& File) {
  return File.ZSize > 0 ? File.ZSize : File.Size;
}

int64_t MaxTransferBytes(const TRemoteFile& File) {
  const int64_t size = std::max<int64_t>(File.Size, 0);
  if (File.ZSize <= 0)
    return size;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const int64_t slack = size / 1024 + 65536;
  const int64_t worst = size > kMax - slack ? kMax : size + slack;
  return std::max(File.ZSize, worst);
}

}  // namespace vt
