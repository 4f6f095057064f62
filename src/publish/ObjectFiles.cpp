#include "publish/ObjectFiles.h"

#include <zlib.h>

#include <stdexcept>
#include <vector>

#include "format/Digest.h"
#include "format/Sha256.h"
#include "platform/Files.h"
#include "platform/SysError.h"

namespace vt {

namespace {

// Owns one zlib deflation state; ended on every path.
class TDeflater {
 public:
  explicit TDeflater(int Level) {
    // Window bits 15 without the gzip or raw flags: the zlib format the launcher inflates.
    if (deflateInit2(&FStream, Level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::runtime_error("cannot start compression");
    }
  }
  ~TDeflater() { deflateEnd(&FStream); }
  TDeflater(const TDeflater&) = delete;
  TDeflater& operator=(const TDeflater&) = delete;

  z_stream& Stream() { return FStream; }

 private:
  z_stream FStream{};
};

// Reads Source piece by piece into Hash, handing each piece to Use.
template <typename TUse>
TFileDigest ReadPieces(const std::string& Source, const TReadCallback& OnRead, TUse&& Use) {
  TFile file = TFile::OpenRead(Source);
  std::vector<uint8_t> piece(KFilePiece);
  TSha256 hash;
  int64_t size = 0;
  while (const size_t got = file.Read(piece.data(), piece.size())) {
    hash.Update(piece.data(), got);
    size += static_cast<int64_t>(got);
    if (!Use(piece.data(), got))
      break;
    if (OnRead)
      OnRead(static_cast<int64_t>(got));
  }
  return {BytesToHex(hash.Final()), size};
}

// Feeds Input to the deflater with Flush, writing whatever comes out to Dest.
int64_t DeflatePiece(z_stream& Stream, const uint8_t* Input, size_t Size, int Flush, TFile& Dest,
                     std::vector<uint8_t>& Out) {
  Stream.next_in = const_cast<uint8_t*>(Input);
  Stream.avail_in = static_cast<uInt>(Size);
  int64_t written = 0;
  do {
    Stream.next_out = Out.data();
    Stream.avail_out = static_cast<uInt>(Out.size());
    const int status = deflate(&Stream, Flush);
    if (status == Z_STREAM_ERROR)
      throw std::runtime_error("compression failed");
    const size_t produced = Out.size() - Stream.avail_out;
    Dest.Write(Out.data(), produced);
    written += static_cast<int64_t>(produced);
  } while (Stream.avail_out == 0);
  return written;
}

}  // namespace

std::string ObjectName(const std::string& Hash, bool Compressed) {
  return Hash.substr(0, 2) + "/" + Hash + (Compressed ? ".z" : "");
}

TFileDigest DigestFile(const std::string& Path, const TReadCallback& OnRead) {
  return ReadPieces(Path, OnRead, [](const uint8_t*, size_t) { return true; });
}

TFileDigest CopyAndDigest(const std::string& Source, const std::string& Dest,
                          const TReadCallback& OnRead) {
  TFile out = TFile::Create(Dest);
  const TFileDigest digest = ReadPieces(Source, OnRead, [&](const uint8_t* Data, size_t Size) {
    out.Write(Data, Size);
    return true;
  });
  out.Close();
  return digest;
}

TDeflateResult DeflateAndDigest(const std::string& Source, const std::string& Dest, int Level,
                                const TGiveUpTest& GiveUp, const TReadCallback& OnRead) {
  TFile out = TFile::Create(Dest);
  TDeflater deflater(Level);
  std::vector<uint8_t> buffer(KDeflateOutPiece);
  TDeflateResult result;
  int64_t read = 0;
  result.Input = ReadPieces(Source, OnRead, [&](const uint8_t* Data, size_t Size) {
    read += static_cast<int64_t>(Size);
    result.ZSize += DeflatePiece(deflater.Stream(), Data, Size, Z_NO_FLUSH, out, buffer);
    result.Abandoned = GiveUp && GiveUp(read, result.ZSize, false);
    return !result.Abandoned;
  });
  if (!result.Abandoned) {
    result.ZSize += DeflatePiece(deflater.Stream(), nullptr, 0, Z_FINISH, out, buffer);
    result.Abandoned = GiveUp && GiveUp(read, result.ZSize, true);
  }
  out.Close();
  return result;
}

TPendingFile::TPendingFile(std::string FinalPath)
    : FFinalPath(std::move(FinalPath)), FTempPath(FFinalPath + ".tmp") {}

TPendingFile::~TPendingFile() {
  if (!FCommitted)
    RemoveFile(FTempPath);
}

void TPendingFile::Commit() {
  if (const TSysStatus moved = ReplaceFile(FTempPath, FFinalPath); !moved)
    throw std::runtime_error(FFinalPath + ": " + moved.Text());
  FCommitted = true;
}

void WriteFileAtomically(const std::string& Path, std::span<const uint8_t> Bytes) {
  TPendingFile pending(Path);
  TFile file = TFile::Create(pending.Path());
  file.Write(Bytes.data(), Bytes.size());
  file.Close();
  pending.Commit();
}

}  // namespace vt
