#pragma once

#include <string>

namespace vt {

// The operating system's message for an error code, with trailing blanks, control characters
// and full stops removed.
std::string SystemErrorText(int Code);
// The same for the calling thread's last error (errno, or GetLastError on Windows).
std::string LastSystemErrorText();

}  // namespace vt
