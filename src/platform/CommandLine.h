#pragma once
// A Windows program receives its parameters as one text. These turn that text into parameters
// by the launcher's own rules, and parameters back into a text, on every platform (so that the
// rules are tested everywhere).

#include <string>
#include <string_view>
#include <vector>

#include "platform/Process.h"

namespace vt {

// The parameters of a whole command line (UTF-8), the program's own name (its first
// parameter) left out. Characters 1 to 32 separate parameters; a double quote opens a stretch
// up to the next one (or the end) in which they do not; quotes are never part of a parameter;
// pairs of adjacent quotes between parameters are skipped, so "" yields no parameter. A NUL
// ends the line.
std::vector<std::string> SplitCommandLine(std::string_view Line);

// The parameter text that hands Params to a started program: AsIs joins them with single
// blanks; Quoted puts a blank and each one in double quotes, then trims characters 0 to 32
// from both ends (so no parameters give an empty text).
std::string ParamText(const std::vector<std::string>& Params, TParamText Form);

}  // namespace vt
