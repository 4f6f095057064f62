#include "publish/Packer.h"

#include <algorithm>
#include <stdexcept>

#include "format/Digest.h"
#include "platform/Files.h"
#include "platform/WorkerPool.h"
#include "publish/ChunkedObject.h"
#include "publish/ObjectFiles.h"
#include "publish/Release.h"
#include "publish/ReleaseTree.h"

namespace vt {

namespace {

// Size less Percent of it, without overflow.
int64_t LessPercent(int64_t Size, int64_t Percent) {
  return Size - (Size / 100) * Percent - (Size % 100) * Percent / 100;
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

// The object is named by the first reading; a file that changed since would make it lie.
void Check(const TGameFile& File, const TRemoteFile& Entry, const TFileDigest& Read) {
  if (Read.Size != Entry.Size || Read.Hash != Entry.Hash)
    throw std::runtime_error(File.Path + ": the file changed while it was being packed");
}

}  // namespace

int64_t AutoLimit(int64_t Size) {
  return LessPercent(Size, KAutoSavingPercent);
}

TPacker::TPacker(TObjectStore& Store, const TPackOptions& Options, const TPackCache& Cache,
                 TPackResult& Result)
    : FStore(Store), FOptions(Options), FCache(Cache), FResult(Result) {}

std::vector<TRemoteFile> TPacker::PackAll(const std::vector<TGameFile>& Files) {
  FProgress.Files = static_cast<int64_t>(Files.size());
  for (const TGameFile& file : Files)
    FProgress.Bytes += file.Size;
  FEntries.resize(Files.size());
  FTimes.resize(Files.size());
  {
    TWorkerPool pool(
        PoolThreads(static_cast<unsigned>(std::max(FOptions.Threads, 0)), KMaxPackThreads));
    FStop = pool.Stop();
    pool.Post(Files.size(), [&](size_t Index, unsigned) {
      PackFile(Files[Index], Index);
      Finished(Files[Index]);
    });
    pool.Wait();
  }
  for (const TRemoteFile& entry : FEntries) {
    FResult.Bytes += entry.Size;
    FResult.Compressed += entry.ZSize > 0 ? 1 : 0;
    FResult.Chunked += entry.Chunks.Hash.empty() ? 0 : 1;
    FResult.StoredBytes += ObjectBytes(entry);
  }
  FResult.Files = static_cast<int64_t>(FEntries.size());
  return FEntries;
}

std::map<std::string, TCachedFile> TPacker::CacheFiles(const std::vector<TGameFile>& Files) const {
  std::map<std::string, TCachedFile> cached;
  for (size_t i = 0; i < Files.size(); ++i)
    cached[Files[i].Path] = {FEntries[i].Size, FTimes[i], FEntries[i].Hash, FEntries[i].Chunks};
  return cached;
}

void TPacker::PackFile(const TGameFile& File, size_t Index) {
  const TFileInfo info = GetFileInfo(File.LocalPath).value_or(TFileInfo{});
  FTimes[Index] = info.Time;
  TRemoteFile& entry = FEntries[Index];
  entry.Path = File.Path;
  TShown shown;
  if (const std::optional<TCachedFile> cached = FCache.Find(File.Path, info.Size, info.Time)) {
    entry.Size = info.Size;
    entry.Hash = cached->Hash;
    if (Claim(entry)) {
      Reused(File, entry, cached->Chunks, true, shown);
      return;
    }
    // The object named by the cache is gone: read the file after all.
    Release(entry, {});
    entry.ZSize = 0;
  }
  const TFileDigest digest = DigestFile(File.LocalPath, OnRead(File, shown));
  entry.Size = digest.Size;
  entry.Hash = digest.Hash;
  if (Claim(entry)) {
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

bool TPacker::WantsChunks(const TRemoteFile& Entry) const {
  return FOptions.Chunks == TChunks::Auto && Entry.Size > 0 &&
         Entry.Size >= std::max<int64_t>(FOptions.ChunkFrom, 1);
}

bool TPacker::Claim(TRemoteFile& Entry) {
  return FStore.Claim(Entry, FStop);
}

// Ends the claim on Entry's object and counts how its work went.
void TPacker::Release(const TRemoteFile& Entry, const TOutcome& Outcome) {
  {
    const std::lock_guard<std::mutex> lock(FLock);
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
  }
  FStore.Release(Entry);
}

// Completes an entry whose object is in the store (FromCache: as the cache said): its chunk
// data, taken from an index already there when one fits, else made when the object is plain.
// A zlib object stored without chunk data is kept as it is; rewriting it would change bytes
// that live lists describe.
void TPacker::Reused(const TGameFile& File, TRemoteFile& Entry, const TChunkRef& Cached,
                     bool FromCache, TShown& Shown) {
  TOutcome outcome;
  outcome.Reused = true;
  outcome.Unread = FromCache;
  try {
    if (WantsChunks(Entry)) {
      if (std::optional<TChunkRef> ref = FStore.FittingIndex(Entry, Cached)) {
        Entry.Chunks = *ref;
      } else if (Entry.ZSize == 0) {
        TFileDigest digest;
        const TChunkIndex index = PlainChunkIndex(File.LocalPath, digest, OnRead(File, Shown));
        Check(File, Entry, digest);
        outcome.Unread = false;
        Entry.Chunks = FStore.WriteIndex(index, outcome.IndexWritten);
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

void TPacker::WriteObject(const TGameFile& File, TRemoteFile& Entry, TShown& Shown,
                          TOutcome& Outcome) {
  if (!(FOptions.Compress != TCompress::Never && WriteCompressed(File, Entry, Shown, Outcome))) {
    TPendingFile pending(FStore.ObjectPath(Entry, false));
    if (WantsChunks(Entry)) {
      const TChunkedResult result =
          WriteChunkedObject(File.LocalPath, pending.Path(), false, 0, {}, OnRead(File, Shown));
      Check(File, Entry, result.Input);
      pending.Commit();
      GiveIndex(Entry, result.Index, Outcome);
    } else {
      Check(File, Entry, CopyAndDigest(File.LocalPath, pending.Path(), OnRead(File, Shown)));
      pending.Commit();
    }
  }
  Outcome.Written = true;
}

// Writes the zlib object unless Auto finds it does not pay off; true when it was written.
bool TPacker::WriteCompressed(const TGameFile& File, TRemoteFile& Entry, TShown& Shown,
                              TOutcome& Outcome) {
  const bool always = FOptions.Compress == TCompress::Always;
  if (!always && !TrialPays(File.LocalPath, Entry.Size, FOptions.Level))
    return false;
  TPendingFile pending(FStore.ObjectPath(Entry, true));
  const TGiveUpTest giveUp = always ? TGiveUpTest() : AutoGiveUp(Entry.Size);
  if (WantsChunks(Entry)) {
    const TChunkedResult result = WriteChunkedObject(File.LocalPath, pending.Path(), true,
                                                     FOptions.Level, giveUp, OnRead(File, Shown));
    if (result.Abandoned)
      return false;
    Check(File, Entry, result.Input);
    pending.Commit();
    Entry.ZSize = result.Written;
    GiveIndex(Entry, result.Index, Outcome);
    return true;
  }
  const TDeflateResult result =
      DeflateAndDigest(File.LocalPath, pending.Path(), FOptions.Level, giveUp, OnRead(File, Shown));
  if (result.Abandoned)
    return false;
  Check(File, Entry, result.Input);
  pending.Commit();
  Entry.ZSize = result.ZSize;
  return true;
}

// The index of an object just written: into the store, and counted.
void TPacker::GiveIndex(TRemoteFile& Entry, const TChunkIndex& Index, TOutcome& Outcome) {
  Entry.Chunks = FStore.WriteIndex(Index, Outcome.IndexWritten);
  Outcome.HeldChunks = FStore.HeldChunks(Index);
}

// Counts each reading of File; a later reading (the object after the hashing) moves the count
// on only once it passes the earlier one. Gives up once another file has failed.
std::function<void(int64_t)> TPacker::OnRead(const TGameFile& File, TShown& Shown) {
  return [this, &File, &Shown, current = int64_t(0)](int64_t Bytes) mutable {
    if (FStop.StopRequested())
      throw TPackAbandoned();
    current += Bytes;
    const int64_t shown = std::max(Shown.Bytes, std::min(current, File.Size));
    if (shown == Shown.Bytes)
      return;
    const std::lock_guard<std::mutex> lock(FLock);
    FProgress.DoneBytes += shown - Shown.Bytes;
    FCounted[&File] = shown;
    Shown.Bytes = shown;
    Report(File.Path);
  };
}

void TPacker::Finished(const TGameFile& File) {
  const std::lock_guard<std::mutex> lock(FLock);
  ++FProgress.DoneFiles;
  FProgress.DoneBytes += File.Size - FCounted[&File];
  FCounted.erase(&File);
  Report(File.Path);
}

// Tells the callback where the pack stands. Called under FLock, so one call at a time.
void TPacker::Report(std::string_view Path) {
  if (!FOptions.Progress)
    return;
  TTreeProgress progress = FProgress;
  progress.Path = Path;
  FOptions.Progress(progress);
}

}  // namespace vt
