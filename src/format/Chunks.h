#pragma once
// Big files as content-defined chunks: the cut rule that the publisher and the client share, and
// the chunk index that describes one file's object as a run of chunks.
//
// The whole object is the chunk store. A plain object holds the chunks back to back. A zlib
// object is one ordinary zlib stream whose deflater was given a full flush after every chunk,
// so the stored bytes of each chunk inflate on their own (raw deflate, no dictionary) while a
// client that knows nothing of chunks still inflates the stream as a whole.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "format/Sha256.h"

namespace vt {

// The cut rule's bounds (bytes). Cuts aim at KChunkAverage; none is made before KChunkMin bytes,
// and one is forced at KChunkMax.
constexpr uint32_t KChunkMin = 16 * 1024;
constexpr uint32_t KChunkAverage = 32 * 1024;
constexpr uint32_t KChunkMax = 128 * 1024;

// Files from this size get chunk data when packed.
constexpr int64_t KChunkedFileMin = 4 * 1024 * 1024;

// Finds cut points in a stream (FastCDC: a gear hash, a stricter mask before the average size
// and a looser one after it). The cuts depend only on the bytes since the previous cut, so an
// insertion moves the cuts around it only.
class TChunker {
 public:
  // Scans Data, which continues the stream: returns how many of its bytes belong to the chunk
  // in progress, and sets Cut when the chunk ends after them. Call again with the rest.
  size_t Scan(const uint8_t* Data, size_t Size, bool& Cut);
  // Bytes of the chunk in progress (not yet cut).
  uint32_t Pending() const { return FLength; }
  // Scans Data, which continues the stream, in runs that each belong to one chunk: calls
  // Take(Data, Size, Cut) for each, Cut when the chunk ends after it.
  template <typename TTake>
  void Split(const uint8_t* Data, size_t Size, TTake&& Take) {
    while (Size > 0) {
      bool cut = false;
      const size_t taken = Scan(Data, Size, cut);
      Take(Data, taken, cut);
      Data += taken;
      Size -= taken;
    }
  }

 private:
  uint64_t FHash = 0;
  uint32_t FLength = 0;
};

struct TChunk {
  uint32_t Size = 0;    // bytes of the file
  uint32_t Stored = 0;  // bytes the chunk takes in the object (Size in a plain object)
  TSha256Digest Hash{};
};

// The chunk index object, little-endian:
//   "VTCHUNK1"                 8 bytes
//   flags                      u32: bit 0 set when the object is a zlib stream
//   chunk count                u32
//   data offset                u64: where the first chunk's stored bytes begin in the object
//                                   (0 in a plain object; 2, after the zlib header, otherwise)
//   per chunk, in file order   u32 size, u32 stored size, 32 bytes SHA-256 of its file bytes
// A list entry refers to it as "c": {"s": <index size>, "h": "<index SHA-256>"}; it lies in the
// object store under ChunkIndexName.
struct TChunkIndex {
  bool Zlib = false;
  uint64_t DataOffset = 0;
  std::vector<TChunk> Chunks;
};

// The largest stored size an index may give a chunk of Size bytes (deflate's worst case with
// room to spare).
uint32_t MaxStoredChunk(uint32_t Size);

std::vector<uint8_t> WriteChunkIndex(const TChunkIndex& Index);
// Raises TUpdateError when Bytes are not an index for a file of FileSize bytes: a bad
// header or length, a chunk of 0 or more than KChunkMax bytes, a stored size past
// MaxStoredChunk (or unlike its size in a plain object), sizes that do not add up to FileSize.
TChunkIndex ReadChunkIndex(std::span<const uint8_t> Bytes, int64_t FileSize);

// The index's name under the object store: the first two hex digits of its SHA-256, "/", the
// SHA-256 and ".ci".
std::string ChunkIndexName(const std::string& IndexHash);

// Where chunk First's stored bytes begin in the object, given the index.
uint64_t StoredOffset(const TChunkIndex& Index, size_t First);

// Cuts a whole stream into chunks, hashing each: feed it the bytes in order, then Finish.
class TChunkHasher {
 public:
  void Feed(const uint8_t* Data, size_t Size);
  // Ends the last chunk (if any bytes are pending) and returns all chunks; Stored = Size.
  std::vector<TChunk> Finish();

 private:
  void EndChunk();

  TChunker FChunker;
  uint32_t FLength = 0;
  TSha256 FSha;
  std::vector<TChunk> FChunks;
};

}  // namespace vt
