#include "publish/Pack.h"

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "format/Digest.h"
#include "format/Manifest.h"
#include "format/Paths.h"
#include "format/Streams.h"
#include "platform/Files.h"
#include "platform/SysError.h"
#include "publish/GameTree.h"
#include "publish/ObjectFiles.h"
#include "publish/ObjectStore.h"
#include "publish/PackCache.h"
#include "publish/Packer.h"
#include "publish/Release.h"
#include "publish/ReleaseTree.h"
#include "publish/Signing.h"
#include "publish/TreeLock.h"

namespace vt {

namespace {

namespace fs = std::filesystem;

// True when Inner is Outer or lies below it; both are made absolute and resolved first.
bool IsWithin(const fs::path& Inner, const fs::path& Outer) {
  const fs::path inner = fs::weakly_canonical(fs::absolute(Inner));
  const fs::path outer = fs::weakly_canonical(fs::absolute(Outer));
  const fs::path relative = inner.lexically_relative(outer);
  return !relative.empty() && *relative.begin() != "..";
}

void MakeFolder(const std::string& Path) {
  if (const TSysStatus made = CreateFolders(Path); !made)
    throw std::runtime_error(Path + ": " + made.Text());
}

// Writes the list as "lists/<its SHA-256>.json[.z]" and returns its description.
TRemoteFile WriteList(const fs::path& Out, const std::vector<TRemoteFile>& Entries,
                      TCompress Compress) {
  const TBytes text = TextBytes(FileListJson(Entries));
  const std::string hash = Sha256Hex(text);
  TRemoteFile list{"lists/" + hash + ".json", static_cast<int64_t>(text.size()), hash, 0, {}};
  TBytes stored = text;
  if (Compress != TCompress::Never) {
    TBytes z = ZlibCompress(text);
    if (Compress == TCompress::Always || static_cast<int64_t>(z.size()) <= AutoLimit(list.Size)) {
      list.Path += ".z";
      list.ZSize = static_cast<int64_t>(z.size());
      stored = std::move(z);
    }
  }
  MakeFolder((Out / "lists").string());
  WriteFileAtomically((Out / list.Path).string(), stored);
  return list;
}

// The live build of OutDir, after refusing Build when it does not move forward.
std::optional<int32_t> CheckBuild(const std::string& OutDir, const TPackOptions& Options) {
  std::optional<TBytes> live;
  int32_t build = 0;
  try {
    live = LiveManifest(OutDir, Options.Channel);
    if (!live)
      return std::nullopt;
    build = BuildOf(*live);
  } catch (const std::exception& e) {
    if (Options.AllowSameOrLower)
      return std::nullopt;
    throw std::runtime_error(
        (fs::path(OutDir) / (ChannelFolder(Options.Channel) + "version")).string() +
        ": cannot read the live build (" + e.what() +
        "); give --allow-same-or-lower to replace it anyway");
  }
  if (Options.Build <= build && !Options.AllowSameOrLower) {
    throw std::runtime_error(
        "build " + std::to_string(Options.Build) + " is not greater than the live build " +
        std::to_string(build) + " in " + OutDir +
        (Options.Channel == KStableChannel ? "" : " (channel " + Options.Channel + ")") +
        "; players would not update to it (give --allow-same-or-lower "
        "for a rollback on purpose)");
  }
  return build;
}

TExcludeRules ExcludeRulesFor(const std::string& GameDir, const TPackOptions& Options) {
  TExcludeRules rules;
  for (const std::string& pattern : Options.Exclude)
    rules.Add(pattern);
  const std::string ignoreFile = (fs::path(GameDir) / KIgnoreFileName).string();
  if (const std::optional<TFileInfo> info = GetFileInfo(ignoreFile))
    rules.AddLines(ReadWholeFile(ignoreFile, info->Size));
  return rules;
}

}  // namespace

std::string ObjectsFolderFor(const std::string& Objects) {
  if (Objects.empty())
    return "o/";
  if (Objects.back() != '/') {
    throw std::runtime_error("the objects base must end with \"/\": " + Objects);
  }
  if (IsAbsoluteObjectsBase(Objects))
    return "o/";
  if (!IsSafeRelativePath(Objects)) {
    throw std::runtime_error("the objects base must be a folder inside the release: " + Objects);
  }
  if (Objects.starts_with(std::string(KPrivateFolder) + "/"))
    throw std::runtime_error("the objects base " + Objects + " is vtpublish's own folder");
  return Objects;
}

TPackResult Pack(const std::string& GameDir, const std::string& OutDir, const TSigningKey& Key,
                 const TPackOptions& Options) {
  TPackResult result;
  result.ObjectsFolder = ObjectsFolderFor(Options.Objects);
  result.UploadObjects = IsAbsoluteObjectsBase(Options.Objects);
  if (IsWithin(OutDir, GameDir))
    throw std::runtime_error(OutDir + ": the output folder lies inside the game folder");
  const TTreeLock lock(OutDir);
  result.PreviousBuild = CheckBuild(OutDir, Options);
  TPublication publication{
      {Key}, Options.ExpiresIn, Options.Channel, Options.Mirrors, Options.ObjectMirrors};
  publication.Keys.insert(publication.Keys.end(), Options.MoreKeys.begin(), Options.MoreKeys.end());
  // Before the long part: keys that cannot publish, or a rollout that cannot start, are told
  // at once.
  RequireEnoughKeys(OutDir, publication);
  const std::optional<TRollout> rollout =
      PlanRollout(OutDir, Options.Channel, Options.Build, Options.Rollout, Options.Critical);
  TGameListing listing = ListGameFiles(GameDir, ExcludeRulesFor(GameDir, Options));
  result.Excluded = listing.Excluded;
  result.LeftOutVcs = std::move(listing.LeftOutVcs);

  const fs::path out(OutDir);
  const std::string store = (out / result.ObjectsFolder).string();
  MakeFolder(store);
  const int64_t started = FileTimeNow();
  const TPackCache cache = TPackCache::Load(OutDir, GameDir);
  TObjectStore objects(store, OutDir, Options.Compress);
  TPacker packer(objects, Options, cache, result);
  const std::vector<TRemoteFile> entries = packer.PackAll(listing.Files);

  result.List = WriteList(out, entries, Options.Compress);
  result.Stamp =
      PublishSigned(OutDir, Options.Build, result.List, Options.Objects, publication, rollout);
  try {
    TPackCache::Save(OutDir, GameDir, packer.CacheFiles(listing.Files), started);
  } catch (const std::exception& e) {
    // The release is out and sound; only the next pack reads more than it would have.
    result.CacheProblem = e.what();
  }
  return result;
}

}  // namespace vt
