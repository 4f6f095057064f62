#include "publish/Pack.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/Files.h"
#include "platform/SysError.h"
#include "publish/GameTree.h"
#include "publish/ObjectFiles.h"
#include "publish/Release.h"
#include "update/Digest.h"
#include "update/Json.h"
#include "update/Paths.h"

namespace vt {

namespace {

namespace fs = std::filesystem;

// Size less Percent of it, without overflow.
int64_t LessPercent(int64_t Size, int64_t Percent) {
  return Size - (Size / 100) * Percent - (Size % 100) * Percent / 100;
}

// The largest compressed size that Auto still keeps for a file of Size bytes.
int64_t AutoLimit(int64_t Size) {
  return LessPercent(Size, KAutoSavingPercent);
}

// Auto's test for a file of Size bytes. The output only grows, so once past the limit the
// object cannot pay off; and the probe is judged once, when it has been read.
TGiveUpTest AutoGiveUp(int64_t Size) {
  return [Size, probed = false](int64_t Read, int64_t Written, bool Finished) mutable {
    if (Written > AutoLimit(Size))
      return true;
    if (probed || Finished || Read < KAutoProbeBytes)
      return false;
    probed = true;
    return Written > LessPercent(Read, KAutoProbePercent);
  };
}

TBytes ToBytes(const std::string& Text) {
  return TBytes(Text.begin(), Text.end());
}

// True when Inner is Outer or lies below it; both are made absolute and resolved first.
bool IsWithin(const fs::path& Inner, const fs::path& Outer) {
  const fs::path inner = fs::weakly_canonical(fs::absolute(Inner));
  const fs::path outer = fs::weakly_canonical(fs::absolute(Outer));
  const fs::path relative = inner.lexically_relative(outer);
  return !relative.empty() && *relative.begin() != "..";
}

void MakeFolder(const std::string& Path) {
  if (!CreateFolders(Path))
    throw std::runtime_error(Path + ": " + LastSystemErrorText());
}

// Writes one release's objects into the store folder, reusing what is already there.
class TPacker {
 public:
  TPacker(std::string Store, const TPackOptions& Options, TPackResult& Result)
      : FStore(std::move(Store)), FOptions(Options), FResult(Result) {}

  // The entries of Files in their order, each with its object in the store.
  std::vector<TRemoteFile> PackAll(const std::vector<TGameFile>& Files) {
    FProgress.Files = static_cast<int64_t>(Files.size());
    for (const TGameFile& file : Files)
      FProgress.Bytes += file.Size;
    std::vector<TRemoteFile> entries;
    entries.reserve(Files.size());
    for (const TGameFile& file : Files) {
      entries.push_back(PackFile(file));
      ++FProgress.DoneFiles;
      FProgress.DoneBytes += file.Size;
      Report(file.Path, 0);
      FResult.Bytes += entries.back().Size;
    }
    FResult.Files = static_cast<int64_t>(entries.size());
    return entries;
  }

 private:
  TRemoteFile PackFile(const TGameFile& File) {
    const TFileDigest digest = DigestFile(File.LocalPath);
    TRemoteFile entry{File.Path, digest.Size, digest.Hash, 0};
    FShown = 0;
    if (Reuse(entry)) {
      ++FResult.ObjectsReused;
    } else {
      MakeFolderOnce(FStore + entry.Hash.substr(0, 2));
      WriteObject(File, entry);
      ++FResult.ObjectsWritten;
    }
    FResult.Compressed += entry.ZSize > 0 ? 1 : 0;
    FResult.StoredBytes += entry.ZSize > 0 ? entry.ZSize : entry.Size;
    return entry;
  }

  // Tells the callback about the file at hand, Current bytes of it done.
  void Report(std::string_view Path, int64_t Current) {
    if (!FOptions.Progress)
      return;
    TTreeProgress progress = FProgress;
    progress.DoneBytes += Current;
    progress.Path = Path;
    FOptions.Progress(progress);
  }

  std::string ObjectPath(const TRemoteFile& Entry, bool Compressed) const {
    return FStore + ObjectName(Entry.Hash, Compressed);
  }

  // An object already there is trusted by its name; a plain one must at least have the size.
  bool Reuse(TRemoteFile& Entry) const {
    int64_t size = 0, time = 0;
    if (FOptions.Compress != TCompress::Never && GetFileInfo(ObjectPath(Entry, true), size, time) &&
        size > 0) {
      Entry.ZSize = size;
      return true;
    }
    return FOptions.Compress != TCompress::Always &&
           GetFileInfo(ObjectPath(Entry, false), size, time) && size == Entry.Size;
  }

  void WriteObject(const TGameFile& File, TRemoteFile& Entry) {
    if (FOptions.Compress != TCompress::Never && WriteCompressed(File, Entry))
      return;
    TPendingFile pending(ObjectPath(Entry, false));
    Check(File, Entry, CopyAndDigest(File.LocalPath, pending.Path(), OnPiece(File)));
    pending.Commit();
  }

  // Writes the zlib object unless Auto finds it does not pay off; true when it was written.
  bool WriteCompressed(const TGameFile& File, TRemoteFile& Entry) {
    const bool always = FOptions.Compress == TCompress::Always;
    TPendingFile pending(ObjectPath(Entry, true));
    const TDeflateResult result =
        DeflateAndDigest(File.LocalPath, pending.Path(), FOptions.Level,
                         always ? TGiveUpTest() : AutoGiveUp(Entry.Size), OnPiece(File));
    if (result.Abandoned)
      return false;
    Check(File, Entry, result.Input);
    pending.Commit();
    Entry.ZSize = result.ZSize;
    return true;
  }

  // The object is named by the first reading; a file that changed since would make it lie.
  static void Check(const TGameFile& File, const TRemoteFile& Entry, const TFileDigest& Read) {
    if (Read.Size != Entry.Size || Read.Hash != Entry.Hash) {
      throw std::runtime_error(File.Path + ": the file changed while it was being packed");
    }
  }

  TPieceCallback OnPiece(const TGameFile& File) {
    if (!FOptions.Progress)
      return {};
    // A plain copy after an abandoned deflation reads the file again: the count waits for it.
    return [this, &File, current = int64_t(0)](int64_t Bytes) mutable {
      current += Bytes;
      FShown = std::max(FShown, std::min(current, File.Size));
      Report(File.Path, FShown);
    };
  }

  void MakeFolderOnce(const std::string& Path) {
    if (FFolders.insert(Path).second)
      MakeFolder(Path);
  }

  const std::string FStore;  // ends in the separator
  const TPackOptions& FOptions;
  TPackResult& FResult;
  std::set<std::string> FFolders;
  TTreeProgress FProgress;  // files and bytes finished
  int64_t FShown = 0;       // bytes of the file at hand reported so far
};

// Writes the list as "lists/<its SHA-256>.json[.z]" and returns its description.
TRemoteFile WriteList(const fs::path& Out, const std::vector<TRemoteFile>& Entries,
                      TCompress Compress) {
  const TBytes text = ToBytes(FileListJson(Entries));
  const std::string hash = Sha256Hex(text);
  TRemoteFile list{"lists/" + hash + ".json", static_cast<int64_t>(text.size()), hash, 0};
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

}  // namespace

bool IsAbsoluteObjectsBase(std::string_view Objects) {
  return Objects.size() >= 4 && AsciiLower(Objects.substr(0, 4)) == "http";
}

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
  return Objects;
}

TPackResult Pack(const std::string& GameDir, const std::string& OutDir, const TSigningKey& Key,
                 const TPackOptions& Options) {
  TPackResult result;
  result.ObjectsFolder = ObjectsFolderFor(Options.Objects);
  result.UploadObjects = IsAbsoluteObjectsBase(Options.Objects);
  if (IsWithin(OutDir, GameDir))
    throw std::runtime_error(OutDir + ": the output folder lies inside the game folder");
  const std::vector<TGameFile> files = ListGameFiles(GameDir);

  const fs::path out(OutDir);
  const std::string store = (out / result.ObjectsFolder).string();
  MakeFolder(store);
  const std::vector<TRemoteFile> entries = TPacker(store, Options, result).PackAll(files);

  result.List = WriteList(out, entries, Options.Compress);
  const TBytes manifest = ToBytes(ManifestJson(Options.Build, result.List, Options.Objects));
  WriteFileAtomically((out / "version.sig").string(), ToBytes(Key.Sign(manifest) + "\n"));
  WriteFileAtomically((out / "version").string(), manifest);
  return result;
}

}  // namespace vt
