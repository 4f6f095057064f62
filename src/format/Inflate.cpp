#include "format/Inflate.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "format/Errors.h"
#include "platform/Files.h"

namespace vt {

namespace {

constexpr size_t KInputPiece = 65536;

// Owns one zlib inflation state; ended on every path.
class TInflater {
 public:
  TInflater() {
    if (inflateInit2(&FStream, 15) != Z_OK)
      Fail("cannot start decompression");
  }
  ~TInflater() { inflateEnd(&FStream); }
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;

  z_stream& Stream() { return FStream; }

  [[noreturn]] void Fail(const char* What) {
    throw TUpdateError(FStream.msg ? std::string(What) + ": " + FStream.msg : What);
  }

 private:
  z_stream FStream{};
};

}  // namespace

void InflateStream(TByteSource& Source, TByteSink& Dest, int64_t Count) {
  if (Count <= 0)
    return;
  TInflater inflater;
  z_stream& stream = inflater.Stream();
  std::vector<uint8_t> input(KInputPiece);
  std::vector<uint8_t> output(static_cast<size_t>(std::min<int64_t>(Count, KInflatePiece)));
  uint64_t left = static_cast<uint64_t>(Count);
  bool sourceEnded = false;
  while (left > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, output.size()));
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(want);
    while (stream.avail_out > 0) {
      if (stream.avail_in == 0 && !sourceEnded) {
        const size_t got = Source.Read(input.data(), input.size());
        sourceEnded = got == 0;
        stream.next_in = input.data();
        stream.avail_in = static_cast<uInt>(got);
      }
      const int status = inflate(&stream, Z_NO_FLUSH);
      if (status == Z_STREAM_END)
        break;
      if (status == Z_NEED_DICT || status == Z_DATA_ERROR || status == Z_MEM_ERROR) {
        inflater.Fail("the compressed data is corrupt");
      }
      // Z_BUF_ERROR with no input left means the stream was cut short.
      if (status == Z_BUF_ERROR && stream.avail_in == 0 && sourceEnded)
        break;
    }
    const size_t produced = want - stream.avail_out;
    Dest.Write(output.data(), produced);
    left -= produced;
    if (produced < want)
      throw TUpdateError("the compressed data ends too early");
  }
}

struct TRawInflater::TState {
  z_stream Stream{};
};

TRawInflater::TRawInflater() : FState(new TState) {
  if (inflateInit2(&FState->Stream, -15) != Z_OK) {
    delete FState;
    throw TUpdateError("cannot start decompression");
  }
}

TRawInflater::~TRawInflater() {
  inflateEnd(&FState->Stream);
  delete FState;
}

bool TRawInflater::Inflate(std::span<const uint8_t> In, uint8_t* Out, size_t Size) {
  z_stream& stream = FState->Stream;
  if (inflateReset(&stream) != Z_OK)
    return false;
  stream.next_in = const_cast<uint8_t*>(In.data());
  stream.avail_in = static_cast<uInt>(In.size());
  stream.next_out = Out;
  stream.avail_out = static_cast<uInt>(Size + 1);
  const int status = inflate(&stream, Z_SYNC_FLUSH);
  if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
    return false;
  return stream.avail_in == 0 && stream.avail_out == 1;
}

TRawInflater::TBlocks TRawInflater::InflateBlocks(std::span<const uint8_t> In, uint8_t* Out,
                                                  size_t OutSize) {
  z_stream& stream = FState->Stream;
  TBlocks result;
  if (inflateReset(&stream) != Z_OK) {
    result.End = TBlocks::TEnd::Corrupt;
    return result;
  }
  stream.next_in = const_cast<uint8_t*>(In.data());
  stream.avail_in = static_cast<uInt>(In.size());
  stream.next_out = Out;
  stream.avail_out = static_cast<uInt>(OutSize);
  int status = Z_OK;
  // Z_BLOCK returns at each block's end, so that data_type tells where the input stopped.
  while (stream.avail_in > 0 && status == Z_OK)
    status = inflate(&stream, Z_BLOCK);
  // 128: just after a block's end, no bits left over, and not the final block.
  result.AtBlockEnd = stream.data_type == 128;
  // Z_BLOCK halts before a final block's end turns into the stream's; one more call lets it.
  if (status == Z_OK) {
    status = inflate(&stream, Z_SYNC_FLUSH);
    if (status == Z_BUF_ERROR)
      status = Z_OK;  // nothing more to do: no final block came
  }
  result.Produced = OutSize - stream.avail_out;
  result.InputLeft = stream.avail_in;
  if (status == Z_STREAM_END) {
    result.End = TBlocks::TEnd::StreamEnd;
  } else if (status != Z_OK && status != Z_BUF_ERROR) {
    result.End = TBlocks::TEnd::Corrupt;
    result.Problem = stream.msg != nullptr ? stream.msg : "corrupt data";
  }
  return result;
}

void InflatePrefix(const std::string& SourcePath, const std::string& DestPath, int64_t Count) {
  std::optional<TFile> source;
  try {
    source.emplace(TFile::OpenRead(SourcePath));
  } catch (const std::exception&) {
    return;
  }
  TFile dest = TFile::Create(DestPath);
  TFileSource reader(*source);
  TFileSink writer(dest);
  try {
    InflateStream(reader, writer, Count);
  } catch (const TFileWriteError&) {
    throw;
  } catch (const std::exception&) {
    // A stream cut short, corrupt or unreadable from here on: what came before it stays.
  }
  dest.Close();
}

void InflateFile(const std::string& SourcePath, const std::string& DestPath, int64_t Count) {
  TFile source = TFile::OpenRead(SourcePath);
  TFile dest = TFile::Create(DestPath);
  TFileSource reader(source);
  TFileSink writer(dest);
  InflateStream(reader, writer, Count);
  dest.Close();
}

}  // namespace vt
