#pragma once
// The object store of a release tree as the publisher writes it: where each object and chunk
// index lies, which objects are there to reuse, the store's folders, and what the releases the
// tree keeps say about chunk data. Safe on several threads at once.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "format/Chunks.h"
#include "format/RemoteFile.h"
#include "platform/Stop.h"
#include "publish/Pack.h"

namespace vt {

// Raised where the work on an object gives up because the pack is stopping (another file
// failed).
struct TPackAbandoned {};

class TObjectStore {
 public:
  // Store: the objects' folder, ending in the separator; OutDir: the release tree, whose kept
  // releases tell which chunk data exists; Compress: which forms of an object count as there.
  TObjectStore(std::string Store, std::string OutDir, TCompress Compress);
  TObjectStore(const TObjectStore&) = delete;
  TObjectStore& operator=(const TObjectStore&) = delete;

  // Where Entry's object lies, compressed or plain.
  std::string ObjectPath(const TRemoteFile& Entry, bool Compressed) const;

  // Claims the work on Entry's object (by its hash), so that two threads never write one object
  // or its index; waits while another thread has it, and raises TPackAbandoned once Stop is
  // requested. True when the object is in the store already (Entry.ZSize then says in which
  // form); else its folder exists. The claim lasts until Release.
  bool Claim(TRemoteFile& Entry, const TStopToken& Stop);
  // Ends the claim, noting Entry's chunk index for the files that have the same object.
  void Release(const TRemoteFile& Entry);

  // A chunk index in the store that describes Entry's object: one given to it earlier in this
  // pack, Cached (the pack cache's), or one a kept release gave it.
  std::optional<TChunkRef> FittingIndex(const TRemoteFile& Entry, const TChunkRef& Cached);
  // Writes Index into the store unless it is there already (Written says which) and returns
  // its reference.
  TChunkRef WriteIndex(const TChunkIndex& Index, bool& Written);
  // Bytes of Index's chunks that an index of a kept release has already.
  int64_t HeldChunks(const TChunkIndex& Index);

 private:
  // What the kept releases say about chunk data: the chunk index of each object that had one,
  // and the hashes of all their chunks (their first 64 bits, which only feed a report).
  struct TKnownChunks {
    std::map<std::string, TChunkRef> Refs;  // by object name
    std::vector<uint64_t> Hashes;           // sorted, each once
  };
  static TKnownChunks ReadKnownChunks(const std::string& OutDir);
  static uint64_t HashKey(const TSha256Digest& Hash);
  // Read when first asked: a pack whose big files all come from the cache never reads lists.
  const TKnownChunks& Known();
  // Makes the store folder for Hash once; FLock is held.
  void MakeFolderFor(const std::string& Hash);
  bool IsThere(TRemoteFile& Entry) const;

  const std::string FStore;
  const std::string FOutDir;
  const TCompress FCompress;
  std::once_flag FKnownRead;
  TKnownChunks FKnown;
  std::mutex FLock;  // guards what follows
  std::condition_variable FReleased;
  std::set<std::string> FClaimed;          // hashes of objects in work now
  std::set<std::string> FFolders;          // store folders made
  std::map<std::string, TChunkRef> FRefs;  // chunk indexes given so far, by object name
};

// The index Ref names in Store (a folder ending in the separator) for a file of Size bytes,
// when it is there with Ref's size and SHA-256 and reads.
std::optional<TChunkIndex> StoredIndex(const std::string& Store, const TChunkRef& Ref,
                                       int64_t Size);

}  // namespace vt
