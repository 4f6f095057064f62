#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/FileInfo.h"
#include "platform/Files.h"
#include "platform/StatPosix.h"

namespace vt {

namespace {

#ifdef O_PATH
// Enough to query below the folder; needs search permission only, as a path walk does.
constexpr int KFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int KFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

bool IsPlainName(std::string_view Name) {
  return !Name.empty() && Name != "." && Name != "..";
}

}  // namespace

struct TFileInfoReader::TState {
  std::string Root;
  int RootFd = -1;
  bool RootTried = false;
  // The folders of the last query's path, each opened relative to the one before: a list in
  // folder order opens every folder once.
  std::vector<std::pair<std::string, int>> Open;

  ~TState() {
    Trim(0);
    if (RootFd >= 0)
      ::close(RootFd);
  }
  void Trim(size_t Keep) {
    while (Open.size() > Keep) {
      ::close(Open.back().second);
      Open.pop_back();
    }
  }
  // The descriptor of folder Folder ("a/b", "" for the root); -1 when it cannot be opened.
  int FolderFd(std::string_view Folder) {
    if (!RootTried) {
      RootTried = true;
      RootFd = ::open(Root.c_str(), KFolderFlags);
    }
    if (RootFd < 0)
      return -1;
    size_t depth = 0;
    while (!Folder.empty()) {
      const size_t slash = Folder.find('/');
      const std::string_view name = Folder.substr(0, slash);
      Folder = slash == std::string_view::npos ? std::string_view() : Folder.substr(slash + 1);
      if (!IsPlainName(name))
        return -1;
      if (depth < Open.size() && Open[depth].first == name) {
        ++depth;
        continue;
      }
      Trim(depth);
      const int parent = depth == 0 ? RootFd : Open[depth - 1].second;
      const int fd = ::openat(parent, std::string(name).c_str(), KFolderFlags);
      if (fd < 0)
        return -1;
      Open.emplace_back(std::string(name), fd);
      ++depth;
    }
    Trim(depth);
    return depth == 0 ? RootFd : Open[depth - 1].second;
  }
};

TFileInfoReader::TFileInfoReader(std::string Root) : F(std::make_unique<TState>()) {
  F->Root = std::move(Root);
}

TFileInfoReader::~TFileInfoReader() = default;

std::optional<TFileInfo> TFileInfoReader::Get(std::string_view Relative) {
  const size_t slash = Relative.rfind('/');
  const std::string_view folder =
      slash == std::string_view::npos ? std::string_view() : Relative.substr(0, slash);
  const std::string name(slash == std::string_view::npos ? Relative : Relative.substr(slash + 1));
  const int fd = IsPlainName(name) ? F->FolderFd(folder) : -1;
  struct stat info;
  // Anything unusual (an odd name, a folder that cannot be opened, a failed query, which may
  // also mean a folder renamed since it was opened) takes the full path, as it always did.
  if (fd < 0 || ::fstatat(fd, name.c_str(), &info, 0) != 0)
    return GetFileInfo(F->Root + std::string(Relative));
  return FileInfoOf(info);
}

}  // namespace vt
