#pragma once
// One writer at a time in an output tree: a prune beside a pack could remove an object that the
// pack has just decided to reuse, and two packs would write the same temporary files.

#include <optional>
#include <string>

#include "platform/FolderLock.h"

namespace vt {

class TTreeLock {
 public:
  // Takes the lock of OutDir's private folder, held until this object goes. Raises with a
  // one-line message saying what to do when another holds it.
  explicit TTreeLock(const std::string& OutDir);
  TTreeLock(const TTreeLock&) = delete;
  TTreeLock& operator=(const TTreeLock&) = delete;

 private:
  std::optional<TFolderLock> FLock;
};

}  // namespace vt
