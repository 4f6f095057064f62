#include "format/Chunks.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "format/Errors.h"

namespace vt {
namespace {

constexpr char KIndexMagic[8] = {'V', 'T', 'C', 'H', 'U', 'N', 'K', '1'};
constexpr size_t KIndexHeader = 24;
constexpr size_t KIndexEntry = 40;
constexpr uint32_t KFlagZlib = 1;

// The gear table: fixed pseudo-random words (splitmix64 from a fixed seed), so that every build
// of the publisher and the client cuts alike.
constexpr std::array<uint64_t, 256> MakeGear() {
  std::array<uint64_t, 256> gear{};
  uint64_t state = 0x5654434855524B31ULL;
  for (uint64_t& word : gear) {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    word = z ^ (z >> 31);
  }
  return gear;
}
constexpr std::array<uint64_t, 256> KGear = MakeGear();

// The gear hash shifts left, so its top bits depend on the most bytes: the masks test them.
// One bit more than the average's 15 before it, one fewer after it: a looser normalisation
// than two bits each way finds its way back to the old cuts sooner after an edit.
constexpr uint64_t KMaskSmall = ~0ULL << (64 - 16);
constexpr uint64_t KMaskLarge = ~0ULL << (64 - 14);
// The hash forgets everything older than its 64 bits of shifting, so the bytes of a chunk
// before this many need not be hashed at all.
constexpr uint32_t KHashStart = KChunkMin - 64;

void PutU32(uint8_t* Out, uint32_t Value) {
  for (int i = 0; i < 4; ++i)
    Out[i] = static_cast<uint8_t>(Value >> (8 * i));
}

void PutU64(uint8_t* Out, uint64_t Value) {
  for (int i = 0; i < 8; ++i)
    Out[i] = static_cast<uint8_t>(Value >> (8 * i));
}

uint32_t GetU32(const uint8_t* In) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | In[i];
  return value;
}

uint64_t GetU64(const uint8_t* In) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = (value << 8) | In[i];
  return value;
}

[[noreturn]] void Malformed(const char* What) {
  throw TUpdateError(std::string("the chunk index is malformed: ") + What);
}

}  // namespace

size_t TChunker::Scan(const uint8_t* Data, size_t Size, bool& Cut) {
  Cut = false;
  size_t i = 0;
  if (FLength < KHashStart) {
    i = std::min<size_t>(Size, KHashStart - FLength);
    FLength += static_cast<uint32_t>(i);
  }
  uint64_t hash = FHash;
  for (; i < Size; ++i) {
    hash = (hash << 1) + KGear[Data[i]];
    ++FLength;
    if (FLength < KChunkMin)
      continue;
    const uint64_t mask = FLength < KChunkAverage ? KMaskSmall : KMaskLarge;
    if ((hash & mask) == 0 || FLength >= KChunkMax) {
      Cut = true;
      FHash = 0;
      FLength = 0;
      return i + 1;
    }
  }
  FHash = hash;
  return Size;
}

uint32_t MaxStoredChunk(uint32_t Size) {
  return Size + Size / 64 + 64;
}

std::vector<uint8_t> WriteChunkIndex(const TChunkIndex& Index) {
  std::vector<uint8_t> out(KIndexHeader + KIndexEntry * Index.Chunks.size());
  std::memcpy(out.data(), KIndexMagic, sizeof KIndexMagic);
  PutU32(out.data() + 8, Index.Zlib ? KFlagZlib : 0);
  PutU32(out.data() + 12, static_cast<uint32_t>(Index.Chunks.size()));
  PutU64(out.data() + 16, Index.DataOffset);
  uint8_t* entry = out.data() + KIndexHeader;
  for (const TChunk& chunk : Index.Chunks) {
    PutU32(entry, chunk.Size);
    PutU32(entry + 4, chunk.Stored);
    std::memcpy(entry + 8, chunk.Hash.data(), chunk.Hash.size());
    entry += KIndexEntry;
  }
  return out;
}

TChunkIndex ReadChunkIndex(std::span<const uint8_t> Bytes, int64_t FileSize) {
  if (Bytes.size() < KIndexHeader || std::memcmp(Bytes.data(), KIndexMagic, 8) != 0)
    Malformed("bad header");
  const uint32_t flags = GetU32(Bytes.data() + 8);
  const uint64_t count = GetU32(Bytes.data() + 12);
  if ((flags & ~KFlagZlib) != 0)
    Malformed("unknown flags");
  if (Bytes.size() != KIndexHeader + KIndexEntry * count)
    Malformed("wrong length");
  TChunkIndex index;
  index.Zlib = (flags & KFlagZlib) != 0;
  index.DataOffset = GetU64(Bytes.data() + 16);
  if (index.DataOffset > (index.Zlib ? 2u : 0u))
    Malformed("bad data offset");
  index.Chunks.resize(count);
  const uint8_t* entry = Bytes.data() + KIndexHeader;
  int64_t total = 0;
  for (TChunk& chunk : index.Chunks) {
    chunk.Size = GetU32(entry);
    chunk.Stored = GetU32(entry + 4);
    std::memcpy(chunk.Hash.data(), entry + 8, chunk.Hash.size());
    entry += KIndexEntry;
    if (chunk.Size == 0 || chunk.Size > KChunkMax)
      Malformed("bad chunk size");
    if (chunk.Stored == 0 || chunk.Stored > MaxStoredChunk(chunk.Size) ||
        (!index.Zlib && chunk.Stored != chunk.Size))
      Malformed("bad stored size");
    total += chunk.Size;
    if (total > FileSize)
      Malformed("chunks larger than the file");
  }
  if (total != FileSize)
    Malformed("chunks smaller than the file");
  return index;
}

std::string ChunkIndexName(const std::string& IndexHash) {
  return IndexHash.substr(0, 2) + "/" + IndexHash + ".ci";
}

uint64_t StoredOffset(const TChunkIndex& Index, size_t First) {
  uint64_t offset = Index.DataOffset;
  for (size_t i = 0; i < First && i < Index.Chunks.size(); ++i)
    offset += Index.Chunks[i].Stored;
  return offset;
}

void TChunkHasher::Feed(const uint8_t* Data, size_t Size) {
  FChunker.Split(Data, Size, [this](const uint8_t* Bytes, size_t Length, bool Cut) {
    FSha.Update(Bytes, Length);
    FLength += static_cast<uint32_t>(Length);
    if (Cut)
      EndChunk();
  });
}

void TChunkHasher::EndChunk() {
  FChunks.push_back({FLength, FLength, FSha.Final()});
  FLength = 0;
}

std::vector<TChunk> TChunkHasher::Finish() {
  if (FLength > 0)
    EndChunk();
  FChunker = {};
  return std::move(FChunks);
}

}  // namespace vt
