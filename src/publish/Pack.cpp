#include "publish/Pack.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "format/Digest.h"
#include "format/Json.h"
#include "format/Manifest.h"
#include "format/Paths.h"
#include "format/Streams.h"
#include "platform/Files.h"
#include "platform/SysError.h"
#include "publish/ChunkedObject.h"
#include "publish/GameTree.h"
#include "publish/ObjectFiles.h"
#include "publish/PackCache.h"
#include "publish/Release.h"
#include "publish/ReleaseTree.h"
#include "publish/TreeLock.h"

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

// Auto's test during the deflation: the output only grows, so once past the limit the
// object cannot pay off.
TGiveUpTest AutoGiveUp(int64_t Size) {
  return [Size](int64_t, int64_t Written, bool) { return Written > AutoLimit(Size); };
}

// Auto's trial before a whole deflation: whether the first KAutoProbeBytes of a file bigger
// than that shrink enough. A smaller file is its own trial.
bool TrialPays(const std::string& LocalPath, int64_t Size, int Level) {
  if (Size <= KAutoProbeBytes)
    return true;
  TFile file = TFile::OpenRead(LocalPath);
  TBytes start(KAutoProbeBytes);
  size_t read = 0;
  while (read < start.size()) {
    const size_t got = file.Read(start.data() + read, start.size() - read);
    if (got == 0)
      break;
    read += got;
  }
  start.resize(read);
  const int64_t z = static_cast<int64_t>(ZlibCompress(start, Level).size());
  return z <= LessPercent(static_cast<int64_t>(read), KAutoProbePercent);
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
  if (const TSysStatus made = CreateFolders(Path); !made)
    throw std::runtime_error(Path + ": " + made.Text());
}

// Raised inside a packing thread once another one has failed.
struct TPackAbandoned {};

// What the releases the tree keeps say about chunk data: the chunk index of each object that
// had one, and the hashes of all their chunks. The hashes only feed a report, so their first
// 64 bits stand for them (a false match among millions of chunks is far below one in a
// million), which keeps a tree of hundreds of GiB within a few tens of MiB.
struct TStoreChunks {
  std::map<std::string, TChunkRef> Refs;  // by object name
  std::vector<uint64_t> Hashes;           // sorted, each once

  bool Holds(const TSha256Digest& Hash) const {
    return std::binary_search(Hashes.begin(), Hashes.end(), HashKey(Hash));
  }
  static uint64_t HashKey(const TSha256Digest& Hash) {
    uint64_t key = 0;
    for (size_t i = 0; i < 8; ++i)
      key = (key << 8) | Hash[i];
    return key;
  }
};

// The index Ref names in Store (a folder ending in the separator) for a file of Size bytes,
// when it is there with Ref's size and SHA-256 and reads.
std::optional<TChunkIndex> StoredIndex(const std::string& Store, const TChunkRef& Ref,
                                       int64_t Size) {
  const std::string path = Store + ChunkIndexName(Ref.Hash);
  if (const std::optional<TFileInfo> info = GetFileInfo(path); !info || info->Size != Ref.Size)
    return std::nullopt;
  try {
    const TBytes bytes = ReadFileBytes(path);
    if (Sha256Hex(bytes) != Ref.Hash)
      return std::nullopt;
    return ReadChunkIndex(bytes, Size);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Reads the live release and those of the history. One that does not read adds nothing: the
// counts are a report, and reuse checks every index it takes.
TStoreChunks ReadStoreChunks(const std::string& OutDir) {
  TStoreChunks known;
  std::vector<TBytes> manifests;
  try {
    if (std::optional<TBytes> live = LiveManifest(OutDir))
      manifests.push_back(std::move(*live));
    for (const THistoryEntry& entry : ReadHistory(OutDir))
      manifests.push_back(ReadFileBytes(entry.Path));
  } catch (const std::exception&) {
  }
  std::set<std::string> lists, indexes;
  for (const TBytes& manifest : manifests) {
    TTreeRelease release;
    try {
      release = ReadTreeRelease(OutDir, manifest);
    } catch (const std::exception&) {
      continue;
    }
    if (!lists.insert(release.Manifest.List.Path).second)
      continue;
    const std::string store = (fs::path(OutDir) / release.StoreFolder).string();
    for (const TRemoteFile& file : release.Files) {
      if (file.Chunks.Hash.empty())
        continue;
      known.Refs.emplace(ObjectName(file.Hash, file.ZSize > 0), file.Chunks);
      if (!indexes.insert(file.Chunks.Hash).second)
        continue;
      if (const std::optional<TChunkIndex> index = StoredIndex(store, file.Chunks, file.Size)) {
        for (const TChunk& chunk : index->Chunks)
          known.Hashes.push_back(TStoreChunks::HashKey(chunk.Hash));
      }
    }
  }
  std::sort(known.Hashes.begin(), known.Hashes.end());
  known.Hashes.erase(std::unique(known.Hashes.begin(), known.Hashes.end()), known.Hashes.end());
  return known;
}

// Writes one release's objects into the store folder, reusing what is already there, with
// several files in work at once. Each file's object depends on its bytes alone and every
// entry keeps its file's place, so the outcome does not depend on the threads.
class TPacker {
 public:
  TPacker(std::string Store, const TPackOptions& Options, const TPackCache& Cache,
          std::string OutDir, TPackResult& Result)
      : FStore(std::move(Store)),
        FOptions(Options),
        FCache(Cache),
        FOutDir(std::move(OutDir)),
        FResult(Result) {}

  // The entries of Files in their order, each with its object in the store.
  std::vector<TRemoteFile> PackAll(const std::vector<TGameFile>& Files) {
    FProgress.Files = static_cast<int64_t>(Files.size());
    for (const TGameFile& file : Files)
      FProgress.Bytes += file.Size;
    FEntries.resize(Files.size());
    FTimes.resize(Files.size());
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const int wanted = FOptions.Threads > 0 ? FOptions.Threads : cores;
    const size_t threads =
        std::min<size_t>(Files.size(), static_cast<size_t>(std::min(wanted, KMaxPackThreads)));
    {
      std::vector<std::jthread> workers;
      for (size_t i = 1; i < threads; ++i)
        workers.emplace_back([&] { Work(Files); });
      Work(Files);
    }
    if (FError)
      std::rethrow_exception(FError);
    for (const TRemoteFile& entry : FEntries) {
      FResult.Bytes += entry.Size;
      FResult.Compressed += entry.ZSize > 0 ? 1 : 0;
      FResult.Chunked += entry.Chunks.Hash.empty() ? 0 : 1;
      FResult.StoredBytes += ObjectBytes(entry);
    }
    FResult.Files = static_cast<int64_t>(FEntries.size());
    return FEntries;
  }

  // What the cache should hold after this pack, by path.
  std::map<std::string, TCachedFile> CacheFiles(const std::vector<TGameFile>& Files) const {
    std::map<std::string, TCachedFile> cached;
    for (size_t i = 0; i < Files.size(); ++i)
      cached[Files[i].Path] = {FEntries[i].Size, FTimes[i], FEntries[i].Hash, FEntries[i].Chunks};
    return cached;
  }

 private:
  // Bytes of the file at hand counted so far, in whichever reading of it got furthest.
  struct TShown {
    int64_t Bytes = 0;
  };

  // How the work on one entry's object ended, for the counts.
  struct TOutcome {
    bool Written = false;       // the object was written
    bool Reused = false;        // it was in the store
    bool Unread = false;        // the file was not read: the cache knew it
    bool IndexWritten = false;  // its chunk index was written
    bool WithoutChunks = false;
    int64_t HeldChunks = 0;  // bytes of its new chunks that kept releases had already
  };

  void Work(const std::vector<TGameFile>& Files) {
    try {
      for (size_t i = FNext++; i < Files.size() && !FStop; i = FNext++) {
        PackFile(Files[i], i);
        Finished(Files[i]);
      }
    } catch (const TPackAbandoned&) {
    } catch (...) {
      std::lock_guard lock(FLock);
      if (!FError)
        FError = std::current_exception();
      FStop = true;
      FObjectDone.notify_all();
    }
  }

  void PackFile(const TGameFile& File, size_t Index) {
    const TFileInfo info = GetFileInfo(File.LocalPath).value_or(TFileInfo{});
    FTimes[Index] = info.Time;
    TRemoteFile& entry = FEntries[Index];
    entry.Path = File.Path;
    TShown shown;
    if (const std::optional<TCachedFile> cached = FCache.Find(File.Path, info.Size, info.Time)) {
      entry.Size = info.Size;
      entry.Hash = cached->Hash;
      if (ClaimObject(entry)) {
        Reused(File, entry, cached->Chunks, true, shown);
        return;
      }
      // The object named by the cache is gone: read the file after all.
      Release(entry, {});
      entry.ZSize = 0;
    }
    const TFileDigest digest = DigestFile(File.LocalPath, OnPiece(File, shown));
    entry.Size = digest.Size;
    entry.Hash = digest.Hash;
    if (ClaimObject(entry)) {
      Reused(File, entry, {}, false, shown);
      return;
    }
    TOutcome outcome;
    try {
      WriteObject(File, entry, shown, outcome);
    } catch (...) {
      Release(entry, {});
      throw;
    }
    Release(entry, outcome);
  }

  bool WantsChunks(const TRemoteFile& Entry) const {
    return FOptions.Chunks == TChunks::Auto && Entry.Size > 0 &&
           Entry.Size >= std::max<int64_t>(FOptions.ChunkFrom, 1);
  }

  // Claims the work on Entry's object, so that two threads never write one object or its
  // index; waits while another thread has it. True when the object is in the store already.
  bool ClaimObject(TRemoteFile& Entry) {
    std::unique_lock lock(FLock);
    FObjectDone.wait(lock, [&] { return FStop || !FWriting.count(Entry.Hash); });
    if (FStop)
      throw TPackAbandoned();
    FWriting.insert(Entry.Hash);
    if (Reuse(Entry))
      return true;
    MakeStoreFolder(Entry.Hash);
    return false;
  }

  // Makes the store folder for Hash once. Called under FLock.
  void MakeStoreFolder(const std::string& Hash) {
    if (const std::string folder = FStore + Hash.substr(0, 2); FFolders.insert(folder).second)
      MakeFolder(folder);
  }

  // Ends the claim on Entry's object and counts how its work went.
  void Release(const TRemoteFile& Entry, const TOutcome& Outcome) {
    std::lock_guard lock(FLock);
    const std::string name = ObjectName(Entry.Hash, Entry.ZSize > 0);
    if (Outcome.Written) {
      ++FResult.ObjectsWritten;
      FWritten.insert(name);
      FResult.HeldChunks += Outcome.HeldChunks;
    }
    if (Outcome.Reused) {
      ++FResult.ObjectsReused;
      FResult.FromCache += Outcome.Unread ? 1 : 0;
      FResult.UnreadBytes += Outcome.Unread ? Entry.Size : 0;
      // One written earlier in this pack was not held before it.
      FResult.HeldWhole += FWritten.count(name) ? 0 : Entry.Size;
    }
    FResult.IndexesWritten += Outcome.IndexWritten ? 1 : 0;
    FResult.WithoutChunks += Outcome.WithoutChunks ? 1 : 0;
    if (!Entry.Chunks.Hash.empty())
      FRefs[name] = Entry.Chunks;
    FWriting.erase(Entry.Hash);
    FObjectDone.notify_all();
  }

  // Completes an entry whose object is in the store (Cached: as the cache said): its chunk
  // data, taken from an index already there when one fits, else made when the object is plain.
  // A zlib object stored without chunk data is kept as it is; rewriting it would change bytes
  // that live lists describe.
  void Reused(const TGameFile& File, TRemoteFile& Entry, const TChunkRef& CachedRef, bool Cached,
              TShown& Shown) {
    TOutcome outcome;
    outcome.Reused = true;
    outcome.Unread = Cached;
    try {
      if (WantsChunks(Entry)) {
        if (std::optional<TChunkRef> ref = FittingRef(Entry, CachedRef)) {
          Entry.Chunks = *ref;
        } else if (Entry.ZSize == 0) {
          TFileDigest digest;
          const TChunkIndex index = PlainChunkIndex(File.LocalPath, digest, OnPiece(File, Shown));
          Check(File, Entry, digest);
          outcome.Unread = false;
          WriteIndex(Entry, index, outcome);
        } else {
          outcome.WithoutChunks = true;
        }
      }
    } catch (...) {
      Release(Entry, {});
      throw;
    }
    Release(Entry, outcome);
  }

  // A chunk index already in the store that describes Entry's object: one this pack took for
  // it, the cache's, or one a kept release gave it.
  std::optional<TChunkRef> FittingRef(const TRemoteFile& Entry, const TChunkRef& CachedRef) {
    const std::string name = ObjectName(Entry.Hash, Entry.ZSize > 0);
    const auto fits = [&](const TChunkRef& Ref) {
      if (Ref.Hash.empty())
        return false;
      const std::optional<TChunkIndex> index = StoredIndex(FStore, Ref, Entry.Size);
      return index && IndexFitsObject(*index, ObjectBytes(Entry));
    };
    TChunkRef taken;
    {
      std::lock_guard lock(FLock);
      if (const auto found = FRefs.find(name); found != FRefs.end())
        taken = found->second;
    }
    if (fits(taken))
      return taken;
    if (fits(CachedRef))
      return CachedRef;
    if (const auto found = Known().Refs.find(name);
        found != Known().Refs.end() && fits(found->second))
      return found->second;
    return std::nullopt;
  }

  // Writes Index as Entry's chunk index (unless the store holds it already) and gives Entry
  // its reference.
  void WriteIndex(TRemoteFile& Entry, const TChunkIndex& Index, TOutcome& Outcome) {
    const TBytes bytes = WriteChunkIndex(Index);
    const TChunkRef ref{static_cast<int64_t>(bytes.size()), Sha256Hex(bytes)};
    const std::string path = FStore + ChunkIndexName(ref.Hash);
    if (const std::optional<TFileInfo> info = GetFileInfo(path); !info || info->Size != ref.Size) {
      {
        std::lock_guard lock(FLock);
        MakeStoreFolder(ref.Hash);
      }
      WriteFileAtomically(path, bytes);
      Outcome.IndexWritten = true;
    }
    Entry.Chunks = ref;
  }

  // What the kept releases say about chunk data, read when first asked: a pack whose big files
  // all come from the cache never reads their lists.
  const TStoreChunks& Known() {
    std::call_once(FKnownRead, [this] { FKnown = ReadStoreChunks(FOutDir); });
    return FKnown;
  }

  // Bytes of Index's chunks that an index of a kept release had already.
  int64_t HeldChunks(const TChunkIndex& Index) {
    int64_t held = 0;
    for (const TChunk& chunk : Index.Chunks)
      held += Known().Holds(chunk.Hash) ? chunk.Size : 0;
    return held;
  }

  void Finished(const TGameFile& File) {
    std::lock_guard lock(FLock);
    ++FProgress.DoneFiles;
    FProgress.DoneBytes += File.Size - FCounted[&File];
    FCounted.erase(&File);
    Report(File.Path);
  }

  // Tells the callback where the pack stands. Called under FLock, so one call at a time.
  void Report(std::string_view Path) {
    if (!FOptions.Progress)
      return;
    TTreeProgress progress = FProgress;
    progress.Path = Path;
    FOptions.Progress(progress);
  }

  std::string ObjectPath(const TRemoteFile& Entry, bool Compressed) const {
    return FStore + ObjectName(Entry.Hash, Compressed);
  }

  // An object already there is trusted by its name; a plain one must at least have the size.
  bool Reuse(TRemoteFile& Entry) const {
    if (FOptions.Compress != TCompress::Never) {
      if (const std::optional<TFileInfo> z = GetFileInfo(ObjectPath(Entry, true));
          z && z->Size > 0) {
        Entry.ZSize = z->Size;
        return true;
      }
    }
    const std::optional<TFileInfo> plain = GetFileInfo(ObjectPath(Entry, false));
    return FOptions.Compress != TCompress::Always && plain && plain->Size == Entry.Size;
  }

  void WriteObject(const TGameFile& File, TRemoteFile& Entry, TShown& Shown, TOutcome& Outcome) {
    const bool chunks = WantsChunks(Entry);
    if (!(FOptions.Compress != TCompress::Never && WriteCompressed(File, Entry, Shown, Outcome))) {
      TPendingFile pending(ObjectPath(Entry, false));
      if (chunks) {
        const TChunkedResult result =
            WriteChunkedObject(File.LocalPath, pending.Path(), false, 0, {}, OnPiece(File, Shown));
        Check(File, Entry, result.Input);
        pending.Commit();
        WriteIndex(Entry, result.Index, Outcome);
        Outcome.HeldChunks = HeldChunks(result.Index);
      } else {
        Check(File, Entry, CopyAndDigest(File.LocalPath, pending.Path(), OnPiece(File, Shown)));
        pending.Commit();
      }
    }
    Outcome.Written = true;
  }

  // Writes the zlib object unless Auto finds it does not pay off; true when it was written.
  bool WriteCompressed(const TGameFile& File, TRemoteFile& Entry, TShown& Shown,
                       TOutcome& Outcome) {
    const bool always = FOptions.Compress == TCompress::Always;
    if (!always && !TrialPays(File.LocalPath, Entry.Size, FOptions.Level))
      return false;
    TPendingFile pending(ObjectPath(Entry, true));
    const TGiveUpTest giveUp = always ? TGiveUpTest() : AutoGiveUp(Entry.Size);
    if (WantsChunks(Entry)) {
      const TChunkedResult result = WriteChunkedObject(
          File.LocalPath, pending.Path(), true, FOptions.Level, giveUp, OnPiece(File, Shown));
      if (result.Abandoned)
        return false;
      Check(File, Entry, result.Input);
      pending.Commit();
      Entry.ZSize = result.Written;
      WriteIndex(Entry, result.Index, Outcome);
      Outcome.HeldChunks = HeldChunks(result.Index);
      return true;
    }
    const TDeflateResult result = DeflateAndDigest(File.LocalPath, pending.Path(), FOptions.Level,
                                                   giveUp, OnPiece(File, Shown));
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

  // Counts each reading of File; a later reading (the object after the hashing) moves the
  // count on only once it passes the earlier one. Stops the thread once another has failed.
  TPieceCallback OnPiece(const TGameFile& File, TShown& Shown) {
    return [this, &File, &Shown, current = int64_t(0)](int64_t Bytes) mutable {
      if (FStop)
        throw TPackAbandoned();
      current += Bytes;
      const int64_t shown = std::max(Shown.Bytes, std::min(current, File.Size));
      if (shown == Shown.Bytes)
        return;
      std::lock_guard lock(FLock);
      FProgress.DoneBytes += shown - Shown.Bytes;
      FCounted[&File] = shown;
      Shown.Bytes = shown;
      Report(File.Path);
    };
  }

  const std::string FStore;  // ends in the separator
  const TPackOptions& FOptions;
  const TPackCache& FCache;
  const std::string FOutDir;
  std::once_flag FKnownRead;
  TStoreChunks FKnown;
  TPackResult& FResult;
  std::vector<TRemoteFile> FEntries;  // by the files' index
  std::vector<int64_t> FTimes;        // the files' last-write times, by index
  std::atomic<size_t> FNext{0};       // the next file to take
  std::atomic<bool> FStop{false};     // a thread failed: the others stop

  std::mutex FLock;  // guards what follows, the result's counts and the progress callback
  std::condition_variable FObjectDone;
  std::set<std::string> FWriting;                // hashes of objects in work now
  std::set<std::string> FFolders;                // store folders made
  std::set<std::string> FWritten;                // names of objects this pack wrote
  std::map<std::string, TChunkRef> FRefs;        // chunk indexes given so far, by object name
  std::map<const TGameFile*, int64_t> FCounted;  // bytes of files in work counted so far
  TTreeProgress FProgress;
  std::exception_ptr FError;  // the first failure
};

// Writes the list as "lists/<its SHA-256>.json[.z]" and returns its description.
TRemoteFile WriteList(const fs::path& Out, const std::vector<TRemoteFile>& Entries,
                      TCompress Compress) {
  const TBytes text = ToBytes(FileListJson(Entries));
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
    live = LiveManifest(OutDir);
    if (!live)
      return std::nullopt;
    build = BuildOf(*live);
  } catch (const std::exception& e) {
    if (Options.AllowSameOrLower)
      return std::nullopt;
    throw std::runtime_error((fs::path(OutDir) / "version").string() +
                             ": cannot read the live build (" + e.what() +
                             "); give --allow-same-or-lower to replace it anyway");
  }
  if (Options.Build <= build && !Options.AllowSameOrLower) {
    throw std::runtime_error("build " + std::to_string(Options.Build) +
                             " is not greater than the live build " + std::to_string(build) +
                             " in " + OutDir +
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
  TGameListing listing = ListGameFiles(GameDir, ExcludeRulesFor(GameDir, Options));
  result.Excluded = listing.Excluded;
  result.LeftOutVcs = std::move(listing.LeftOutVcs);

  const fs::path out(OutDir);
  const std::string store = (out / result.ObjectsFolder).string();
  MakeFolder(store);
  const int64_t started = FileTimeNow();
  const TPackCache cache = TPackCache::Load(OutDir, GameDir);
  TPacker packer(store, Options, cache, OutDir, result);
  const std::vector<TRemoteFile> entries = packer.PackAll(listing.Files);

  result.List = WriteList(out, entries, Options.Compress);
  const TBytes manifest = ToBytes(ManifestJson(Options.Build, result.List, Options.Objects));
  const TBytes signature = ToBytes(Key.Sign(manifest) + "\n");
  AddToHistory(OutDir, Options.Build, manifest, signature);
  WriteFileAtomically((out / "version.sig").string(), signature);
  WriteFileAtomically((out / "version").string(), manifest);
  try {
    TPackCache::Save(OutDir, GameDir, packer.CacheFiles(listing.Files), started);
  } catch (const std::exception& e) {
    // The release is out and sound; only the next pack reads more than it would have.
    result.CacheProblem = e.what();
  }
  return result;
}

}  // namespace vt
