#pragma once

#include <string>

namespace vt {

// Full path of the running executable.
std::string RunningExecutablePath();

// Path made absolute against the current working folder, with "." and ".." parts resolved
// by text alone (no link is followed).
std::string AbsolutePath(const std::string& Path);

}  // namespace vt
