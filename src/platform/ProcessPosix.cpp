#include <limits.h>
#include <signal.h>
#include <spawn.h>
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

std::vector<std::string> CommandLineParams(int Argc, char** Argv) {
  std::vector<std::string> params;
  for (int i = 1; i < Argc; ++i)
    params.emplace_back(Argv[i]);
  return params;
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

namespace {

// Owners of the spawn descriptions; a failed init leaves Ok false and nothing to free.
struct TSpawnActions {
  posix_spawn_file_actions_t Value;
  bool Ok = ::posix_spawn_file_actions_init(&Value) == 0;
  ~TSpawnActions() {
    if (Ok)
      ::posix_spawn_file_actions_destroy(&Value);
  }
};

struct TSpawnAttributes {
  posix_spawnattr_t Value;
  bool Ok = ::posix_spawnattr_init(&Value) == 0;
  ~TSpawnAttributes() {
    if (Ok)
      ::posix_spawnattr_destroy(&Value);
  }
};

}  // namespace

void StartDetached(const std::string& File, const std::vector<std::string>& Params,
                   const std::string& WorkDir, TParamText /*Form*/) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(File.c_str()));
  for (const std::string& param : Params)
    argv.push_back(const_cast<char*>(param.c_str()));
  argv.push_back(nullptr);

  TSpawnActions actions;
  TSpawnAttributes attributes;
  if (!actions.Ok || !attributes.Ok)
    return;
  if (!WorkDir.empty())
    ::posix_spawn_file_actions_addchdir_np(&actions.Value, WorkDir.c_str());
  // Our sockets and files are no business of the started program.
  ::posix_spawn_file_actions_addclosefrom_np(&actions.Value, 3);
  // Its own session, so that closing our terminal does not end it; and a clean signal state,
  // since ignored signals (an HTTP client may ignore SIGPIPE) and the mask survive exec.
  // The child is never reaped: the launcher ends right after, and init adopts it.
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  ::posix_spawnattr_setsigmask(&attributes.Value, &none);
  ::posix_spawnattr_setsigdefault(&attributes.Value, &all);
  ::posix_spawnattr_setflags(&attributes.Value,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  ::posix_spawn(&pid, File.c_str(), &actions.Value, &attributes.Value, argv.data(), environ);
}

}  // namespace vt
