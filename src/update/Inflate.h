#pragma once
// zlib (RFC 1950, window bits 15) inflation to an exact count of bytes. Integrity is the
// callers' business: they check size and SHA-256 afterwards.

#include <cstdint>
#include <string>

#include "update/Streams.h"

namespace vt {

// Largest piece of inflated data written at once.
constexpr size_t KInflatePiece = 1048576;

// Writes exactly Count inflated bytes of Source into Dest, in pieces of at most 1 MiB; data
// past Count is not read. Raises on corrupt data or when the stream ends early. A Count of 0
// or less reads and writes nothing.
void InflateStream(TByteSource& Source, TByteSink& Dest, int64_t Count);

// InflateStream from the file SourcePath into a newly created (truncated) DestPath. Raises
// also when either file cannot be opened or created.
void InflateFile(const std::string& SourcePath, const std::string& DestPath, int64_t Count);

}  // namespace vt
