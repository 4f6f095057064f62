#include <limits.h>
#include <unistd.h>
#include <cerrno>

#include <vector>

#include "platform/Process.h"

namespace vt {

std::string RunningExecutablePath() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    const ssize_t got = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (got < 0)
      return {};
    if (static_cast<size_t>(got) < buffer.size())
      return std::string(buffer.data(), got);
    buffer.resize(buffer.size() * 2);
  }
}

std::string AbsolutePath(const std::string& Path) {
  std::string full = Path;
  if (full.empty() || full.front() != '/') {
    std::vector<char> cwd(PATH_MAX);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
      if (errno != ERANGE)
        return Path;
      cwd.resize(cwd.size() * 2);
    }
    full = std::string(cwd.data()) + "/" + Path;
  }
  // Resolve "." and ".." by text, keeping a trailing separator.
  std::vector<std::string> parts;
  size_t start = 1;
  while (start <= full.size()) {
    size_t end = full.find('/', start);
    if (end == std::string::npos)
      end = full.size();
    const std::string part = full.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty())
        parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string result;
  for (const std::string& part : parts)
    result += "/" + part;
  if (result.empty() || full.back() == '/' ||
      (full.size() >= 2 && full.compare(full.size() - 2, 2, "/.") == 0)) {
    result += "/";
  }
  return result;
}

}  // namespace vt
