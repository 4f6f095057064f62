#pragma once
// Streamed file work for the publisher: hashing, copying and deflating files into objects
// without ever holding a whole file in memory, and writing files through a temporary name.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace vt {

// The output buffer of a deflate step, in bytes.
constexpr size_t KDeflateOutPiece = 262144;

// Largest piece of a file read at once.
constexpr size_t KFilePiece = 1048576;

// Told the number of bytes just read, after each piece of a file: the publisher's progress.
using TReadCallback = std::function<void(int64_t Bytes)>;

struct TFileDigest {
  std::string Hash;  // SHA-256, 64 lowercase hex digits
  int64_t Size = 0;

  bool operator==(const TFileDigest&) const = default;
};

// An object's name under the store's folder: the first two hex digits of Hash, "/", Hash, and
// ".z" for a compressed object.
std::string ObjectName(const std::string& Hash, bool Compressed);

// SHA-256 and length of a file's contents. Raises "<path>: <reason>" when it cannot be read.
TFileDigest DigestFile(const std::string& Path, const TReadCallback& OnRead = {});

// Copies Source into a newly created Dest and returns the digest of the bytes copied.
TFileDigest CopyAndDigest(const std::string& Source, const std::string& Dest,
                          const TReadCallback& OnRead = {});

struct TDeflateResult {
  TFileDigest Input;       // digest of what was read; partial when Abandoned
  int64_t ZSize = 0;       // bytes written to Dest
  bool Abandoned = false;  // GiveUp said so, and Dest is incomplete
};

// Asked after each piece, and once more at the end, with the bytes read and written so far:
// true abandons the deflation.
using TGiveUpTest = std::function<bool(int64_t Read, int64_t Written, bool Finished)>;

// Deflates Source into a newly created Dest as one zlib stream (window bits 15) at Level 0-9,
// unless GiveUp (may be empty) stops it.
TDeflateResult DeflateAndDigest(const std::string& Source, const std::string& Dest, int Level,
                                const TGiveUpTest& GiveUp, const TReadCallback& OnRead = {});

// A temporary file beside its final name. It is removed on destruction unless Commit has moved
// it over the final name.
class TPendingFile {
 public:
  explicit TPendingFile(std::string FinalPath);
  ~TPendingFile();
  TPendingFile(const TPendingFile&) = delete;
  TPendingFile& operator=(const TPendingFile&) = delete;

  const std::string& Path() const { return FTempPath; }
  // Moves the temporary file over the final name once its content is on disk. Raises
  // "<final path>: <reason>" when it cannot.
  void Commit();

 private:
  std::string FFinalPath;
  std::string FTempPath;
  bool FCommitted = false;
};

// Writes Bytes to Path through a temporary name and one rename, so Path is either the old
// file or the whole new one.
void WriteFileAtomically(const std::string& Path, std::span<const uint8_t> Bytes);

}  // namespace vt
