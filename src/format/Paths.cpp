#include "format/Paths.h"

#include "format/Digest.h"
#include "format/GameFolder.h"
#include "format/Text.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"

namespace vt {

bool IsSafeRelativePath(std::string_view Path) {
  if (Path.empty())
    return false;
  if (Path.front() == '/' || Path.front() == '\\')
    return false;
  if (Path.find(':') != std::string_view::npos)
    return false;
  // Two full stops are refused wherever they stand, not only as a parent reference.
  return Path.find("..") == std::string_view::npos;
}

bool IsLauncherOwnName(std::string_view Path) {
  const std::string folded = AsciiLower(Path);
  for (const std::string_view name :
       {KInstalledName, KNewLauncherName, KOldLauncherName, KFolderLockName, KTrustName}) {
    if (!folded.starts_with(name))
      continue;
    const std::string_view rest = std::string_view(folded).substr(name.size());
    if (rest.empty() || rest == KPartSuffix || rest == KZPartSuffix)
      return true;
  }
  return false;
}

TReceivingNames ReceivingNames(const std::string& Target) {
  const std::string folder = FolderOf(Target);
  if (FitsFileName(folder, Target.substr(folder.size()) + std::string(KZPartSuffix)))
    return {Target + std::string(KPartSuffix), Target + std::string(KZPartSuffix)};
  return ShortReceivingNames(Target);
}

TReceivingNames ShortReceivingNames(const std::string& Target) {
  const std::string folder = FolderOf(Target);
  const std::string name = Target.substr(folder.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
  const std::string stem = folder + Sha256Hex({bytes, name.size()}).substr(0, 16) + ".";
  return {stem + std::string(KPartSuffix), stem + std::string(KZPartSuffix)};
}

std::string JoinLocalPath(std::string_view Dir, std::string_view Path) {
  std::string result;
  result.reserve(Dir.size() + Path.size());
  result.append(Dir);
  for (const char c : Path)
    result.push_back(c == '/' ? KPathSeparator : c);
  return result;
}

std::string FolderOf(const std::string& FileName) {
  const size_t last = FileName.find_last_of(KPathSeparator);
  return last == std::string::npos ? std::string() : FileName.substr(0, last + 1);
}

std::string WithTrailing(std::string Text, char Last) {
  if (Text.empty() || Text.back() != Last)
    Text += Last;
  return Text;
}

}  // namespace vt
