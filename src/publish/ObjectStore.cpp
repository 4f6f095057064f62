#include "publish/ObjectStore.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "format/Digest.h"
#include "platform/Files.h"
#include "platform/SysError.h"
#include "publish/ChunkedObject.h"
#include "publish/ObjectFiles.h"
#include "publish/ReleaseTree.h"

namespace vt {

namespace fs = std::filesystem;

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

TObjectStore::TObjectStore(std::string Store, std::string OutDir, TCompress Compress)
    : FStore(std::move(Store)), FOutDir(std::move(OutDir)), FCompress(Compress) {}

std::string TObjectStore::ObjectPath(const TRemoteFile& Entry, bool Compressed) const {
  return FStore + ObjectName(Entry.Hash, Compressed);
}

bool TObjectStore::Claim(TRemoteFile& Entry, const TStopToken& Stop) {
  // Before the lock: a stop requested already runs the callback at once.
  const TStopCallback wake(Stop, [this] {
    const std::lock_guard<std::mutex> lock(FLock);
    FReleased.notify_all();
  });
  std::unique_lock<std::mutex> lock(FLock);
  FReleased.wait(lock, [&] { return Stop.StopRequested() || !FClaimed.count(Entry.Hash); });
  if (Stop.StopRequested())
    throw TPackAbandoned();
  FClaimed.insert(Entry.Hash);
  if (IsThere(Entry))
    return true;
  MakeFolderFor(Entry.Hash);
  return false;
}

void TObjectStore::Release(const TRemoteFile& Entry) {
  const std::lock_guard<std::mutex> lock(FLock);
  if (!Entry.Chunks.Hash.empty())
    FRefs[ObjectName(Entry.Hash, Entry.ZSize > 0)] = Entry.Chunks;
  FClaimed.erase(Entry.Hash);
  FReleased.notify_all();
}

// An object already there is trusted by its name; a plain one must at least have the size.
bool TObjectStore::IsThere(TRemoteFile& Entry) const {
  if (FCompress != TCompress::Never) {
    if (const std::optional<TFileInfo> z = GetFileInfo(ObjectPath(Entry, true)); z && z->Size > 0) {
      Entry.ZSize = z->Size;
      return true;
    }
  }
  const std::optional<TFileInfo> plain = GetFileInfo(ObjectPath(Entry, false));
  return FCompress != TCompress::Always && plain && plain->Size == Entry.Size;
}

void TObjectStore::MakeFolderFor(const std::string& Hash) {
  const std::string folder = FStore + Hash.substr(0, 2);
  if (!FFolders.insert(folder).second)
    return;
  if (const TSysStatus made = CreateFolders(folder); !made)
    throw std::runtime_error(folder + ": " + made.Text());
}

std::optional<TChunkRef> TObjectStore::FittingIndex(const TRemoteFile& Entry,
                                                    const TChunkRef& Cached) {
  const std::string name = ObjectName(Entry.Hash, Entry.ZSize > 0);
  const auto fits = [&](const TChunkRef& Ref) {
    if (Ref.Hash.empty())
      return false;
    const std::optional<TChunkIndex> index = StoredIndex(FStore, Ref, Entry.Size);
    return index && IndexFitsObject(*index, ObjectBytes(Entry));
  };
  TChunkRef taken;
  {
    const std::lock_guard<std::mutex> lock(FLock);
    if (const auto found = FRefs.find(name); found != FRefs.end())
      taken = found->second;
  }
  if (fits(taken))
    return taken;
  if (fits(Cached))
    return Cached;
  if (const auto found = Known().Refs.find(name);
      found != Known().Refs.end() && fits(found->second))
    return found->second;
  return std::nullopt;
}

TChunkRef TObjectStore::WriteIndex(const TChunkIndex& Index, bool& Written) {
  const TBytes bytes = WriteChunkIndex(Index);
  const TChunkRef ref{static_cast<int64_t>(bytes.size()), Sha256Hex(bytes)};
  const std::string path = FStore + ChunkIndexName(ref.Hash);
  const std::optional<TFileInfo> there = GetFileInfo(path);
  Written = !there || there->Size != ref.Size;
  if (Written) {
    {
      const std::lock_guard<std::mutex> lock(FLock);
      MakeFolderFor(ref.Hash);
    }
    WriteFileAtomically(path, bytes);
  }
  return ref;
}

int64_t TObjectStore::HeldChunks(const TChunkIndex& Index) {
  const std::vector<uint64_t>& hashes = Known().Hashes;
  int64_t held = 0;
  for (const TChunk& chunk : Index.Chunks) {
    if (std::binary_search(hashes.begin(), hashes.end(), HashKey(chunk.Hash)))
      held += chunk.Size;
  }
  return held;
}

const TObjectStore::TKnownChunks& TObjectStore::Known() {
  std::call_once(FKnownRead, [this] { FKnown = ReadKnownChunks(FOutDir); });
  return FKnown;
}

// A false match of 64 bits among millions of chunks is far below one in a million, and keeps a
// tree of hundreds of GiB within a few tens of MiB.
uint64_t TObjectStore::HashKey(const TSha256Digest& Hash) {
  uint64_t key = 0;
  for (size_t i = 0; i < 8; ++i)
    key = (key << 8) | Hash[i];
  return key;
}

// Reads the live release and those of the history. One that does not read adds nothing: the
// counts are a report, and reuse checks every index it takes.
TObjectStore::TKnownChunks TObjectStore::ReadKnownChunks(const std::string& OutDir) {
  TKnownChunks known;
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
          known.Hashes.push_back(HashKey(chunk.Hash));
      }
    }
  }
  std::sort(known.Hashes.begin(), known.Hashes.end());
  known.Hashes.erase(std::unique(known.Hashes.begin(), known.Hashes.end()), known.Hashes.end());
  return known;
}

}  // namespace vt
