#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "platform/Files.h"
#include "platform/SysError.h"

namespace vt {

const char KPathSeparator = '/';

namespace {

[[noreturn]] void RaiseFor(const std::string& Path) {
  throw std::runtime_error(Path + ": " + LastSystemErrorText());
}

int OpenOrRaise(const std::string& Path, int Flags) {
  int fd;
  do {
    fd = ::open(Path.c_str(), Flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    RaiseFor(Path);
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
      RaiseFor(FPath);
  }
}

void TFile::Write(const void* Data, size_t Size) {
  const char* next = static_cast<const char*>(Data);
  while (Size > 0) {
    const ssize_t put = ::write(static_cast<int>(FHandle), next, Size);
    if (put < 0) {
      if (errno == EINTR)
        continue;
      RaiseFor(FPath);
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
    RaiseFor(FPath);
}

}  // namespace vt
