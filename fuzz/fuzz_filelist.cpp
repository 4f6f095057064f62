// Reading a (verified) file list: a result whose every path is safe, or an engine exception.
#include <cstddef>
#include <cstdint>

#include "format/Errors.h"
#include "format/FileList.h"
#include "format/Paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  try {
    for (const vt::TRemoteFile& file : vt::ReadFileList({Data, Size})) {
      if (!vt::IsSafeRelativePath(file.Path))
        __builtin_trap();
    }
  } catch (const vt::TUpdateError&) {
  } catch (const vt::TJsonError&) {
  }
  return 0;
}
