#pragma once

#include <cstdint>
#include <string>

namespace vt {

// One file as the server describes it: an entry of the file list, or the list itself.
struct TRemoteFile {
  std::string Path;   // relative to the game folder, "/" separators
  int64_t Size = 0;   // byte length as installed (after inflation)
  std::string Hash;   // SHA-256 as installed, lowercase hex
  int64_t ZSize = 0;  // byte length of the zlib object on the server; > 0 means compressed
};

}  // namespace vt
