#pragma once

#include <string>
#include <vector>

namespace vt {

// Full path of the running executable.
std::string RunningExecutablePath();

// The parameters the program was started with, its own name left out, as UTF-8. POSIX: argv
// from 1 on. Windows: the process's command line split by SplitCommandLine (Argc and Argv,
// split by other rules and in the ANSI code page, are not used).
std::vector<std::string> CommandLineParams(int Argc, char** Argv);

// Path made absolute against the current working folder, with "." and ".." parts resolved
// by text alone (no link is followed).
std::string AbsolutePath(const std::string& Path);

// How parameters reach a Windows program, whose command line is one text: AsIs joins them with
// blanks (the game's single "-launched"); Quoted wraps each in double quotes, so that one with
// blanks stays one (the launcher's own parameters at a restart). POSIX hands them over as
// separate arguments either way.
enum class TParamText { AsIs, Quoted };

// Starts File with Params (each handed over exactly, blanks included) in the working folder
// WorkDir, detached from this process: it runs on after this one ends and is never waited
// for. Whether it started is not reported.
void StartDetached(const std::string& File, const std::vector<std::string>& Params,
                   const std::string& WorkDir, TParamText Form);

}  // namespace vt
