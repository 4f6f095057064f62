#pragma once
// What the last pack learnt about each game file, so that a re-pack reads only what changed.
// It lives in the output folder's private part (never in the game folder, never served) and
// is only a hint: an entry counts only while the object it names is in the store.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "format/RemoteFile.h"

namespace vt {

// The output folder's part that clients never request: history and the pack cache.
constexpr const char* KPrivateFolder = ".vtpublish";

struct TCachedFile {
  int64_t Size = 0;
  int64_t Time = 0;  // last-write time as GetFileInfo gives it
  std::string Hash;
  TChunkRef Chunks;  // the chunk index of its object, when it has one
};

class TPackCache {
 public:
  // The cache in OutDir for the game folder GameDir; empty when there is none, it belongs to
  // another game folder, or it does not read.
  static TPackCache Load(const std::string& OutDir, const std::string& GameDir);

  // What was recorded for Path when its size and time are still those recorded.
  std::optional<TCachedFile> Find(const std::string& Path, int64_t Size, int64_t Time) const;

  // Replaces the cache in OutDir with Files (paths with their size, time, hash and chunk
  // index). Entries
  // written less than KRacyTicks after the file's last write are dropped: a change within
  // the file system's time resolution would not show. Raises when it cannot be written.
  static void Save(const std::string& OutDir, const std::string& GameDir,
                   const std::map<std::string, TCachedFile>& Files, int64_t Now);

  static constexpr int64_t KRacyTicks = 2 * 10000000;  // two seconds in 100 ns units

 private:
  std::map<std::string, TCachedFile> FFiles;
};

// The current time in GetFileInfo's units.
int64_t FileTimeNow();

}  // namespace vt
