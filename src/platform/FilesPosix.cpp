#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/Files.h"
#include "platform/StatPosix.h"
#include "platform/SysError.h"

namespace vt {

const char KPathSeparator = '/';

namespace {

// Code is errno as the failing call left it: passed in, so that building the message cannot
// change it first.
[[noreturn]] void RaiseFor(const std::string& Path, int Code) {
  throw std::runtime_error(Path + ": " + SystemErrorText(Code));
}

[[noreturn]] void RaiseWriteFor(const std::string& Path, int Code) {
  throw TFileWriteError(Path + ": " + SystemErrorText(Code));
}

int OpenOrRaise(const std::string& Path, int Flags) {
  int fd;
  do {
    fd = ::open(Path.c_str(), Flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    RaiseFor(Path, errno);
  return fd;
}

}  // namespace

TFile::TFile(intptr_t Handle, std::string Path) : FHandle(Handle), FPath(std::move(Path)) {}

TFile TFile::OpenRead(const std::string& Path) {
  return TFile(OpenOrRaise(Path, O_RDONLY), Path);
}

TFile TFile::Create(const std::string& Path) {
  return TFile(OpenOrRaise(Path, O_WRONLY | O_CREAT | O_TRUNC), Path);
}

TFile TFile::OpenReadWrite(const std::string& Path) {
  return TFile(OpenOrRaise(Path, O_RDWR | O_CREAT), Path);
}

TFile::TFile(TFile&& Other) noexcept
    : FHandle(std::exchange(Other.FHandle, -1)), FPath(std::move(Other.FPath)) {}

TFile& TFile::operator=(TFile&& Other) noexcept {
  if (this != &Other) {
    if (FHandle >= 0)
      ::close(static_cast<int>(FHandle));
    FHandle = std::exchange(Other.FHandle, -1);
    FPath = std::move(Other.FPath);
  }
  return *this;
}

TFile::~TFile() {
  if (FHandle >= 0)
    ::close(static_cast<int>(FHandle));
}

size_t TFile::Read(void* Buffer, size_t Size) {
  for (;;) {
    const ssize_t got = ::read(static_cast<int>(FHandle), Buffer, Size);
    if (got >= 0)
      return static_cast<size_t>(got);
    if (errno != EINTR)
      RaiseFor(FPath, errno);
  }
}

void TFile::Write(const void* Data, size_t Size) {
  const char* next = static_cast<const char*>(Data);
  while (Size > 0) {
    const ssize_t put = ::write(static_cast<int>(FHandle), next, Size);
    if (put < 0) {
      if (errno == EINTR)
        continue;
      RaiseWriteFor(FPath, errno);
    }
    next += put;
    Size -= static_cast<size_t>(put);
  }
}

void TFile::Close() {
  if (FHandle < 0)
    return;
  const int fd = static_cast<int>(std::exchange(FHandle, -1));
  // The descriptor is gone after close() even when it fails (EINTR included on Linux).
  if (::close(fd) != 0)
    RaiseWriteFor(FPath, errno);
}

size_t TFile::ReadAt(int64_t Offset, void* Buffer, size_t Size) {
  char* next = static_cast<char*>(Buffer);
  size_t done = 0;
  while (done < Size) {
    const ssize_t got = ::pread(static_cast<int>(FHandle), next + done, Size - done,
                                static_cast<off_t>(Offset + static_cast<int64_t>(done)));
    if (got == 0)
      break;
    if (got < 0) {
      if (errno == EINTR)
        continue;
      RaiseFor(FPath, errno);
    }
    done += static_cast<size_t>(got);
  }
  return done;
}

void TFile::WriteAt(int64_t Offset, const void* Data, size_t Size) {
  const char* next = static_cast<const char*>(Data);
  while (Size > 0) {
    const ssize_t put = ::pwrite(static_cast<int>(FHandle), next, Size, static_cast<off_t>(Offset));
    if (put < 0) {
      if (errno == EINTR)
        continue;
      RaiseWriteFor(FPath, errno);
    }
    next += put;
    Offset += put;
    Size -= static_cast<size_t>(put);
  }
}

void TFile::Resize(int64_t Size) {
  int status;
  do {
    status = ::ftruncate(static_cast<int>(FHandle), static_cast<off_t>(Size));
  } while (status != 0 && errno == EINTR);
  if (status != 0)
    RaiseWriteFor(FPath, errno);
}

}  // namespace vt

namespace vt {

namespace {

// Owns a descriptor for the few calls below that need one.
class TDescriptor {
 public:
  explicit TDescriptor(int Fd) : FFd(Fd) {}
  ~TDescriptor() {
    if (FFd >= 0)
      ::close(FFd);
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return FFd; }

 private:
  int FFd;
};

std::string ParentOf(const std::string& Path) {
  const size_t slash = Path.find_last_of('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : Path.substr(0, slash);
}

// The status is made before the descriptor's close, which could change errno.
TSysStatus SyncPath(const std::string& Path, int Flags) {
  TDescriptor fd(::open(Path.c_str(), Flags | O_CLOEXEC));
  if (fd.Get() < 0 || ::fsync(fd.Get()) != 0)
    return TSysStatus::Failed(errno);
  return {};
}

mode_t CurrentUmask() {
  // Reading it through /proc avoids umask()'s set-and-restore, which races with other threads.
  static const mode_t mask = [] {
    TDescriptor fd(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    char buffer[4096];
    const ssize_t got = fd.Get() >= 0 ? ::read(fd.Get(), buffer, sizeof buffer - 1) : -1;
    if (got > 0) {
      buffer[got] = '\0';
      if (const char* line = std::strstr(buffer, "Umask:")) {
        return static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
      }
    }
    return static_cast<mode_t>(022);
  }();
  return mask;
}

}  // namespace

std::optional<TFileInfo> GetFileInfo(const std::string& Path) {
  struct stat info;
  if (::stat(Path.c_str(), &info) != 0)
    return std::nullopt;
  return FileInfoOf(info);
}

bool FolderExists(const std::string& Path) {
  struct stat info;
  return ::stat(Path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CanWriteFolder(const std::string& Path) {
  return ::access(Path.c_str(), W_OK | X_OK) == 0;
}

TSysStatus CreateFolders(const std::string& Path) {
  std::string trimmed = Path;
  while (trimmed.size() > 1 && trimmed.back() == '/')
    trimmed.pop_back();
  if (trimmed.empty() || FolderExists(trimmed))
    return {};
  const std::string parent = ParentOf(trimmed);
  if (parent != trimmed) {
    if (TSysStatus made = CreateFolders(parent); !made)
      return made;
  }
  if (::mkdir(trimmed.c_str(), 0777) == 0)
    return {};
  const int error = errno;
  // Made meanwhile by another thread or process: as good as made here.
  if (error == EEXIST && FolderExists(trimmed))
    return {};
  return TSysStatus::Failed(error);
}

bool RemoveFile(const std::string& Path) {
  return ::unlink(Path.c_str()) == 0;
}

TSysStatus ReplaceFile(const std::string& Source, const std::string& Target) {
  // The counterpart of a write-through move: the data first, then the rename, then the folder
  // entry, so that after a crash the target is either the old file or the whole new one.
  if (TSysStatus synced = SyncPath(Source, O_RDONLY); !synced)
    return synced;
  if (::rename(Source.c_str(), Target.c_str()) != 0)
    return TSysStatus::Failed(errno);
  // The move has happened; a folder that cannot be flushed does not undo it.
  SyncPath(ParentOf(Target), O_RDONLY | O_DIRECTORY);
  return {};
}

TSysStatus RenameFile(const std::string& Source, const std::string& Target) {
  if (::renameat2(AT_FDCWD, Source.c_str(), AT_FDCWD, Target.c_str(), RENAME_NOREPLACE) == 0)
    return {};
  const int error = errno;
  if (error != EINVAL && error != ENOSYS)
    return TSysStatus::Failed(error);
  // A file system without no-replace renames: test first (a small race, as Windows has too).
  struct stat info;
  if (::lstat(Target.c_str(), &info) == 0)
    return TSysStatus::Failed(EEXIST);
  if (::rename(Source.c_str(), Target.c_str()) != 0)
    return TSysStatus::Failed(errno);
  return {};
}

bool FitsFileName(const std::string& Folder, const std::string& Name) {
  const long limit = ::pathconf(Folder.c_str(), _PC_NAME_MAX);
  return Name.size() <= static_cast<size_t>(limit > 0 ? limit : 255);
}

bool FreeSpace(const std::string& Folder, int64_t& Bytes) {
  struct statvfs info;
  if (::statvfs(Folder.c_str(), &info) != 0)
    return false;
  // f_bavail, not f_bfree: the blocks kept for the superuser are not ours to count on.
  Bytes = static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
  return true;
}

void SetFileMode(const std::string& Path, bool Executable) {
  ::chmod(Path.c_str(), (Executable ? 0755 : 0644) & ~CurrentUmask());
}

// Kept apart from ReplaceFile: the download step flushes each folder once, after all its files.
TSysStatus ReplaceFileFolderLater(const std::string& Source, const std::string& Target) {
  if (TSysStatus synced = SyncPath(Source, O_RDONLY); !synced)
    return synced;
  if (::rename(Source.c_str(), Target.c_str()) != 0)
    return TSysStatus::Failed(errno);
  return {};
}

TSysStatus FlushFolder(const std::string& Path) {
  return SyncPath(Path, O_RDONLY | O_DIRECTORY);
}

void TFile::StartWriteBack(int64_t Offset, int64_t Size) {
  // A hint only: the final fsync still decides, so a failure here changes nothing.
  ::sync_file_range(static_cast<int>(FHandle), Offset, Size, SYNC_FILE_RANGE_WRITE);
}

}  // namespace vt
