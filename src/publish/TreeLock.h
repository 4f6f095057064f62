#pragma once
// One writer at a time in an output tree: a prune beside a pack could remove an object that the
// pack has just decided to reuse, and two packs would write the same temporary files.

#include <string>

namespace vt {

class TTreeLock {
 public:
  // Takes the lock of OutDir (a file in its private folder, made with a rename that never
  // replaces). Raises with a one-line message saying what to do when another holds it.
  explicit TTreeLock(const std::string& OutDir);
  ~TTreeLock();
  TTreeLock(const TTreeLock&) = delete;
  TTreeLock& operator=(const TTreeLock&) = delete;

 private:
  std::string FPath;
};

}  // namespace vt
