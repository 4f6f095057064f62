#pragma once
// The files of a game folder as a release carries them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "publish/Exclude.h"

namespace vt {

struct TGameFile {
  std::string Path;       // relative to the game folder, "/" separators, UTF-8
  std::string LocalPath;  // the file's name on this machine
  int64_t Size = 0;       // as seen while walking; the pack reads the real count
};

// Every regular file under Dir, sorted by Path (byte order), so a pack is deterministic.
// Raises with a message naming the offending path for anything a release cannot carry:
// a symbolic link or other special file, a name the launcher would refuse or read differently
// (not UTF-8, "..", ":", a backslash), two names that differ only in letter case, and the
// launcher's own record "installed.json".
std::vector<TGameFile> ListGameFiles(const std::string& Dir);

struct TGameListing {
  std::vector<TGameFile> Files;         // as ListGameFiles gives them
  std::vector<std::string> LeftOutVcs;  // version-control folders left out, by path
  int64_t Excluded = 0;                 // files and folders the patterns left out
};

// ListGameFiles without what Rules leave out; a folder left out is not entered, so nothing in
// it is checked either.
TGameListing ListGameFiles(const std::string& Dir, const TExcludeRules& Rules);

// True when Text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view Text);

}  // namespace vt
