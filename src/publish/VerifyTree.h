#pragma once
// Checking a published tree the way the launcher will read it, before it goes live.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/Keys.h"
#include "publish/Pack.h"

namespace vt {

struct TVerifyReport {
  // One line each, naming the file at fault. Empty when the tree is sound.
  std::vector<std::string> Problems;
  // Facts worth telling that are not faults, such as objects that live elsewhere.
  std::vector<std::string> Notes;
  int32_t Build = 0;
  int64_t Files = 0;       // list entries checked
  int64_t Bytes = 0;       // their installed size
  int64_t Objects = 0;     // distinct objects read and checked
  int64_t Compressed = 0;  // of those, zlib-compressed ones
  int64_t Chunked = 0;     // list entries with chunk data
  int64_t Indexes = 0;     // distinct chunk indexes read and checked
};

// Checks OutDir as a launcher with the root keys Root would: the chain of keys documents from
// Root to the newest, the signatures of "version" (by a threshold of its release keys; by Root
// in "version.sig" or "version.sigs" when there are no keys documents), its expiry,
// the manifest, the file list against the manifest, and every object against the list
// (present under its name, inflating to the listed size with the listed SHA-256), and the
// chunk data of each entry with some: the index as "c" pins it, and every chunk's stored bytes
// as the index gives them (see CheckChunkedObject). Problems
// that leave nothing further to check (a bad signature, an unreadable manifest or list) end
// the check; the others are all collected. Objects of an absolute base are checked in
// OutDir/o/ when that folder exists, where Pack puts them for upload. Never raises: a file
// that cannot be read is one more problem.
TVerifyReport VerifyTree(const std::string& OutDir, const TKeyRole& Root,
                         const TProgressCallback& Progress = {});

}  // namespace vt
