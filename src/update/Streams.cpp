#include "update/Streams.h"

#include <algorithm>
#include <cstring>

namespace vt {

size_t TMemorySource::Read(uint8_t* Buffer, size_t Size) {
  const size_t count = std::min(Size, FData.size() - FPos);
  if (count > 0)
    std::memcpy(Buffer, FData.data() + FPos, count);
  FPos += count;
  return count;
}

void TMemorySink::Write(const uint8_t* Data, size_t Size) {
  FData.insert(FData.end(), Data, Data + Size);
}

}  // namespace vt
