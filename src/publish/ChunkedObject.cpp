#include "publish/ChunkedObject.h"

#include <zlib.h>

#include <stdexcept>

#include "format/Digest.h"
#include "format/Inflate.h"
#include "platform/Files.h"
#include "publish/ObjectFiles.h"

namespace vt {

namespace {

// A zlib stream's header (no preset dictionary) and trailer.
constexpr int64_t KZlibHeader = 2;
constexpr int64_t KAdlerBytes = 4;
// After the last chunk's full flush comes the final block, empty: two bytes as zlib writes it
// (a fixed-code block holding only its end code), at most a few more in any other coding.
constexpr int64_t KLeastFinalBlock = 2;
constexpr int64_t KMostFinalBlock = 32;

class TNullSink : public TByteSink {
 public:
  void Write(const uint8_t*, size_t) override {}
};

// Reads exactly Size bytes; false when the source ends first.
bool ReadExactly(TByteSource& Source, uint8_t* Buffer, size_t Size) {
  while (Size > 0) {
    const size_t got = Source.Read(Buffer, Size);
    if (got == 0)
      return false;
    Buffer += got;
    Size -= got;
  }
  return true;
}

std::string ChunkText(size_t Index) {
  return "chunk " + std::to_string(Index + 1);
}

}  // namespace

struct TChunkedWriter::TDeflate {
  z_stream Stream{};
};

TChunkedWriter::TChunkedWriter(bool Zlib, int Level, TByteSink& Out) : FOut(Out) {
  FIndex.Zlib = Zlib;
  if (!Zlib)
    return;
  FDeflate = std::make_unique<TDeflate>();
  // The zlib format the launcher inflates, as for every other object.
  if (deflateInit2(&FDeflate->Stream, Level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    FDeflate.reset();
    throw std::runtime_error("cannot start compression");
  }
  FBuffer.resize(KDeflateOutPiece);
  FIndex.DataOffset = KZlibHeader;
  FChunkStart = KZlibHeader;
}

TChunkedWriter::~TChunkedWriter() {
  if (FDeflate)
    deflateEnd(&FDeflate->Stream);
}

void TChunkedWriter::Deflate(const uint8_t* Data, size_t Size, int Flush) {
  z_stream& stream = FDeflate->Stream;
  stream.next_in = const_cast<uint8_t*>(Data);
  stream.avail_in = static_cast<uInt>(Size);
  do {
    stream.next_out = FBuffer.data();
    stream.avail_out = static_cast<uInt>(FBuffer.size());
    if (deflate(&stream, Flush) == Z_STREAM_ERROR)
      throw std::runtime_error("compression failed");
    const size_t produced = FBuffer.size() - stream.avail_out;
    FOut.Write(FBuffer.data(), produced);
    FWritten += static_cast<int64_t>(produced);
  } while (stream.avail_out == 0);
}

void TChunkedWriter::Feed(const uint8_t* Data, size_t Size) {
  FChunker.Split(Data, Size, [this](const uint8_t* Bytes, size_t Length, bool Cut) {
    FSha.Update(Bytes, Length);
    FLength += static_cast<uint32_t>(Length);
    if (FDeflate) {
      Deflate(Bytes, Length, Z_NO_FLUSH);
    } else {
      FOut.Write(Bytes, Length);
      FWritten += static_cast<int64_t>(Length);
    }
    if (Cut)
      EndChunk();
  });
}

void TChunkedWriter::EndChunk() {
  // The full flush ends the chunk on a byte boundary and forgets the window, so its bytes
  // inflate without those before them.
  if (FDeflate)
    Deflate(nullptr, 0, Z_FULL_FLUSH);
  FIndex.Chunks.push_back({FLength, static_cast<uint32_t>(FWritten - FChunkStart), FSha.Final()});
  FChunkStart = FWritten;
  FLength = 0;
}

TChunkIndex TChunkedWriter::Finish() {
  if (FLength > 0)
    EndChunk();
  if (FDeflate)
    Deflate(nullptr, 0, Z_FINISH);
  FChunker = {};
  return std::move(FIndex);
}

TChunkedObject MakeChunkedObject(std::span<const uint8_t> Data, bool Zlib, int Level) {
  TChunkedObject result;
  TMemorySink sink(result.Object);
  TChunkedWriter writer(Zlib, Level, sink);
  writer.Feed(Data.data(), Data.size());
  result.Index = writer.Finish();
  return result;
}

TChunkedResult WriteChunkedObject(const std::string& Source, const std::string& Dest, bool Zlib,
                                  int Level, const TGiveUpTest& GiveUp,
                                  const TReadCallback& OnRead) {
  TFile in = TFile::OpenRead(Source);
  TFile out = TFile::Create(Dest);
  TFileSink sink(out);
  TChunkedWriter writer(Zlib, Level, sink);
  std::vector<uint8_t> piece(KFilePiece);
  TSha256 hash;
  TChunkedResult result;
  while (const size_t got = in.Read(piece.data(), piece.size())) {
    hash.Update(piece.data(), got);
    result.Input.Size += static_cast<int64_t>(got);
    writer.Feed(piece.data(), got);
    if (GiveUp && GiveUp(result.Input.Size, writer.Written(), false)) {
      result.Abandoned = true;
      break;
    }
    if (OnRead)
      OnRead(static_cast<int64_t>(got));
  }
  result.Input.Hash = BytesToHex(hash.Final());
  if (!result.Abandoned) {
    result.Index = writer.Finish();
    result.Abandoned = GiveUp && GiveUp(result.Input.Size, writer.Written(), true);
  }
  result.Written = writer.Written();
  out.Close();
  return result;
}

TChunkIndex PlainChunkIndex(const std::string& Source, TFileDigest& Digest,
                            const TReadCallback& OnRead) {
  TFile in = TFile::OpenRead(Source);
  TNullSink sink;
  TChunkedWriter writer(false, 0, sink);
  std::vector<uint8_t> piece(KFilePiece);
  TSha256 hash;
  Digest.Size = 0;
  while (const size_t got = in.Read(piece.data(), piece.size())) {
    hash.Update(piece.data(), got);
    Digest.Size += static_cast<int64_t>(got);
    writer.Feed(piece.data(), got);
    if (OnRead)
      OnRead(static_cast<int64_t>(got));
  }
  Digest.Hash = BytesToHex(hash.Final());
  return writer.Finish();
}

bool IndexFitsObject(const TChunkIndex& Index, int64_t ObjectSize) {
  const int64_t rest = ObjectSize - static_cast<int64_t>(StoredOffset(Index, Index.Chunks.size()));
  if (!Index.Zlib)
    return Index.DataOffset == 0 && rest == 0;
  return Index.DataOffset == KZlibHeader && rest >= KLeastFinalBlock + KAdlerBytes &&
         rest <= KMostFinalBlock + KAdlerBytes;
}

std::string CheckChunkedObject(TByteSource& Object, int64_t ObjectSize, const TChunkIndex& Index,
                               const std::string& FileHash) {
  if (Index.DataOffset != static_cast<uint64_t>(Index.Zlib ? KZlibHeader : 0))
    return "its chunk index puts the first chunk at byte " + std::to_string(Index.DataOffset);
  uint8_t header[KZlibHeader];
  if (Index.Zlib) {
    if (!ReadExactly(Object, header, sizeof header))
      return "its object ends before the zlib header";
    // Deflate with a 32 KiB window at most, no preset dictionary, and the header's check.
    if ((header[0] & 0x0F) != 8 || (header[0] >> 4) > 7 || (header[1] & 0x20) != 0 ||
        (header[0] * 256 + header[1]) % 31 != 0)
      return "its object does not begin with a zlib header";
  }
  std::vector<uint8_t> stored(MaxStoredChunk(KChunkMax));
  std::vector<uint8_t> out(KChunkMax + 1);  // one byte more shows a chunk that inflates longer
  TRawInflater inflater;
  TSha256 whole;
  uLong adler = adler32(0, nullptr, 0);
  int64_t at = static_cast<int64_t>(Index.DataOffset);
  for (size_t i = 0; i < Index.Chunks.size(); ++i) {
    const TChunk& chunk = Index.Chunks[i];
    if (at + chunk.Stored > ObjectSize || !ReadExactly(Object, stored.data(), chunk.Stored))
      return ChunkText(i) + " runs past the end of the object";
    const uint8_t* bytes = stored.data();
    if (Index.Zlib) {
      using TEnd = TRawInflater::TBlocks::TEnd;
      const TRawInflater::TBlocks run =
          inflater.InflateBlocks({stored.data(), chunk.Stored}, out.data(), out.size());
      if (run.End == TEnd::StreamEnd)
        return ChunkText(i) + " ends the zlib stream before the last chunk";
      if (run.End == TEnd::Corrupt)
        return ChunkText(i) + " does not inflate on its own (" + run.Problem + ")";
      if (run.InputLeft != 0 || run.Produced != chunk.Size)
        return ChunkText(i) + " does not inflate to its " + std::to_string(chunk.Size) + " bytes";
      if (!run.AtBlockEnd)
        return ChunkText(i) + " does not end on a flushed block boundary";
      bytes = out.data();
    }
    TSha256 own;
    own.Update(bytes, chunk.Size);
    if (own.Final() != chunk.Hash)
      return ChunkText(i) + " does not have the SHA-256 its index gives";
    whole.Update(bytes, chunk.Size);
    adler = adler32(adler, bytes, chunk.Size);
    at += chunk.Stored;
  }
  const int64_t rest = ObjectSize - at;
  if (Index.Zlib) {
    if (rest < KLeastFinalBlock + KAdlerBytes || rest > KMostFinalBlock + KAdlerBytes)
      return "its object has " + std::to_string(rest) +
             " bytes after the last chunk, not just an empty final block and the Adler-32";
    uint8_t tail[KMostFinalBlock + KAdlerBytes];
    if (!ReadExactly(Object, tail, static_cast<size_t>(rest)))
      return "its object ends early";
    const size_t block = static_cast<size_t>(rest - KAdlerBytes);
    uint8_t none[1];
    const TRawInflater::TBlocks end = inflater.InflateBlocks({tail, block}, none, sizeof none);
    if (end.End != TRawInflater::TBlocks::TEnd::StreamEnd || end.InputLeft != 0 ||
        end.Produced != 0)
      return "its object does not end with an empty final block after the last chunk";
    const uint8_t* check = tail + block;
    const uLong stored32 = (uLong(check[0]) << 24) | (uLong(check[1]) << 16) |
                           (uLong(check[2]) << 8) | uLong(check[3]);
    if (stored32 != adler)
      return "its object's Adler-32 does not match its chunks";
  } else if (rest != 0) {
    return "its object has " + std::to_string(rest) + " bytes after the last chunk";
  }
  if (BytesToHex(whole.Final()) != FileHash)
    return "its chunks do not make up a file with the listed SHA-256";
  return {};
}

}  // namespace vt
