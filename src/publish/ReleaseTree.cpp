#include "publish/ReleaseTree.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "format/Chunks.h"
#include "format/Digest.h"
#include "format/FileList.h"
#include "format/Manifest.h"
#include "format/Streams.h"
#include "platform/Files.h"
#include "publish/ObjectFiles.h"
#include "publish/PackCache.h"
#include "publish/Release.h"

namespace vt {

namespace {

namespace fs = std::filesystem;

// History entries are "<sequence>-<build>.version", the sequence zero-padded so that the
// names sort in publishing order.
constexpr const char* KHistoryExtension = ".version";

template <typename T>
bool ParseWhole(std::string_view Text, T& Value) {
  const char* end = Text.data() + Text.size();
  const auto [next, error] = std::from_chars(Text.data(), end, Value);
  return !Text.empty() && error == std::errc() && next == end;
}

}  // namespace

TBytes ReadFileBytes(const std::string& Path) {
  const std::string text = ReadWholeFile(Path);
  return TBytes(text.begin(), text.end());
}

std::string StoreFolderOf(const TManifest& Manifest) {
  const std::string_view base(KTreeUrl);
  if (!Manifest.Objects.starts_with(base))
    return "o/";  // an absolute base: the copy pack made for upload
  return Manifest.Objects.substr(base.size());
}

std::string WrittenObjects(const std::string& Objects) {
  const std::string_view base(KTreeUrl);
  const std::string written = Objects.starts_with(base) ? Objects.substr(base.size()) : Objects;
  return written == "o/" ? std::string() : written;
}

TTreeRelease ReadTreeRelease(const std::string& OutDir, const TBytes& Manifest) {
  return ReadTreeRelease(OutDir, ReadManifest(Manifest, KTreeUrl));
}

TTreeRelease ReadTreeRelease(const std::string& OutDir, const TManifest& Manifest) {
  TTreeRelease release;
  release.Manifest = Manifest;
  release.StoreFolder = StoreFolderOf(release.Manifest);
  const TRemoteFile& list = release.Manifest.List;
  TBytes body = ReadFileBytes((fs::path(OutDir) / list.Path).string());
  if (list.ZSize > 0) {
    try {
      body = ZlibInflate(body, list.Size);
    } catch (const std::exception& e) {
      throw std::runtime_error(list.Path + ": " + e.what());
    }
  }
  if (static_cast<int64_t>(body.size()) != list.Size || Sha256Hex(body) != list.Hash)
    throw std::runtime_error(list.Path +
                             ": does not match the size and SHA-256 its manifest gives");
  release.Files = ReadFileList(body);
  return release;
}

std::vector<std::string> ReleaseNeeds(const TTreeRelease& Release) {
  std::vector<std::string> needs{Release.Manifest.List.Path};
  for (const TRemoteFile& file : Release.Files) {
    needs.push_back(Release.StoreFolder + ObjectName(file.Hash, file.ZSize > 0));
    if (!file.Chunks.Hash.empty())
      needs.push_back(Release.StoreFolder + ChunkIndexName(file.Chunks.Hash));
  }
  return needs;
}

int64_t ObjectBytes(const TRemoteFile& Entry) {
  return Entry.ZSize > 0 ? Entry.ZSize : Entry.Size;
}

std::optional<TBytes> LiveManifest(const std::string& OutDir, const std::string& Channel) {
  const std::string path = (fs::path(OutDir) / (ChannelFolder(Channel) + "version")).string();
  if (!GetFileInfo(path))
    return std::nullopt;
  return ReadFileBytes(path);
}

std::vector<std::string> TreeChannels(const std::string& OutDir) {
  const std::string path = (fs::path(OutDir) / KChannelIndexPath).string();
  std::vector<std::string> channels;
  if (!GetFileInfo(path))
    return channels;
  const TBytes bytes = ReadFileBytes(path);
  std::string line;
  for (const uint8_t byte : bytes) {
    if (byte != '\n') {
      line += static_cast<char>(byte);
      continue;
    }
    if (IsChannelName(line) && line != KStableChannel)
      channels.push_back(line);
    line.clear();
  }
  return channels;
}

void AddTreeChannel(const std::string& OutDir, const std::string& Channel) {
  std::vector<std::string> channels = TreeChannels(OutDir);
  if (Channel == KStableChannel ||
      std::find(channels.begin(), channels.end(), Channel) != channels.end())
    return;
  std::string text;
  for (const std::string& name : channels)
    text += name + "\n";
  text += Channel + "\n";
  WriteFileAtomically((fs::path(OutDir) / KChannelIndexPath).string(), TextBytes(text));
}

int32_t BuildOf(const TBytes& Manifest) {
  return ReadManifest(Manifest, KTreeUrl).Build;
}

std::string HistoryFolder(const std::string& OutDir) {
  return (fs::path(OutDir) / KPrivateFolder / "history").string();
}

std::vector<THistoryEntry> ReadHistory(const std::string& OutDir) {
  std::vector<THistoryEntry> history;
  std::error_code error;
  for (const fs::directory_entry& file : fs::directory_iterator(HistoryFolder(OutDir), error)) {
    const std::string name = file.path().filename().string();
    const size_t dash = name.find('-');
    THistoryEntry entry;
    if (!name.ends_with(KHistoryExtension) || dash == std::string::npos ||
        !ParseWhole(std::string_view(name).substr(0, dash), entry.Sequence) ||
        !ParseWhole(
            std::string_view(name).substr(
                dash + 1, name.size() - dash - 1 - std::string_view(KHistoryExtension).size()),
            entry.Build)) {
      continue;
    }
    entry.Path = file.path().string();
    history.push_back(std::move(entry));
  }
  std::sort(history.begin(), history.end(),
            [](const THistoryEntry& A, const THistoryEntry& B) { return A.Sequence < B.Sequence; });
  return history;
}

void ReadHistoryChannels(std::vector<THistoryEntry>& History) {
  for (THistoryEntry& entry : History) {
    try {
      entry.Channel = ReadManifest(ReadFileBytes(entry.Path), KTreeUrl).Channel;
    } catch (const std::exception&) {
    }
  }
}

void AddToHistory(const std::string& OutDir, int64_t Sequence, int32_t Build,
                  const TBytes& Manifest, const TBytes& Signature, const TBytes& Signatures) {
  char name[64];
  std::snprintf(name, sizeof name, "%06lld-%d%s", static_cast<long long>(Sequence), Build,
                KHistoryExtension);
  const std::string folder = HistoryFolder(OutDir);
  if (!CreateFolders(folder))
    throw std::runtime_error(folder + ": cannot be made");
  const std::string path = (fs::path(folder) / name).string();
  WriteFileAtomically(path + ".sig", Signature);
  WriteFileAtomically(path + ".sigs", Signatures);
  WriteFileAtomically(path, Manifest);
}

}  // namespace vt
