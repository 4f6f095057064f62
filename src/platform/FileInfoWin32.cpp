#include <windows.h>

#include <string>
#include <unordered_map>
#include <utility>

#include "platform/FileInfo.h"
#include "platform/Files.h"
#include "platform/StatWin32.h"
#include "platform/WideWin32.h"

namespace vt {

namespace {

// Names held for all listed folders together before the listings are dropped and made anew.
constexpr size_t KMaxListed = 1 << 20;

// One folder's files by their exact names. Folders and reparse points are left out: they are
// asked about one by one, as before.
using TListing = std::unordered_map<std::wstring, TFileInfo>;

// Closes a search handle on every path.
class TFind {
 public:
  explicit TFind(HANDLE Handle) : FHandle(Handle) {}
  ~TFind() {
    if (FHandle != INVALID_HANDLE_VALUE)
      ::FindClose(FHandle);
  }
  TFind(const TFind&) = delete;
  TFind& operator=(const TFind&) = delete;
  HANDLE Get() const { return FHandle; }

 private:
  HANDLE FHandle;
};

// The files of Folder (a full local path) with the size and last-write time that
// GetFileAttributesExW reports; false when it cannot be listed.
bool ListFolder(const std::string& Folder, TListing& Out) {
  // The separator is kept through WidePath: "C:" alone would be drive C's current folder.
  std::wstring pattern = WidePath(Folder);
  if (pattern.empty() || pattern.back() != L'\\')
    pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW data;
  // Basic information skips the short names; the large fetch asks for many entries per call.
  const TFind find(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                      FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (find.Get() == INVALID_HANDLE_VALUE)
    return false;
  do {
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
      continue;
    Out[data.cFileName] = FileInfoOf(data);
  } while (::FindNextFileW(find.Get(), &data));
  return ::GetLastError() == ERROR_NO_MORE_FILES;
}

}  // namespace

struct TFileInfoReader::TState {
  std::string Root;
  // By the folder's relative name as queried ("a/b", "" for the root); an empty listing also
  // stands for a folder that could not be listed.
  std::unordered_map<std::string, TListing> Folders;
  size_t Listed = 0;

  const TListing& Listing(const std::string& Folder) {
    const auto found = Folders.find(Folder);
    if (found != Folders.end())
      return found->second;
    if (Listed > KMaxListed) {
      Folders.clear();
      Listed = 0;
    }
    std::string local = Root + Folder;
    for (char& c : local) {
      if (c == '/')
        c = '\\';
    }
    TListing listing;
    if (!ListFolder(local, listing))
      listing.clear();
    Listed += listing.size() + 1;
    return Folders.emplace(Folder, std::move(listing)).first->second;
  }
};

TFileInfoReader::TFileInfoReader(std::string Root) : F(std::make_unique<TState>()) {
  F->Root = std::move(Root);
}

TFileInfoReader::~TFileInfoReader() = default;

std::optional<TFileInfo> TFileInfoReader::Get(std::string_view Relative) {
  const size_t slash = Relative.rfind('/');
  const std::string folder(slash == std::string_view::npos ? std::string_view()
                                                           : Relative.substr(0, slash));
  const std::string_view name =
      slash == std::string_view::npos ? Relative : Relative.substr(slash + 1);
  if (!name.empty() && folder.find(':') == std::string::npos) {
    const TListing& listing = F->Listing(folder);
    const auto found = listing.find(Wide(name));
    if (found != listing.end())
      return found->second;
  }
  // Not listed under that exact name (another letter case, a short name, a folder, a file made
  // since): the query of one file, as always.
  std::string local = F->Root + std::string(Relative);
  for (char& c : local) {
    if (c == '/')
      c = '\\';
  }
  return GetFileInfo(local);
}

}  // namespace vt
