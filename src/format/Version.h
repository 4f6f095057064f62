#pragma once

namespace vt {

// This build's version (the CMake cache variable VT_VERSION). Each program compiles its own copy
// in, so two launchers built with different versions differ as files: a release can carry a
// newer launcher.
extern const char KVersion[];

}  // namespace vt
