#include <cstring>

#include "platform/SysError.h"

namespace vt {

std::string SystemErrorText(int Code) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static string instead of filling the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  std::string text = strerror_r(Code, buffer, sizeof buffer);
#else
  std::string text = strerror_r(Code, buffer, sizeof buffer) == 0 ? buffer : "";
#endif
  if (text.empty())
    text = "error " + std::to_string(Code);
  while (!text.empty()) {
    const unsigned char last = static_cast<unsigned char>(text.back());
    if (last > ' ' && last != '.')
      break;
    text.pop_back();
  }
  return text;
}

}  // namespace vt
