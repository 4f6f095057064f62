// Reading a (verified) manifest must end in a result or one of the engine's exceptions.
#include <cstddef>
#include <cstdint>

#include "format/Errors.h"
#include "format/Manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  try {
    const vt::TManifest manifest = vt::ReadManifest({Data, Size}, "http://127.0.0.1/");
    if (manifest.List.Path.empty())
      __builtin_trap();  // an empty path must never pass
  } catch (const vt::TUpdateError&) {
  } catch (const vt::TJsonError&) {
  }
  return 0;
}
