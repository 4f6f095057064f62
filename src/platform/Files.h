#pragma once
// File access behind one small interface, so the engine holds no OS handles.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/SysError.h"

namespace vt {

// The local path separator ("/" on Linux, "\" on Windows).
extern const char KPathSeparator;

// A write to a file that failed (a full disk, a quota, an I/O error), as opposed to a failure
// of wherever the bytes came from. The message is "<path>: <system text>".
class TFileWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An open file with one owner; closed by its destructor on every path.
class TFile {
 public:
  // Open for reading, others may read and write meanwhile. Raises std::runtime_error
  // "<path>: <system text>" when it cannot be opened.
  static TFile OpenRead(const std::string& Path);
  // Create for writing, truncating an existing file. Raises like OpenRead.
  static TFile Create(const std::string& Path);
  // Open for reading and writing at any offset, made when missing, never truncated; several
  // handles may write to one file at once. Raises like OpenRead.
  static TFile OpenReadWrite(const std::string& Path);

  TFile(TFile&& Other) noexcept;
  TFile& operator=(TFile&& Other) noexcept;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  ~TFile();

  // Up to Size bytes; 0 only at the end of the file. Raises on a read error.
  size_t Read(void* Buffer, size_t Size);
  // All Size bytes, or raises TFileWriteError.
  void Write(const void* Data, size_t Size);
  // Closes now and reports a failure that the destructor would have to swallow, as a
  // TFileWriteError: what was written may not have reached the disk.
  void Close();

  // Up to Size bytes from Offset, fewer only at the end of the file. Raises on a read error.
  size_t ReadAt(int64_t Offset, void* Buffer, size_t Size);
  // All Size bytes at Offset, or raises TFileWriteError.
  void WriteAt(int64_t Offset, const void* Data, size_t Size);
  // Cuts or extends the file to Size bytes, or raises TFileWriteError.
  void Resize(int64_t Size);
  // Asks the system to start writing Size bytes from Offset to the disk now, without waiting,
  // so that a flush at the end has less left to do. Nothing where there is no such request.
  void StartWriteBack(int64_t Offset, int64_t Size);

 private:
  TFile(intptr_t Handle, std::string Path);

  intptr_t FHandle;
  std::string FPath;
};

// Size and last-write time of a file. Time counts 100 ns intervals since 1601-01-01 UTC on every
// platform.
struct TFileInfo {
  int64_t Size = 0;
  int64_t Time = 0;

  bool operator==(const TFileInfo&) const = default;
};

// Nothing when Path is missing, cannot be queried, or is a folder.
std::optional<TFileInfo> GetFileInfo(const std::string& Path);

bool FolderExists(const std::string& Path);

// True when this process may create files in the folder Path.
bool CanWriteFolder(const std::string& Path);

// Creates Path and its missing parents; fails with why when it could not.
TSysStatus CreateFolders(const std::string& Path);

// Deletes a file; false when it could not (callers that only tidy up ignore it).
bool RemoveFile(const std::string& Path);

// Moves Source over Target in one step, replacing Target, and returns only once the new
// content and the rename are on disk. When it could not, it fails with why and Source is left
// where it was.
TSysStatus ReplaceFile(const std::string& Source, const std::string& Target);

// As ReplaceFile, except that the folder's entry may reach the disk later: after a crash
// Target is the old file or the whole new one, and it is the new one for sure once
// FlushFolder of its folder has returned.
TSysStatus ReplaceFileFolderLater(const std::string& Source, const std::string& Target);

// Writes the entries of folder Path (renames into it) to the disk, or fails with why.
TSysStatus FlushFolder(const std::string& Path);

// Renames Source to Target, failing (with why) when Target exists or it could not.
TSysStatus RenameFile(const std::string& Source, const std::string& Target);

// True when Name (one component, UTF-8) is within the longest file name that the file system
// holding Folder takes (counted in bytes on POSIX, in UTF-16 units on Windows); 255 is assumed
// where that cannot be told.
bool FitsFileName(const std::string& Folder, const std::string& Name);

// The bytes this user may still write on the file system that holds Folder. False when it
// cannot be told.
bool FreeSpace(const std::string& Folder, int64_t& Bytes);

// Sets the mode of a placed file: 0755 less the umask for a program, else 0644 less the umask.
// Nothing on Windows. The outcome is not examined: the file stays usable either way.
void SetFileMode(const std::string& Path, bool Executable);

}  // namespace vt
