#pragma once
// One update run per game folder at a time: an exclusive lock held through an open handle, so
// that it goes with the process however the process ends (a crash and SIGKILL included).

#include <cstdint>
#include <string>

namespace vt {

// On Windows the lock is an unshared handle to this file at the top of the game folder, opened
// to be deleted when the handle closes: Windows cannot lock a folder itself without getting in
// the way of the renames into it. On POSIX the folder itself is locked and no file is made.
constexpr const char* KFolderLockName = "vtlaunch.lock";

class TFolderLock {
 public:
  enum class TState {
    Held,         // this object holds the lock until it is destroyed
    Busy,         // another holder, in this process or another, has it
    Unavailable,  // the folder cannot be locked here (no right to it, or locks not supported)
  };

  // Tries once to take the lock of Folder (which ends in the local separator); never waits.
  // Two attempts in one process exclude each other as two processes do. The handle is not
  // passed on to programs this process starts.
  static TFolderLock TryLock(const std::string& Folder);

  TFolderLock(TFolderLock&& Other) noexcept;
  TFolderLock& operator=(TFolderLock&& Other) noexcept;
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;
  // Releases the lock (on Windows the lock file goes with it).
  ~TFolderLock();

  TState State() const { return FState; }

 private:
  TFolderLock(intptr_t Handle, TState State) : FHandle(Handle), FState(State) {}
  void Release();

  intptr_t FHandle;
  TState FState;
};

}  // namespace vt
