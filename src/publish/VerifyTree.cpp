#include "publish/VerifyTree.h"

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>

#include "format/Chunks.h"
#include "format/Digest.h"
#include "format/FileList.h"
#include "format/Inflate.h"
#include "format/Keys.h"
#include "format/Manifest.h"
#include "format/Paths.h"
#include "format/Sha256.h"
#include "format/UtcTime.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "publish/ChunkedObject.h"
#include "publish/ObjectFiles.h"
#include "publish/Release.h"
#include "publish/ReleaseTree.h"

namespace vt {

namespace {

namespace fs = std::filesystem;

class TFileReader : public TByteSource {
 public:
  explicit TFileReader(const std::string& Path) : FFile(TFile::OpenRead(Path)) {}
  size_t Read(uint8_t* Buffer, size_t Size) override { return FFile.Read(Buffer, Size); }

 private:
  TFile FFile;
};

// Hashes what is written to it instead of keeping it.
class THashSink : public TByteSink {
 public:
  void Write(const uint8_t* Data, size_t Size) override { FHash.Update(Data, Size); }
  std::string Hex() { return BytesToHex(FHash.Final()); }

 private:
  TSha256 FHash;
};

bool IsLowerHexDigest(const std::string& Hash) {
  return Hash.size() == 64 && Hash.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string Mismatch(const char* What, int64_t Found, const char* Member, int64_t Listed) {
  return std::string(What) + " has " + std::to_string(Found) + " bytes, but \"" + Member +
         "\" says " + std::to_string(Listed);
}

// What is wrong with the object of Entry stored at Local, or nothing. With Index, the object
// is read as the chunk store it describes, which checks it whole as well.
std::string CheckObject(const std::string& Local, const TRemoteFile& Entry,
                        const TChunkIndex* Index) {
  const std::optional<TFileInfo> info = GetFileInfo(Local);
  if (!info)
    return "its object is missing";
  const int64_t size = info->Size;
  if (Entry.ZSize > 0 && size != Entry.ZSize)
    return Mismatch("its object", size, "z", Entry.ZSize);
  if (Entry.ZSize <= 0 && size != Entry.Size)
    return Mismatch("its object", size, "s", Entry.Size);
  if (Index != nullptr) {
    TFileReader source(Local);
    return CheckChunkedObject(source, size, *Index, Entry.Hash);
  }
  std::string hash;
  if (Entry.ZSize > 0) {
    TFileReader source(Local);
    THashSink sink;
    try {
      InflateStream(source, sink, Entry.Size);
    } catch (const std::exception& e) {
      return "its object does not inflate to " + std::to_string(Entry.Size) + " bytes (" +
             e.what() + ")";
    }
    hash = sink.Hex();
  } else {
    hash = DigestFile(Local).Hash;
  }
  return hash == Entry.Hash ? std::string() : "its object does not have the listed SHA-256";
}

// What is wrong with the chunk index that Entry's "c" names in Folder, or nothing; Index
// receives it when it is sound.
std::string CheckIndex(const std::string& Folder, const TRemoteFile& Entry, TChunkIndex& Index) {
  const std::string path = Folder + ChunkIndexName(Entry.Chunks.Hash);
  const std::optional<TFileInfo> info = GetFileInfo(path);
  if (!info)
    return "its chunk index is missing";
  if (info->Size != Entry.Chunks.Size)
    return Mismatch("its chunk index", info->Size, "c.s", Entry.Chunks.Size);
  const TBytes bytes = ReadFileBytes(path);
  if (Sha256Hex(bytes) != Entry.Chunks.Hash)
    return "its chunk index does not have the SHA-256 of \"c.h\"";
  try {
    Index = ReadChunkIndex(bytes, Entry.Size);
  } catch (const std::exception& e) {
    return e.what();
  }
  if (Index.Zlib != (Entry.ZSize > 0))
    return std::string("its chunk index describes a ") + (Index.Zlib ? "zlib" : "plain") +
           " object, but the list gives a " + (Entry.ZSize > 0 ? "zlib" : "plain") + " one";
  return {};
}

class TVerifier {
 public:
  TVerifier(std::string OutDir, TVerifyReport& Report, const TProgressCallback& Progress)
      : FOut(std::move(OutDir)), FReport(Report), FProgress(Progress) {}

  // The channel whose release the next calls check.
  void Follow(const std::string& Channel) {
    FChannel = Channel;
    FFolder = ChannelFolder(Channel);
  }

  // The release's list and objects, once its manifest holds; false when it does not.
  bool Release(const TKeyRole& Root, int32_t& Build) {
    const std::optional<TManifest> manifest = Manifest(Root);
    if (!manifest)
      return false;
    Build = manifest->Build;
    Files(*manifest);
    // The installs that a rollout holds back take the release before it: it must be whole.
    if (manifest->Rollout) {
      const TRollout& rollout = *manifest->Rollout;
      Note((FFolder.empty() ? "" : FFolder + "version: ") + "build " + std::to_string(Build) +
           (rollout.Halted ? " halted at " : " rolling out to ") + std::to_string(rollout.Percent) +
           " % of installs; build " + std::to_string(rollout.Build) + " for the others checked");
      Files(ReleaseBefore(*manifest));
    }
    return true;
  }

  // The list of Release and its objects.
  void Files(const TManifest& Release) {
    const std::optional<std::vector<TRemoteFile>> entries = List(Release.List);
    if (!entries)
      return;
    if (const std::optional<std::string> folder = ObjectFolder(Release.Objects))
      Objects(*folder, *entries);
  }

  // The manifest, when the keys chain from Root holds, a threshold of its release keys signed
  // it, and it reads.
  std::optional<TManifest> Manifest(const TKeyRole& Root) {
    const std::string version = FFolder + "version";
    const TBytes manifest = ReadFileBytes(Local(version));
    const std::optional<TKeysDocument> keys = KeysChain(Root);
    if (!keys)
      return std::nullopt;
    const bool legacy = SignedByRoot(manifest, Root);
    if (keys->Version == 0 ? !(legacy && Root.Threshold == 1) && !Signed(manifest, Root)
                           : !Signed(manifest, keys->Release))
      return Fatal(version + ": not signed by enough of the " +
                   std::string(keys->Version == 0 ? "given root" : "release") +
                   " keys (version.sig, version.sigs)");
    if (keys->Version > 0 && !legacy)
      Note(version +
           ".sig is not signed by a given root key: launchers built before keys documents "
           "refuse this release");
    std::optional<TManifest> read;
    try {
      read = ReadManifest(manifest, KTreeUrl);
    } catch (const std::exception& e) {
      return Fatal(version + ": " + e.what());
    }
    if (read->KeysVersion > keys->Version)
      Problem(version + ": names keys version " + std::to_string(read->KeysVersion) +
              ", but the tree's newest is " + std::to_string(keys->Version));
    if (read->Expires && *read->Expires < UtcClockSeconds())
      Problem(version + ": expired on " + UtcTimeText(*read->Expires) +
              "; launchers refuse it (vtpublish refresh signs it again)");
    if (read->Channel != FChannel)
      Problem(version + ": a release of the channel " + read->Channel + ", not " + FChannel);
    Note((FFolder.empty() ? "" : version + ": ") + "release " +
         (read->Sequence ? std::to_string(*read->Sequence) : std::string("without a number")) +
         (read->Expires ? ", expires " + UtcTimeText(*read->Expires)
                        : std::string(", never expires")) +
         ", keys version " + std::to_string(keys->Version));
    return read;
  }

  // The newest keys document, each version signed by a threshold of the root before it and
  // of its own; version 0 (Root for both roles) when the tree has none.
  std::optional<TKeysDocument> KeysChain(const TKeyRole& Root) {
    TKeysDocument keys{0, Root, Root};
    for (int32_t version = 1; GetFileInfo(Local(KeysDocumentPath(version))); ++version) {
      const std::string sigs = Local(KeysSignaturesPath(version));
      const TBytes signatures = GetFileInfo(sigs) ? ReadFileBytes(sigs) : TBytes();
      std::optional<TKeysDocument> next = VerifiedNextKeys(
          ReadFileBytes(Local(KeysDocumentPath(version))), signatures, version, keys.Root);
      if (!next)
        return Fatal(KeysDocumentPath(version) + ": not a keys document of version " +
                     std::to_string(version) + " signed by enough of the root keys before it " +
                     "and of its own");
      keys = std::move(*next);
    }
    return keys;
  }

  bool SignedByRoot(const TBytes& Manifest, const TKeyRole& Root) {
    if (!GetFileInfo(Local(FFolder + "version.sig")))
      return false;
    const TBytes signature = ReadFileBytes(Local(FFolder + "version.sig"));
    return SignedByOneOf(Manifest,
                         {reinterpret_cast<const char*>(signature.data()), signature.size()}, Root);
  }

  bool Signed(const TBytes& Manifest, const TKeyRole& Role) {
    if (!GetFileInfo(Local(FFolder + "version.sigs")))
      return false;
    return MeetsThreshold(Manifest,
                          ReadSignatureLines(ReadFileBytes(Local(FFolder + "version.sigs"))), Role);
  }

  // The entries of the list the manifest describes, when it matches and reads.
  std::optional<std::vector<TRemoteFile>> List(const TRemoteFile& List) {
    TBytes body = ReadFileBytes(Local(List.Path));
    if (List.ZSize > 0) {
      if (static_cast<int64_t>(body.size()) != List.ZSize)
        Problem(List.Path + ": " +
                Mismatch("it", static_cast<int64_t>(body.size()), "list.z", List.ZSize));
      try {
        body = ZlibInflate(body, List.Size);
      } catch (const std::exception& e) {
        return Fatal(List.Path + ": does not inflate to \"list.s\" bytes (" + e.what() + ")");
      }
    }
    if (static_cast<int64_t>(body.size()) != List.Size)
      return Fatal(List.Path + ": " +
                   Mismatch("it", static_cast<int64_t>(body.size()), "list.s", List.Size));
    if (Sha256Hex(body) != List.Hash)
      return Fatal(List.Path + ": does not have the SHA-256 of \"list.h\"");
    try {
      return ReadFileList(body);
    } catch (const std::exception& e) {
      return Fatal(List.Path + ": " + e.what());
    }
  }

  // The local folder of the objects, ending in the separator, or nothing when not here.
  std::optional<std::string> ObjectFolder(const std::string& Objects) {
    if (!Objects.starts_with(KTreeUrl)) {
      if (!FolderExists(Local("o"))) {
        Note("objects are served from " + Objects + " and were not checked");
        return std::nullopt;
      }
      Note("objects are served from " + Objects + "; checked the copy in " + Local("o/"));
      return Local("o/");
    }
    const std::string relative = Objects.substr(std::string_view(KTreeUrl).size());
    if (!relative.empty() && !IsSafeRelativePath(relative)) {
      Problem("version: the objects base " + relative + " leaves the tree");
      return std::nullopt;
    }
    return Local(relative);
  }

  void Objects(const std::string& Folder, const std::vector<TRemoteFile>& Entries) {
    TTreeProgress progress;
    progress.Files = static_cast<int64_t>(Entries.size());
    for (const TRemoteFile& entry : Entries)
      progress.Bytes += entry.Size;
    for (const TRemoteFile& entry : Entries) {
      if (FProgress) {
        progress.Path = entry.Path;
        FProgress(progress);
      }
      Entry(Folder, entry);
      ++progress.DoneFiles;
      progress.DoneBytes += entry.Size;
    }
  }

  void Problem(std::string Text) { FReport.Problems.push_back(std::move(Text)); }
  void Note(std::string Text) { FReport.Notes.push_back(std::move(Text)); }

 private:
  std::string Local(const std::string& Relative) const { return FOut + Relative; }

  std::nullopt_t Fatal(std::string Text) {
    Problem(std::move(Text));
    return std::nullopt;
  }

  void Entry(const std::string& Folder, const TRemoteFile& File) {
    ++FReport.Files;
    FReport.Bytes += File.Size;
    if (!IsLowerHexDigest(File.Hash))
      return Problem(File.Path + ": \"h\" is not a SHA-256 in 64 hex digits");
    if (File.Size < 0)
      return Problem(File.Path + ": \"s\" is negative");
    const std::string name = ObjectName(File.Hash, File.ZSize > 0);
    if (File.Chunks.Hash.empty())
      return CheckedObject(Folder, name, name, File, nullptr);
    // The object is checked through a sound index: every chunk, and the whole; with a
    // damaged one, the object alone.
    ++FReport.Chunked;
    const std::string indexName = ChunkIndexName(File.Chunks.Hash);
    const std::string key = name + " " + indexName;
    auto [known, added] = FIndexes.emplace(key, std::string());
    std::optional<TChunkIndex> index;
    if (added) {
      index.emplace();
      try {
        known->second = CheckIndex(Folder, File, *index);
      } catch (const std::exception& e) {
        known->second = e.what();
      }
      ++FReport.Indexes;
    }
    if (!known->second.empty()) {
      Problem(File.Path + ": " + known->second + " (" + indexName + ")");
      return CheckedObject(Folder, name, name, File, nullptr);
    }
    // Only the first entry of this object and index reads it; the index is not kept.
    CheckedObject(Folder, key, name, File, index ? &*index : nullptr);
  }

  // Checks the object Name of File once per Key (the object alone, or with an index).
  void CheckedObject(const std::string& Folder, const std::string& Key, const std::string& Name,
                     const TRemoteFile& File, const TChunkIndex* Index) {
    auto [known, added] = FChecked.emplace(Key, std::string());
    if (added) {
      try {
        known->second = CheckObject(Folder + Name, File, Index);
      } catch (const std::exception& e) {
        known->second = e.what();
      }
      if (FCounted.insert(Name).second) {
        ++FReport.Objects;
        FReport.Compressed += File.ZSize > 0 ? 1 : 0;
      }
    }
    if (!known->second.empty())
      Problem(File.Path + ": " + known->second + " (" + Name + ")");
  }

  const std::string FOut;                 // ends in the separator
  std::string FChannel = KStableChannel;  // of the release being checked
  std::string FFolder;                    // of its manifest files, "" for stable
  TVerifyReport& FReport;
  const TProgressCallback& FProgress;
  // Object name (with the index name it was read through) to its problem ("" when sound).
  std::map<std::string, std::string> FChecked;
  std::set<std::string> FCounted;  // object names counted in the report
  // "<object name> <index name>" to the problem of that index for that object ("" when sound).
  std::map<std::string, std::string> FIndexes;
};

}  // namespace

TVerifyReport VerifyTree(const std::string& OutDir, const TKeyRole& Root,
                         const TProgressCallback& Progress) {
  TVerifyReport report;
  std::string out = OutDir;
  if (out.empty() || out.back() != KPathSeparator)
    out += KPathSeparator;
  TVerifier verifier(out, report, Progress);
  try {
    if (!verifier.Release(Root, report.Build))
      return report;
    // Each channel's release too; their objects are checked once with the stable one's.
    for (const std::string& channel : TreeChannels(OutDir)) {
      verifier.Follow(channel);
      int32_t build = 0;
      if (verifier.Release(Root, build))
        verifier.Note("channel " + channel + ": build " + std::to_string(build) + " checked");
    }
  } catch (const std::exception& e) {
    // A file that cannot be read at all: its message names it.
    verifier.Problem(e.what());
  }
  return report;
}

}  // namespace vt
