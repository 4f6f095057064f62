#pragma once
// zlib (RFC 1950, window bits 15) inflation to an exact count of bytes. Integrity is the
// callers' business: they check size and SHA-256 afterwards.

#include <cstdint>
#include <span>
#include <string>

#include "format/Streams.h"

namespace vt {

// Largest piece of inflated data written at once.
constexpr size_t KInflatePiece = 1048576;

// Writes exactly Count inflated bytes of Source into Dest, in pieces of at most 1 MiB; data
// past Count is not read. Raises on corrupt data or when the stream ends early. A Count of 0
// or less reads and writes nothing.
void InflateStream(TByteSource& Source, TByteSink& Dest, int64_t Count);

// Inflates raw deflate data (no zlib header or trailer) that holds a whole number of blocks, as
// one chunk of a zlib object written with a full flush after each chunk does. Kept for many
// chunks, so that the state is made once.
class TRawInflater {
 public:
  TRawInflater();
  ~TRawInflater();
  TRawInflater(const TRawInflater&) = delete;
  TRawInflater& operator=(const TRawInflater&) = delete;

  // True when In inflates to exactly Size bytes, written to Out, with none of In left over. Out
  // has room for Size + 1 bytes, so that a longer chunk shows.
  bool Inflate(std::span<const uint8_t> In, uint8_t* Out, size_t Size);

  // How InflateBlocks ended.
  struct TBlocks {
    enum class TEnd { More, StreamEnd, Corrupt };
    TEnd End = TEnd::More;  // More: no error and no final block, the input or room ran out
    size_t Produced = 0;    // bytes written to Out
    size_t InputLeft = 0;   // bytes of In not taken
    // The input taken ends just after a block that is not the last, on a byte boundary.
    bool AtBlockEnd = false;
    std::string Problem;  // zlib's own word for corrupt data, when it has one
  };
  // Inflates In on its own into the OutSize bytes at Out, block by block, so that the result
  // tells where in the stream the input ended: what the publisher's check of a chunk store needs.
  TBlocks InflateBlocks(std::span<const uint8_t> In, uint8_t* Out, size_t OutSize);

 private:
  struct TState;
  TState* FState;
};

// Inflates the start of the zlib stream in SourcePath, at most Count bytes, into a newly created
// DestPath: what an interrupted download left. A stream cut short gives all it holds; at corrupt
// data the piece in hand is dropped. Raises only TFileWriteError, when DestPath cannot be
// written.
void InflatePrefix(const std::string& SourcePath, const std::string& DestPath, int64_t Count);

// InflateStream from the file SourcePath into a newly created (truncated) DestPath. Raises
// also when either file cannot be opened or created.
void InflateFile(const std::string& SourcePath, const std::string& DestPath, int64_t Count);

}  // namespace vt
