#pragma once
// Objects of big files written as chunk stores and checked as such. The cuts come from the
// shared rule (TChunker); a zlib object gets a full flush after every chunk, so each chunk's
// stored bytes inflate alone while the object stays one zlib stream for any client.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "format/Chunks.h"
#include "format/Streams.h"
#include "publish/ObjectFiles.h"

namespace vt {

// Takes a file's bytes in order and writes its object to Out while cutting it into chunks.
class TChunkedWriter {
 public:
  // Zlib: a zlib stream (window bits 15) at Level; else the bytes as they are.
  TChunkedWriter(bool Zlib, int Level, TByteSink& Out);
  ~TChunkedWriter();
  TChunkedWriter(const TChunkedWriter&) = delete;
  TChunkedWriter& operator=(const TChunkedWriter&) = delete;

  void Feed(const uint8_t* Data, size_t Size);
  // Ends the last chunk and the object (zlib: its final block and Adler-32); returns the index.
  TChunkIndex Finish();
  // Object bytes written to Out so far.
  int64_t Written() const { return FWritten; }

 private:
  struct TDeflate;

  void Deflate(const uint8_t* Data, size_t Size, int Flush);
  void EndChunk();

  TByteSink& FOut;
  std::unique_ptr<TDeflate> FDeflate;  // null for a plain object
  std::vector<uint8_t> FBuffer;
  TChunker FChunker;
  TSha256 FSha;
  uint32_t FLength = 0;
  int64_t FWritten = 0;
  int64_t FChunkStart = 0;  // where the chunk in progress begins in the object
  TChunkIndex FIndex;
};

// An object with its chunk index, built in memory (the tests' release builder).
struct TChunkedObject {
  std::vector<uint8_t> Object;
  TChunkIndex Index;
};
TChunkedObject MakeChunkedObject(std::span<const uint8_t> Data, bool Zlib, int Level = 6);

struct TChunkedResult {
  TFileDigest Input;  // of what was read; partial when Abandoned
  int64_t Written = 0;
  bool Abandoned = false;
  TChunkIndex Index;  // when not Abandoned
};

// Writes the object of the file Source into a newly created Dest through a TChunkedWriter,
// unless GiveUp (may be empty; asked as for DeflateAndDigest) stops it.
TChunkedResult WriteChunkedObject(const std::string& Source, const std::string& Dest, bool Zlib,
                                  int Level, const TGiveUpTest& GiveUp,
                                  const TReadCallback& OnRead = {});

// The chunks of a file as a plain object holds them, reading it once.
TChunkIndex PlainChunkIndex(const std::string& Source, TFileDigest& Digest,
                            const TReadCallback& OnRead = {});

// True when Index can describe an object of ObjectSize bytes: its chunks end where a plain
// object ends, or where only the end of a zlib stream (an empty final block, the Adler-32)
// follows.
bool IndexFitsObject(const TChunkIndex& Index, int64_t ObjectSize);

// What is wrong with the object read from Object (ObjectSize bytes) as the chunk store Index
// describes for a file with SHA-256 FileHash, or "": every chunk's stored bytes, read from its
// offset on, inflate alone (zlib) or copy to exactly its size and hash, ending on a block
// boundary, and after the last one comes only the stream's end (zlib: an empty final block and
// the Adler-32 of the whole file) or nothing (plain). A sound result also proves the object
// whole: the chunks make up the file.
std::string CheckChunkedObject(TByteSource& Object, int64_t ObjectSize, const TChunkIndex& Index,
                               const std::string& FileHash);

}  // namespace vt
