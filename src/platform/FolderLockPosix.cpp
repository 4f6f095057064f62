#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/FolderLock.h"

namespace vt {

TFolderLock TFolderLock::TryLock(const std::string& Folder) {
  // flock, not fcntl: its lock belongs to the open descriptor, so a second descriptor of the
  // same process is refused too, and on Linux it works on a folder's own descriptor, which
  // leaves nothing behind in the folder.
  const int fd = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return TFolderLock(-1, TState::Unavailable);
  int status;
  do {
    status = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (status != 0 && errno == EINTR);
  if (status == 0)
    return TFolderLock(fd, TState::Held);
  const bool busy = errno == EWOULDBLOCK;
  ::close(fd);
  return TFolderLock(-1, busy ? TState::Busy : TState::Unavailable);
}

TFolderLock::TFolderLock(TFolderLock&& Other) noexcept
    : FHandle(std::exchange(Other.FHandle, -1)), FState(Other.FState) {}

TFolderLock& TFolderLock::operator=(TFolderLock&& Other) noexcept {
  if (this != &Other) {
    Release();
    FHandle = std::exchange(Other.FHandle, -1);
    FState = Other.FState;
  }
  return *this;
}

TFolderLock::~TFolderLock() {
  Release();
}

void TFolderLock::Release() {
  // Closing the only descriptor of the open file releases the lock.
  if (FHandle >= 0)
    ::close(static_cast<int>(std::exchange(FHandle, -1)));
}

}  // namespace vt
