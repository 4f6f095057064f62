// HexToBytes either decodes or raises invalid_argument; the signature check never raises.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "format/Digest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view text(reinterpret_cast<const char*>(Data), Size);
  try {
    const vt::TBytes bytes = vt::HexToBytes(text);
    if (Size % 2 == 0 && bytes.size() != Size / 2)
      __builtin_trap();
    if (Size % 2 == 1 && !bytes.empty())
      __builtin_trap();
    if (Size % 2 == 0 && vt::BytesToHex(bytes).size() != Size)
      __builtin_trap();
  } catch (const std::invalid_argument&) {
  }
  // Fuzzed text as a signature over fuzzed data: must return, never raise or crash.
  (void)vt::VerifySignature({Data, Size / 2}, text);
  return 0;
}
