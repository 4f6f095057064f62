// Reading the file list, once its size and SHA-256 matched the signed manifest.

#include "format/FileList.h"

#include <unordered_map>

#include "format/Errors.h"
#include "format/Json.h"
#include "format/Paths.h"
#include "format/Text.h"

namespace vt {

namespace {

// The earlier entry that Folded (a folded path just added to Seen) clashes with through a
// download name: Folded is that entry's ".part" or ".zpart" name, or the other way round.
const TRemoteFile* DownloadNameClash(const std::string& Folded,
                                     const std::unordered_map<std::string, size_t>& Seen,
                                     const std::vector<TRemoteFile>& Files) {
  for (const std::string_view suffix : {KPartSuffix, KZPartSuffix}) {
    if (const auto part = Seen.find(Folded + std::string(suffix)); part != Seen.end())
      return &Files[part->second];
    if (Folded.ends_with(suffix)) {
      const auto target = Seen.find(Folded.substr(0, Folded.size() - suffix.size()));
      if (target != Seen.end())
        return &Files[target->second];
    }
  }
  return nullptr;
}

// The entry's "c". One that cannot be used is ignored: the file then comes whole, as it does for
// a client that knows nothing of chunks.
TChunkRef ReadChunkRef(const TJsonValue& Entry) {
  const TJsonValue* c = Entry.Member("c");
  const TJsonValue* size = c != nullptr ? c->Member("s") : nullptr;
  const TJsonValue* hash = c != nullptr ? c->Member("h") : nullptr;
  if (size == nullptr || hash == nullptr || size->Kind != TJsonValue::TKind::Number ||
      hash->Kind != TJsonValue::TKind::String || hash->Text.size() != 64 ||
      hash->Text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return {};
  }
  try {
    const int64_t bytes = ReadInt64(*c, "s");
    if (bytes <= 0)
      return {};
    return {bytes, AsciiLower(hash->Text)};
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

std::vector<TRemoteFile> ReadFileList(std::span<const uint8_t> Bytes) {
  const std::string_view text(reinterpret_cast<const char*>(Bytes.data()), Bytes.size());
  const std::optional<TJsonValue> root = ParseJson(text);
  if (!root || !root->IsObject())
    throw TUpdateError("the list of files cannot be read");
  const std::vector<TJsonValue>& elements = ReadArray(*root, "files");
  std::vector<TRemoteFile> files(elements.size());
  // Two entries for one file would have two workers write the same target at once, and an
  // entry named like another's download name (".part", ".zpart") would be overwritten by that
  // download and then placed under the other name, so such lists are refused. Letter case is
  // folded because the game's folders are case-insensitive on Windows.
  std::unordered_map<std::string, size_t> seen;
  seen.reserve(elements.size());
  for (size_t i = 0; i < elements.size(); ++i) {
    TRemoteFile& file = files[i];
    file.Path = ReadString(elements[i], "p");
    file.Size = ReadInt64(elements[i], "s");
    file.Hash = AsciiLower(ReadString(elements[i], "h"));
    file.ZSize = ReadInt64(elements[i], "z", 0);
    file.Chunks = ReadChunkRef(elements[i]);
    if (!IsSafeRelativePath(file.Path)) {
      throw TUpdateError("bad file name in the update list: " + file.Path);
    }
    if (IsLauncherOwnName(file.Path)) {
      throw TUpdateError("the update list names a file the launcher keeps for itself: " +
                         file.Path);
    }
    const std::string folded = AsciiLower(file.Path);
    if (!seen.emplace(folded, i).second) {
      throw TUpdateError("the update list names a file twice: " + file.Path);
    }
    if (const TRemoteFile* other = DownloadNameClash(folded, seen, files)) {
      const bool thisIsPart = folded.size() > other->Path.size();
      const std::string& part = thisIsPart ? file.Path : other->Path;
      const std::string& target = thisIsPart ? other->Path : file.Path;
      throw TUpdateError("the update list names a file twice: " + part +
                         " is also the download name of " + target);
    }
  }
  return files;
}

}  // namespace vt
