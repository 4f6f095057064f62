#pragma once

#include <string>
#include <vector>

namespace vt {

// Full path of the running executable.
std::string RunningExecutablePath();

// Path made absolute against the current working folder, with "." and ".." parts resolved
// by text alone (no link is followed).
std::string AbsolutePath(const std::string& Path);

// Starts File with Params (each handed over exactly, blanks included) in the working folder
// WorkDir, detached from this process: it runs on after this one ends and is never waited
// for. Whether it started is not reported.
void StartDetached(const std::string& File, const std::vector<std::string>& Params,
                   const std::string& WorkDir);

}  // namespace vt
