#include "format/Streams.h"

#include <algorithm>
#include <cstring>

#include "platform/Files.h"

namespace vt {

size_t TMemorySource::Read(uint8_t* Buffer, size_t Size) {
  const size_t count = std::min(Size, FData.size() - FPos);
  if (count > 0)
    std::memcpy(Buffer, FData.data() + FPos, count);
  FPos += count;
  return count;
}

void TMemorySink::Write(const uint8_t* Data, size_t Size) {
  FData.insert(FData.end(), Data, Data + Size);
}

std::string ReadWholeFile(const std::string& Path, int64_t SizeHint) {
  // Pieces of 64 KiB: the files read whole are small, so this only bounds the number of calls.
  constexpr size_t KPiece = 64 * 1024;
  TFile file = TFile::OpenRead(Path);
  std::string text;
  if (SizeHint > 0)
    text.reserve(static_cast<size_t>(SizeHint));
  std::vector<char> buffer(KPiece);
  while (const size_t got = file.Read(buffer.data(), buffer.size()))
    text.append(buffer.data(), got);
  return text;
}

size_t TFileSource::Read(uint8_t* Buffer, size_t Size) {
  return FFile.Read(Buffer, Size);
}

void TFileSink::Write(const uint8_t* Data, size_t Size) {
  FFile.Write(Data, Size);
}

}  // namespace vt
