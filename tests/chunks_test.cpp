#include "format/Chunks.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "format/Errors.h"

namespace vt {
namespace {

std::vector<uint8_t> Noise(size_t Size, uint32_t Seed) {
  std::mt19937 rng(Seed);
  std::vector<uint8_t> data(Size);
  for (auto& b : data)
    b = static_cast<uint8_t>(rng());
  return data;
}

std::vector<TChunk> ChunksOf(const std::vector<uint8_t>& Data, size_t Piece = 1 << 20) {
  TChunkHasher hasher;
  for (size_t at = 0; at < Data.size(); at += Piece)
    hasher.Feed(Data.data() + at, std::min(Piece, Data.size() - at));
  return hasher.Finish();
}

std::set<TSha256Digest> HashesOf(const std::vector<TChunk>& Chunks) {
  std::set<TSha256Digest> hashes;
  for (const TChunk& chunk : Chunks)
    hashes.insert(chunk.Hash);
  return hashes;
}

TEST(Chunks, CutsHonourTheBoundsAndDoNotDependOnHowTheStreamIsFed) {
  const std::vector<uint8_t> data = Noise(8 << 20, 1);
  const std::vector<TChunk> whole = ChunksOf(data);
  uint64_t total = 0;
  for (size_t i = 0; i < whole.size(); ++i) {
    total += whole[i].Size;
    EXPECT_LE(whole[i].Size, KChunkMax);
    if (i + 1 < whole.size()) {
      EXPECT_GE(whole[i].Size, KChunkMin);
    }
  }
  EXPECT_EQ(total, data.size());
  const double average = static_cast<double>(data.size()) / static_cast<double>(whole.size());
  EXPECT_GT(average, KChunkAverage * 0.75);
  EXPECT_LT(average, KChunkAverage * 1.5);
  for (const size_t piece : {size_t{1}, size_t{4095}, size_t{KChunkMin}, size_t{300001}}) {
    const std::vector<TChunk> fed = ChunksOf(data, piece);
    ASSERT_EQ(fed.size(), whole.size()) << piece;
    for (size_t i = 0; i < whole.size(); ++i)
      EXPECT_EQ(fed[i].Hash, whole[i].Hash) << piece << " " << i;
  }
}

TEST(Chunks, AnEditMovesOnlyTheCutsAroundIt) {
  const std::vector<uint8_t> base = Noise(8 << 20, 2);
  const std::set<TSha256Digest> old = HashesOf(ChunksOf(base));
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Data;
  };
  std::vector<TCase> cases;
  {
    std::vector<uint8_t> d = base;
    const std::vector<uint8_t> extra = Noise(1000, 3);
    d.insert(d.begin() + (1 << 20), extra.begin(), extra.end());
    cases.push_back({"insertion", d});
  }
  {
    std::vector<uint8_t> d = base;
    d.erase(d.begin() + (3 << 20), d.begin() + (3 << 20) + 5000);
    cases.push_back({"deletion", d});
  }
  {
    std::vector<uint8_t> d = base;
    d[5 << 20] ^= 0xFF;
    cases.push_back({"one byte", d});
  }
  for (const TCase& c : cases) {
    const std::vector<TChunk> now = ChunksOf(c.Data);
    size_t fresh = 0;
    for (const TChunk& chunk : now)
      fresh += old.count(chunk.Hash) == 0;
    EXPECT_GE(fresh, 1u) << c.Name;
    EXPECT_LE(fresh, 3u) << c.Name;
  }
}

TEST(Chunks, IndexReadsBackAndRefusesWhatCannotDescribeTheFile) {
  TChunkIndex index;
  index.Zlib = true;
  index.DataOffset = 2;
  index.Chunks = {{70000, 70100, {1}}, {KChunkMax, 1000, {2}}, {5, 20, {3}}};
  const int64_t size = 70000 + KChunkMax + 5;
  const std::vector<uint8_t> bytes = WriteChunkIndex(index);
  const TChunkIndex back = ReadChunkIndex(bytes, size);
  EXPECT_TRUE(back.Zlib);
  EXPECT_EQ(back.DataOffset, 2u);
  ASSERT_EQ(back.Chunks.size(), 3u);
  EXPECT_EQ(back.Chunks[1].Size, KChunkMax);
  EXPECT_EQ(back.Chunks[2].Hash, index.Chunks[2].Hash);
  EXPECT_EQ(StoredOffset(back, 2), 2u + 70100 + 1000);

  auto with = [&](auto Change) {
    TChunkIndex copy = index;
    Change(copy);
    return WriteChunkIndex(copy);
  };
  struct TBad {
    const char* Name;
    std::vector<uint8_t> Bytes;
    int64_t Size;
  };
  std::vector<uint8_t> truncated = bytes;
  truncated.pop_back();
  std::vector<uint8_t> magic = bytes;
  magic[0] = 'X';
  const TBad bad[] = {
      {"short", truncated, size},
      {"magic", magic, size},
      {"file larger", bytes, size + 1},
      {"file smaller", bytes, size - 1},
      {"empty chunk", with([](TChunkIndex& I) { I.Chunks[2].Size = 0; }), size - 5},
      {"chunk too big", with([](TChunkIndex& I) { I.Chunks[1].Size = KChunkMax + 1; }), size + 1},
      {"stored too big", with([](TChunkIndex& I) { I.Chunks[0].Stored = 90000; }), size},
      {"plain stored differs", with([](TChunkIndex& I) { I.Zlib = false, I.DataOffset = 0; }),
       size},
      {"offset", with([](TChunkIndex& I) { I.DataOffset = 3; }), size},
  };
  for (const TBad& b : bad)
    EXPECT_THROW(ReadChunkIndex(b.Bytes, b.Size), TUpdateError) << b.Name;
}

}  // namespace
}  // namespace vt
