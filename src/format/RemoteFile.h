#pragma once

#include <cstdint>
#include <string>

namespace vt {

// A list entry's chunk index: its size and SHA-256. Empty Hash: the entry has none.
struct TChunkRef {
  int64_t Size = 0;
  std::string Hash;  // lowercase hex
};

// One file as the server describes it: an entry of the file list, or the list itself.
struct TRemoteFile {
  std::string Path;   // relative to the game folder, "/" separators
  int64_t Size = 0;   // byte length as installed (after inflation)
  std::string Hash;   // SHA-256 as installed, lowercase hex
  int64_t ZSize = 0;  // byte length of the zlib object on the server; > 0 means compressed
  TChunkRef Chunks;   // the list entry's "c"; only entries of the file list have one
};

}  // namespace vt
