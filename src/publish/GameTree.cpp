#include "publish/GameTree.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <system_error>

#include "format/Paths.h"
#include "format/Text.h"
#include "format/Utf8.h"

namespace vt {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Refuse(const std::string& Path, const std::string& Why) {
  throw std::runtime_error(Path + ": " + Why);
}

// Windows reserves these names for devices, with any extension.
bool IsDeviceName(std::string_view Part) {
  const std::string stem = AsciiLower(Part.substr(0, Part.find('.')));
  static const char* const KDevices[] = {"con", "prn", "aux", "nul"};
  for (const char* device : KDevices) {
    if (stem == device)
      return true;
  }
  return stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) &&
         stem[3] >= '1' && stem[3] <= '9';
}

// Why Windows could not hold a name with this part, or nothing when it can.
const char* WindowsObjection(std::string_view Part) {
  for (const char c : Part) {
    if (static_cast<unsigned char>(c) < 32 ||
        std::string_view("<>\"|?*").find(c) != std::string_view::npos) {
      return "holds a character that Windows does not allow in file names";
    }
  }
  if (!Part.empty() && (Part.back() == '.' || Part.back() == ' '))
    return "ends in a full stop or a space, which Windows drops from file names";
  if (IsDeviceName(Part))
    return "is a device name on Windows";
  return nullptr;
}

// Refuses a name that the launcher would refuse, or would place under another name.
void CheckName(const std::string& Path) {
  if (!IsValidUtf8(Path))
    Refuse(Path, "the name is not valid UTF-8");
  if (!IsSafeRelativePath(Path))
    Refuse(Path,
           "the launcher refuses this name (it holds \"..\" or \":\", or starts with \"\\\")");
  if (Path.find('\\') != std::string::npos)
    Refuse(Path, "a \"\\\" in a name would be a folder separator on Windows");
  size_t start = 0;
  while (start <= Path.size()) {
    const size_t end = std::min(Path.find('/', start), Path.size());
    if (const char* why = WindowsObjection(std::string_view(Path).substr(start, end - start))) {
      Refuse(Path, std::string("the name ") + why);
    }
    start = end + 1;
  }
  if (IsLauncherOwnName(Path))
    Refuse(Path, "the launcher keeps this name for itself (its record, self-update or lock)");
}

void CheckType(const fs::directory_entry& Entry, const std::string& Path) {
  const fs::file_status status = Entry.symlink_status();
  if (fs::is_symlink(status))
    Refuse(Path, "is a symbolic link; a release holds regular files only");
  if (!fs::is_regular_file(status) && !fs::is_directory(status))
    Refuse(Path, "is not a regular file; a release holds regular files only");
}

}  // namespace

bool IsValidUtf8(std::string_view Text) {
  return FindInvalidUtf8(Text) == std::string_view::npos;
}

std::vector<TGameFile> ListGameFiles(const std::string& Dir) {
  return ListGameFiles(Dir, TExcludeRules()).Files;
}

TGameListing ListGameFiles(const std::string& Dir, const TExcludeRules& Rules) {
  const fs::path root(Dir);
  std::error_code error;
  if (!fs::is_directory(root, error))
    Refuse(Dir, error ? error.message() : "not a folder");
  TGameListing listing;
  std::vector<TGameFile>& files = listing.Files;
  try {
    for (auto walk = fs::recursive_directory_iterator(root); walk != fs::end(walk); ++walk) {
      const fs::directory_entry& entry = *walk;
      const std::string path = entry.path().lexically_relative(root).generic_string();
      const bool folder = entry.is_directory() && !entry.is_symlink();
      if (const std::string why = Rules.Why(path, folder); !why.empty()) {
        if (folder)
          walk.disable_recursion_pending();
        if (why == KVersionControl)
          listing.LeftOutVcs.push_back(path);
        else
          ++listing.Excluded;
        continue;
      }
      CheckType(entry, path);
      if (folder)
        continue;
      CheckName(path);
      files.push_back({path, entry.path().string(), static_cast<int64_t>(entry.file_size())});
    }
  } catch (const fs::filesystem_error& e) {
    Refuse(e.path1().empty() ? Dir : e.path1().string(), e.code().message());
  }
  std::sort(files.begin(), files.end(),
            [](const TGameFile& A, const TGameFile& B) { return A.Path < B.Path; });
  // Keyed by the name folded to lower case: Windows keeps one file where Linux keeps two.
  // Checked in sorted order, so the same name is blamed on every run.
  std::map<std::string, std::string> folded;
  for (const TGameFile& file : files) {
    const auto [other, added] = folded.emplace(AsciiLower(file.Path), file.Path);
    if (!added)
      Refuse(file.Path, "differs from " + other->second + " only in letter case");
  }
  // The launcher receives a file under its name followed by ".part" or ".zpart", and would
  // overwrite a file of the release that had that name.
  for (const auto& [name, path] : folded) {
    for (const std::string_view suffix : {KPartSuffix, KZPartSuffix}) {
      const auto target = folded.find(name + std::string(suffix));
      if (target != folded.end()) {
        Refuse(target->second,
               "is the launcher's download name for " + path + "; rename one of the two");
      }
    }
  }
  std::sort(listing.LeftOutVcs.begin(), listing.LeftOutVcs.end());
  return listing;
}

}  // namespace vt
