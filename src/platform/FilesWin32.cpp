#include <windows.h>
// windows.h makes ReplaceFile a macro for its own ReplaceFileW, which would rename ours.
#undef ReplaceFile

#include <stdexcept>
#include <utility>

#include "platform/Files.h"
#include "platform/StatWin32.h"
#include "platform/SysError.h"
#include "platform/WideWin32.h"

namespace vt {

const char KPathSeparator = '\\';

namespace {

constexpr intptr_t KNoHandle = -1;  // INVALID_HANDLE_VALUE
// ReadFile and WriteFile take 32-bit sizes.
constexpr size_t KMaxChunk = 1u << 30;

// Code is GetLastError() as the failing call left it: passed in, so that building the message
// cannot change it first.
[[noreturn]] void RaiseFor(const std::string& Path, DWORD Code) {
  throw std::runtime_error(Path + ": " + SystemErrorText(static_cast<int>(Code)));
}

[[noreturn]] void RaiseWriteFor(const std::string& Path, DWORD Code) {
  throw TFileWriteError(Path + ": " + SystemErrorText(static_cast<int>(Code)));
}

TSysStatus LastErrorStatus() {
  return TSysStatus::Failed(static_cast<int>(::GetLastError()));
}

HANDLE Handle(intptr_t Value) {
  return reinterpret_cast<HANDLE>(Value);
}

intptr_t OpenOrRaise(const std::string& Path, DWORD Access, DWORD Share, DWORD Disposition) {
  // The wide path outlives the call: freeing it between the call and GetLastError could
  // change the error.
  const std::wstring path = WidePath(Path);
  const HANDLE handle = ::CreateFileW(path.c_str(), Access, Share, nullptr, Disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    RaiseFor(Path, ::GetLastError());
  return reinterpret_cast<intptr_t>(handle);
}

bool IsSeparator(char Char) {
  return Char == '\\' || Char == '/';
}

}  // namespace

TFile::TFile(intptr_t Handle, std::string Path) : FHandle(Handle), FPath(std::move(Path)) {}

TFile TFile::OpenRead(const std::string& Path) {
  // Sharing delete too, so that a file being read can still be replaced by a rename.
  return TFile(OpenOrRaise(Path, GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING),
               Path);
}

TFile TFile::Create(const std::string& Path) {
  return TFile(OpenOrRaise(Path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), Path);
}

TFile TFile::OpenReadWrite(const std::string& Path) {
  return TFile(OpenOrRaise(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           OPEN_ALWAYS),
               Path);
}

TFile::TFile(TFile&& Other) noexcept
    : FHandle(std::exchange(Other.FHandle, KNoHandle)), FPath(std::move(Other.FPath)) {}

TFile& TFile::operator=(TFile&& Other) noexcept {
  if (this != &Other) {
    if (FHandle != KNoHandle)
      ::CloseHandle(Handle(FHandle));
    FHandle = std::exchange(Other.FHandle, KNoHandle);
    FPath = std::move(Other.FPath);
  }
  return *this;
}

TFile::~TFile() {
  if (FHandle != KNoHandle)
    ::CloseHandle(Handle(FHandle));
}

size_t TFile::Read(void* Buffer, size_t Size) {
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(Size < KMaxChunk ? Size : KMaxChunk);
  if (!::ReadFile(Handle(FHandle), Buffer, want, &got, nullptr))
    RaiseFor(FPath, ::GetLastError());
  return got;
}

void TFile::Write(const void* Data, size_t Size) {
  const char* next = static_cast<const char*>(Data);
  while (Size > 0) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(Size < KMaxChunk ? Size : KMaxChunk);
    if (!::WriteFile(Handle(FHandle), next, want, &put, nullptr))
      RaiseWriteFor(FPath, ::GetLastError());
    next += put;
    Size -= put;
  }
}

void TFile::Close() {
  if (FHandle == KNoHandle)
    return;
  if (!::CloseHandle(Handle(std::exchange(FHandle, KNoHandle))))
    RaiseWriteFor(FPath, ::GetLastError());
}

namespace {

// The offset of a synchronous ReadFile or WriteFile call.
OVERLAPPED At(int64_t Offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(Offset));
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(Offset) >> 32);
  return at;
}

}  // namespace

size_t TFile::ReadAt(int64_t Offset, void* Buffer, size_t Size) {
  char* next = static_cast<char*>(Buffer);
  size_t done = 0;
  while (done < Size) {
    DWORD got = 0;
    const size_t left = Size - done;
    const DWORD want = static_cast<DWORD>(left < KMaxChunk ? left : KMaxChunk);
    OVERLAPPED at = At(Offset + static_cast<int64_t>(done));
    if (!::ReadFile(Handle(FHandle), next + done, want, &got, &at)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF)
        break;
      RaiseFor(FPath, error);
    }
    if (got == 0)
      break;
    done += got;
  }
  return done;
}

void TFile::WriteAt(int64_t Offset, const void* Data, size_t Size) {
  const char* next = static_cast<const char*>(Data);
  while (Size > 0) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(Size < KMaxChunk ? Size : KMaxChunk);
    OVERLAPPED at = At(Offset);
    if (!::WriteFile(Handle(FHandle), next, want, &put, &at))
      RaiseWriteFor(FPath, ::GetLastError());
    next += put;
    Offset += put;
    Size -= put;
  }
}

void TFile::Resize(int64_t Size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = Size;
  if (!::SetFileInformationByHandle(Handle(FHandle), FileEndOfFileInfo, &end, sizeof end))
    RaiseWriteFor(FPath, ::GetLastError());
}

std::optional<TFileInfo> GetFileInfo(const std::string& Path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(WidePath(Path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  return FileInfoOf(data);
}

bool FolderExists(const std::string& Path) {
  const DWORD attributes = ::GetFileAttributesW(WidePath(Path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CanWriteFolder(const std::string& Path) {
  // Access lists decide, and no attribute shows them: the sure answer is to try. The probe goes
  // with its handle.
  std::string probe = Path;
  if (!probe.empty() && !IsSeparator(probe.back()))
    probe += '\\';
  probe += "vtlaunch.probe";
  const HANDLE file = ::CreateFileW(WidePath(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  ::CloseHandle(file);
  return true;
}

TSysStatus CreateFolders(const std::string& Path) {
  std::string trimmed = Path;
  while (trimmed.size() > 1 && IsSeparator(trimmed.back()))
    trimmed.pop_back();
  if (trimmed.empty() || FolderExists(trimmed))
    return {};
  const size_t cut = trimmed.find_last_of("\\/");
  // Up to a drive ("C:") or the root of a share, which exist or cannot be made.
  if (cut != std::string::npos && cut > 0) {
    if (TSysStatus made = CreateFolders(trimmed.substr(0, cut)); !made)
      return made;
  }
  const std::wstring path = WidePath(trimmed);  // kept past GetLastError, as in OpenOrRaise
  if (::CreateDirectoryW(path.c_str(), nullptr))
    return {};
  const DWORD error = ::GetLastError();
  // Made meanwhile by another thread or process: as good as made here.
  if (error == ERROR_ALREADY_EXISTS && FolderExists(trimmed))
    return {};
  return TSysStatus::Failed(static_cast<int>(error));
}

bool RemoveFile(const std::string& Path) {
  return ::DeleteFileW(WidePath(Path).c_str()) != 0;
}

TSysStatus ReplaceFile(const std::string& Source, const std::string& Target) {
  // Flags 9: replace an existing target, and return only once the move is on disk (for a move
  // between volumes that includes the copied data).
  const std::wstring source = WidePath(Source), target = WidePath(Target);
  if (!::MoveFileExW(source.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return LastErrorStatus();
  return {};
}

TSysStatus RenameFile(const std::string& Source, const std::string& Target) {
  // MoveFileW fails with ERROR_ALREADY_EXISTS when Target exists; the running launcher's own
  // executable may be renamed this way, though not deleted or overwritten.
  const std::wstring source = WidePath(Source), target = WidePath(Target);
  if (!::MoveFileW(source.c_str(), target.c_str()))
    return LastErrorStatus();
  return {};
}

bool FitsFileName(const std::string&, const std::string& Name) {
  // NTFS, ReFS, exFAT and FAT32 (every writable file system a game is installed on) take 255
  // UTF-16 units in a name. Asking the volume instead would cost a call per placed file, and
  // Wine writes a warning to standard error for each.
  constexpr size_t KNameLimit = 255;
  return Wide(Name).size() <= KNameLimit;
}

bool FreeSpace(const std::string& Folder, int64_t& Bytes) {
  // What the caller may use, which a quota can make less than what the volume has free.
  ULARGE_INTEGER available;
  if (!::GetDiskFreeSpaceExW(WidePath(Folder).c_str(), &available, nullptr, nullptr))
    return false;
  Bytes = static_cast<int64_t>(available.QuadPart);
  return true;
}

void SetFileMode(const std::string& /*Path*/, bool /*Executable*/) {}

// A write-through move puts the folder's entry on the disk with the file, so nothing is left
// for later.
TSysStatus ReplaceFileFolderLater(const std::string& Source, const std::string& Target) {
  return ReplaceFile(Source, Target);
}

TSysStatus FlushFolder(const std::string&) {
  return {};
}

void TFile::StartWriteBack(int64_t, int64_t) {}

}  // namespace vt
