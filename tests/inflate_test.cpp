#include "format/Inflate.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "format/Errors.h"
#include "publish/Release.h"
#include "support/TestRelease.h"

namespace vt {
namespace {

std::vector<uint8_t> RandomBytes(size_t Size, uint32_t Seed) {
  std::mt19937 rng(Seed);
  std::vector<uint8_t> data(Size);
  // Low entropy so that deflate has something to do.
  for (auto& b : data)
    b = static_cast<uint8_t>(rng() % 7);
  return data;
}

std::vector<uint8_t> Inflate(const std::vector<uint8_t>& Z, int64_t Count) {
  std::vector<uint8_t> out;
  TMemorySource source(Z);
  TMemorySink sink(out);
  InflateStream(source, sink, Count);
  return out;
}

// Counts reads, to show that a zero count reads nothing.
class TCountingSource : public TByteSource {
 public:
  size_t Read(uint8_t*, size_t) override {
    ++Reads;
    return 0;
  }
  int Reads = 0;
};

TEST(InflateStream, ExactCountLongerStreamCutAndPiecesOverOneMiB) {
  const auto data = RandomBytes(3 * 1048576 + 17, 1);
  const auto z = ZlibCompress(data);
  EXPECT_EQ(Inflate(z, static_cast<int64_t>(data.size())), data);
  // A count short of the stream yields exactly its first bytes, even mid-piece.
  const auto first = Inflate(z, 1048576 + 5);
  EXPECT_EQ(first, std::vector<uint8_t>(data.begin(), data.begin() + 1048576 + 5));
}

TEST(InflateStream, StreamThatEndsEarlyFails) {
  const auto data = RandomBytes(1000, 2);
  auto z = ZlibCompress(data);
  EXPECT_THROW(Inflate(z, 1001), TUpdateError);
  // A stream cut in the middle fails too, however many bytes were asked for.
  z.resize(z.size() / 2);
  EXPECT_THROW(Inflate(z, 1000), TUpdateError);
}

TEST(InflateStream, CountZeroOrLessReadsNothing) {
  TCountingSource source;
  std::vector<uint8_t> out;
  TMemorySink sink(out);
  InflateStream(source, sink, 0);
  InflateStream(source, sink, -5);
  EXPECT_EQ(source.Reads, 0);
  EXPECT_TRUE(out.empty());
}

TEST(InflateStream, OnlyZlibIsAccepted) {
  const auto data = RandomBytes(5000, 3);
  EXPECT_THROW(Inflate(test::DeflateAs(data, 15 + 16), 5000), TUpdateError);  // gzip
  EXPECT_THROW(Inflate(test::DeflateAs(data, -15), 5000), TUpdateError);      // raw deflate
  EXPECT_EQ(Inflate(test::DeflateAs(data, 15), 5000), data);
  auto corrupt = ZlibCompress(data);
  corrupt[corrupt.size() / 2] ^= 0xFF;
  EXPECT_THROW(Inflate(corrupt, 5000), TUpdateError);
}

TEST(InflateFile, InflatesIntoANewTruncatedFileAndReportsOpenFailures) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("vt_inflate_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto data = RandomBytes(200000, 4);
  const auto z = ZlibCompress(data);
  const std::string zpath = (dir / "x.zpart").string(), path = (dir / "x.part").string();
  std::ofstream(zpath, std::ios::binary).write(reinterpret_cast<const char*>(z.data()), z.size());
  std::ofstream(path, std::ios::binary) << std::string(500000, 'x');  // longer: must be truncated
  InflateFile(zpath, path, static_cast<int64_t>(data.size()));
  {
    // Closed before the folder goes: Windows deletes no open file.
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(got, data);
  }
  EXPECT_THROW(InflateFile((dir / "missing").string(), path, 10), std::runtime_error);
  EXPECT_THROW(InflateFile(zpath, (dir / "no/such/dir/x").string(), 10), std::runtime_error);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vt
