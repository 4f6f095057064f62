#pragma once
// Minimal byte streams, so that inflation runs the same from memory and from files.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vt {

class TFile;

class TByteSource {
 public:
  virtual ~TByteSource() = default;
  // Up to Size bytes into Buffer; 0 only at the end.
  virtual size_t Read(uint8_t* Buffer, size_t Size) = 0;
};

class TByteSink {
 public:
  virtual ~TByteSink() = default;
  virtual void Write(const uint8_t* Data, size_t Size) = 0;
};

// Reads from bytes owned by someone else.
class TMemorySource : public TByteSource {
 public:
  explicit TMemorySource(std::span<const uint8_t> Data) : FData(Data) {}
  size_t Read(uint8_t* Buffer, size_t Size) override;

 private:
  std::span<const uint8_t> FData;
  size_t FPos = 0;
};

// Appends to a byte vector owned by someone else.
class TMemorySink : public TByteSink {
 public:
  explicit TMemorySink(std::vector<uint8_t>& Data) : FData(Data) {}
  void Write(const uint8_t* Data, size_t Size) override;

 private:
  std::vector<uint8_t>& FData;
};

// Reads from and writes to a file owned by someone else.
class TFileSource : public TByteSource {
 public:
  explicit TFileSource(TFile& File) : FFile(File) {}
  size_t Read(uint8_t* Buffer, size_t Size) override;

 private:
  TFile& FFile;
};

class TFileSink : public TByteSink {
 public:
  explicit TFileSink(TFile& File) : FFile(File) {}
  void Write(const uint8_t* Data, size_t Size) override;

 private:
  TFile& FFile;
};

// The whole content of the file at Path; SizeHint (when known) saves reallocations. Raises with
// the open or read error's message.
std::string ReadWholeFile(const std::string& Path, int64_t SizeHint = 0);

}  // namespace vt
