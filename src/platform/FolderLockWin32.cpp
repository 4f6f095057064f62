#include <windows.h>

#include <utility>

#include "platform/FolderLock.h"
#include "platform/WideWin32.h"

namespace vt {

namespace {

constexpr intptr_t KNoHandle = -1;  // INVALID_HANDLE_VALUE
// A lock file whose last handle has just closed is "delete pending" for a moment, and opening
// it then fails with ERROR_ACCESS_DENIED: a few short retries let that pass.
constexpr int KPendingRetries = 20;
constexpr DWORD KPendingWaitMs = 10;

}  // namespace

TFolderLock TFolderLock::TryLock(const std::string& Folder) {
  const std::wstring path = WidePath(Folder + KFolderLockName);
  for (int attempt = 0;; ++attempt) {
    // No sharing at all: a second open, from this process or another, fails with a sharing
    // violation while this handle is open. The handle is not inheritable, and the file goes
    // when the handle closes, which the system does for a process that ends in any way.
    const HANDLE handle =
        ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
      return TFolderLock(reinterpret_cast<intptr_t>(handle), TState::Held);
    const DWORD error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION)
      return TFolderLock(KNoHandle, TState::Busy);
    if (error != ERROR_ACCESS_DENIED || attempt >= KPendingRetries)
      return TFolderLock(KNoHandle, TState::Unavailable);
    ::Sleep(KPendingWaitMs);
  }
}

TFolderLock::TFolderLock(TFolderLock&& Other) noexcept
    : FHandle(std::exchange(Other.FHandle, KNoHandle)), FState(Other.FState) {}

TFolderLock& TFolderLock::operator=(TFolderLock&& Other) noexcept {
  if (this != &Other) {
    Release();
    FHandle = std::exchange(Other.FHandle, KNoHandle);
    FState = Other.FState;
  }
  return *this;
}

TFolderLock::~TFolderLock() {
  Release();
}

void TFolderLock::Release() {
  if (FHandle != KNoHandle)
    ::CloseHandle(reinterpret_cast<HANDLE>(std::exchange(FHandle, KNoHandle)));
}

}  // namespace vt
