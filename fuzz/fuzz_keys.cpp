// What a server or a damaged folder hands the trust: keys documents, files of signatures, the
// memory and expiry times. Each ends in a result or the engine's exception, and what reads
// writes back to what reads the same.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "format/Errors.h"
#include "format/Keys.h"
#include "format/TrustMemory.h"
#include "format/UtcTime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view text(reinterpret_cast<const char*>(Data), Size);
  try {
    const vt::TKeysDocument keys = vt::ReadKeysDocument({Data, Size});
    const std::string written = vt::KeysDocumentJson(keys);
    if (!(vt::ReadKeysDocument(
              {reinterpret_cast<const uint8_t*>(written.data()), written.size()}) == keys))
      __builtin_trap();
  } catch (const vt::TUpdateError&) {
  }
  if (const std::optional<vt::TTrust> trust = vt::ReadTrustMemory(text)) {
    if (vt::ReadTrustMemory(vt::TrustMemoryText(*trust)) != trust)
      __builtin_trap();
  }
  for (const vt::TSignatureLine& line : vt::ReadSignatureLines({Data, Size})) {
    if (line.KeyId.size() != 64 || line.Signature.size() != 128)
      __builtin_trap();
  }
  if (const std::optional<int64_t> time = vt::ReadUtcTime(text)) {
    if (vt::ReadUtcTime(vt::UtcTimeText(*time)) != time)
      __builtin_trap();
  }
  return 0;
}
