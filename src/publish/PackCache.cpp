#include "publish/PackCache.h"

#include <chrono>
#include <filesystem>
#include <sstream>

#include "format/Streams.h"
#include "platform/Files.h"
#include "publish/ObjectFiles.h"

namespace vt {

namespace {

namespace fs = std::filesystem;

// First line: this tag and the game folder; then "size time hash[ index-size index-hash]\tpath"
// lines. Paths of a release hold no control characters, so tabs and line ends cannot occur in
// them. A cache with chunk indexes reads as damaged (so as none) to a pack that knows nothing
// of them, which then reads every file: a slower pack, never a wrong one.
constexpr const char* KTag = "vtpublish-cache-1";

std::string CachePath(const std::string& OutDir) {
  return (fs::path(OutDir) / KPrivateFolder / "cache").string();
}

std::string GameKey(const std::string& GameDir) {
  return fs::weakly_canonical(fs::absolute(GameDir)).generic_string();
}

}  // namespace

int64_t FileTimeNow() {
  constexpr int64_t KUnixEpochAsFileTime = 116444736000000000;
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return KUnixEpochAsFileTime +
         std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count() * 10;
}

TPackCache TPackCache::Load(const std::string& OutDir, const std::string& GameDir) {
  TPackCache cache;
  std::string text;
  try {
    text = ReadWholeFile(CachePath(OutDir));
  } catch (const std::exception&) {
    return cache;  // none yet, or unreadable: a full read is always right
  }
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != std::string(KTag) + '\t' + GameKey(GameDir))
    return cache;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    TCachedFile file;
    std::string path;
    if (!(fields >> file.Size >> file.Time >> file.Hash) || file.Hash.size() != 64)
      return TPackCache();
    if (fields.peek() == ' ' &&
        (!(fields >> file.Chunks.Size >> file.Chunks.Hash) || file.Chunks.Hash.size() != 64))
      return TPackCache();
    if (fields.get() != '\t' || !std::getline(fields, path))
      return TPackCache();
    cache.FFiles[path] = file;
  }
  return cache;
}

std::optional<TCachedFile> TPackCache::Find(const std::string& Path, int64_t Size,
                                            int64_t Time) const {
  const auto found = FFiles.find(Path);
  if (found == FFiles.end() || found->second.Size != Size || found->second.Time != Time)
    return std::nullopt;
  return found->second;
}

void TPackCache::Save(const std::string& OutDir, const std::string& GameDir,
                      const std::map<std::string, TCachedFile>& Files, int64_t Now) {
  std::string text = std::string(KTag) + '\t' + GameKey(GameDir) + '\n';
  for (const auto& [path, file] : Files) {
    if (file.Time > Now - KRacyTicks)
      continue;
    text += std::to_string(file.Size) + ' ' + std::to_string(file.Time) + ' ' + file.Hash;
    if (!file.Chunks.Hash.empty())
      text += ' ' + std::to_string(file.Chunks.Size) + ' ' + file.Chunks.Hash;
    text += '\t' + path + '\n';
  }
  CreateFolders((fs::path(OutDir) / KPrivateFolder).string());
  WriteFileAtomically(CachePath(OutDir),
                      std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace vt
