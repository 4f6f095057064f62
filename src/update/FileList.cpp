// The file list: accepted only when its size and SHA-256 match the signed manifest.

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "update/DownloadSizes.h"
#include "update/Errors.h"
#include "update/FileList.h"
#include "update/HttpGetBytes.h"
#include "update/Inflate.h"
#include "update/Json.h"
#include "update/Paths.h"
#include "update/Updater.h"

namespace vt {

namespace {

constexpr const char* KListDamaged = "the list of files arrived damaged - try again";

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

int64_t MaxTransferBytes(const TRemoteFile& File) {
  const int64_t size = std::max<int64_t>(File.Size, 0);
  if (File.ZSize <= 0)
    return size;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const int64_t slack = size / 1024 + 65536;
  const int64_t worst = size > kMax - slack ? kMax : size + slack;
  return std::max(File.ZSize, worst);
}

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

void TUpdater::FetchFileList(THttpClient& Client) {
  Report("Reading the list of files...", 0, 0);
  TBytes body = HttpGetBytes(Client, FUrl + FList.Path, MaxTransferBytes(FList), KListDamaged);
  if (FList.ZSize > 0) {
    TBytes inflated;
    try {
      TMemorySource source(body);
      TMemorySink sink(inflated);
      InflateStream(source, sink, FList.Size);
    } catch (const std::exception&) {
      throw TUpdateError(KListDamaged);
    }
    body = std::move(inflated);
  }
  if (static_cast<int64_t>(body.size()) != FList.Size || Sha256Hex(body) != FList.Hash) {
    throw TUpdateError(KListDamaged);
  }
  FFiles = ReadFileList(body);
}

}  // namespace vt
