#pragma once

#include <string>
#include <string_view>

namespace vt {

// True when a relative path from the server or from "installed.json" stays inside the game
// folder: not empty, no leading "/" or "\", no ":" and no ".." anywhere.
bool IsSafeRelativePath(std::string_view Path);

// Dir (ending in the local separator) followed by Path with every "/" turned into the local
// separator. No other change; callers pass only paths that IsSafeRelativePath accepted.
std::string JoinLocalPath(std::string_view Dir, std::string_view Path);

// The folder part of a full file name, up to and including its last local separator; empty
// when it has none.
std::string FolderOf(const std::string& FileName);

// Text with Last appended unless it already ends in it (a folder's separator, a URL's "/").
std::string WithTrailing(std::string Text, char Last);

}  // namespace vt
