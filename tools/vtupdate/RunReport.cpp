#include "RunReport.h"

#include <cstdio>

namespace vt {

void WriteStdout(const std::string& Text) {
  std::fwrite(Text.data(), 1, Text.size(), stdout);
  std::fflush(stdout);
}

void WriteStderr(const std::string& Text) {
  std::fwrite(Text.data(), 1, Text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace vt
