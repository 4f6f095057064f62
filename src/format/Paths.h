#pragma once

#include <string>
#include <string_view>

namespace vt {

// True when a relative path from the server or from "installed.json" stays inside the game
// folder: not empty, no leading "/" or "\", no ":" and no ".." anywhere.
bool IsSafeRelativePath(std::string_view Path);

// True when Path, ASCII letters folded, is one of the names the launcher keeps for itself at
// the top of the game folder: its record, its memory of trust, its self-update's side files,
// the folder lock, and the names under which those are written. No list path may take one.
bool IsLauncherOwnName(std::string_view Path);

// The names a file is received under beside its target: the candidate, and the compressed
// object while it arrives.
constexpr std::string_view KPartSuffix = ".part";
constexpr std::string_view KZPartSuffix = ".zpart";

// Where a file is received beside Target: the candidate that is verified and renamed over it,
// and the compressed object while it arrives. Target + ".part" and Target + ".zpart" where the
// file system takes those names, else the short names.
struct TReceivingNames {
  std::string Candidate;
  std::string Compressed;
};
TReceivingNames ReceivingNames(const std::string& Target);
// The short names: in Target's folder, the first 16 hex digits of the SHA-256 of Target's own
// name followed by "..part" or "..zpart". No list path holds "..", so they never stand for a
// file of the game, and they fit wherever a folder does.
TReceivingNames ShortReceivingNames(const std::string& Target);

// Dir (ending in the local separator) followed by Path with every "/" turned into the local
// separator. No other change; callers pass only paths that IsSafeRelativePath accepted.
std::string JoinLocalPath(std::string_view Dir, std::string_view Path);

// The folder part of a full file name, up to and including its last local separator; empty
// when it has none.
std::string FolderOf(const std::string& FileName);

// Text with Last appended unless it already ends in it (a folder's separator, a URL's "/").
std::string WithTrailing(std::string Text, char Last);

}  // namespace vt
