#pragma once
// Size and last-write time of many files below one folder, as GetFileInfo gives them, without
// a walk of the whole path per file: on Linux each folder is opened once and its files are
// queried relative to it; on Windows each folder is listed once in bulk. A reader serves one
// pass (an up-to-date test, a checking pass) on one thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Files.h"

namespace vt {

class TFileInfoReader {
 public:
  // Root: a folder ending in the local separator; every query names a file below it.
  explicit TFileInfoReader(std::string Root);
  ~TFileInfoReader();
  TFileInfoReader(const TFileInfoReader&) = delete;
  TFileInfoReader& operator=(const TFileInfoReader&) = delete;

  // As GetFileInfo of Root + Relative, where Relative separates folders with "/": nothing for a
  // missing file, one that cannot be queried, or a folder. On Windows the answer is as of the
  // folder's listing, made at its first query.
  std::optional<TFileInfo> Get(std::string_view Relative);

 private:
  struct TState;
  std::unique_ptr<TState> F;
};

}  // namespace vt
