// Inflation of arbitrary bytes to a count taken from the input: exact output or an exception.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "format/Inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2)
    return 0;
  uint16_t count16;
  std::memcpy(&count16, Data, 2);
  const int64_t count = static_cast<int64_t>(count16) * 37 - 100;  // includes counts <= 0
  std::vector<uint8_t> out;
  vt::TMemorySource source({Data + 2, Size - 2});
  vt::TMemorySink sink(out);
  try {
    vt::InflateStream(source, sink, count);
    if (static_cast<int64_t>(out.size()) != (count > 0 ? count : 0))
      __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
