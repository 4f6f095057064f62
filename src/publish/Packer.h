#pragma once
// Packing one release's files into the object store, several files at once.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "format/RemoteFile.h"
#include "platform/Stop.h"
#include "publish/GameTree.h"
#include "publish/ObjectStore.h"
#include "publish/Pack.h"
#include "publish/PackCache.h"

namespace vt {

// The largest compressed size that TCompress::Auto still keeps for a file of Size bytes.
int64_t AutoLimit(int64_t Size);

// Writes the objects of a release's files into the store, reusing what is there. Each file's
// object depends on its bytes alone and every entry keeps its file's place, so the outcome does
// not depend on the threads.
class TPacker {
 public:
  // Counts what it did into Result; Options, Cache and Result outlive it.
  TPacker(TObjectStore& Store, const TPackOptions& Options, const TPackCache& Cache,
          TPackResult& Result);

  // The entries of Files in their order, each with its object in the store. Raises the first
  // failure (the progress callback's own included) once every thread has stopped.
  std::vector<TRemoteFile> PackAll(const std::vector<TGameFile>& Files);
  // What the cache should hold after this pack, by path.
  std::map<std::string, TCachedFile> CacheFiles(const std::vector<TGameFile>& Files) const;

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

  void PackFile(const TGameFile& File, size_t Index);
  bool WantsChunks(const TRemoteFile& Entry) const;
  bool Claim(TRemoteFile& Entry);
  void Release(const TRemoteFile& Entry, const TOutcome& Outcome);
  void Reused(const TGameFile& File, TRemoteFile& Entry, const TChunkRef& Cached, bool FromCache,
              TShown& Shown);
  void WriteObject(const TGameFile& File, TRemoteFile& Entry, TShown& Shown, TOutcome& Outcome);
  bool WriteCompressed(const TGameFile& File, TRemoteFile& Entry, TShown& Shown, TOutcome& Outcome);
  void GiveIndex(TRemoteFile& Entry, const TChunkIndex& Index, TOutcome& Outcome);
  std::function<void(int64_t)> OnRead(const TGameFile& File, TShown& Shown);
  void Finished(const TGameFile& File);
  void Report(std::string_view Path);

  TObjectStore& FStore;
  const TPackOptions& FOptions;
  const TPackCache& FCache;
  TPackResult& FResult;
  std::vector<TRemoteFile> FEntries;  // by the files' index
  std::vector<int64_t> FTimes;        // the files' last-write times, by index
  TStopToken FStop;                   // the pool's: another file failed

  std::mutex FLock;  // guards what follows, the result's counts and the progress callback
  std::set<std::string> FWritten;                // names of objects this pack wrote
  std::map<const TGameFile*, int64_t> FCounted;  // bytes of files in work counted so far
  TTreeProgress FProgress;
};

}  // namespace vt
