#include "format/Sha256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/TestData.h"

namespace vt {
namespace {

using TBytes = std::vector<uint8_t>;
using TRecord = std::map<std::string, std::string>;

TBytes FromHex(const std::string& Hex) {
  TBytes out;
  for (size_t i = 0; i + 1 < Hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(Hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

template <typename TRange>
std::string ToHex(const TRange& Bytes) {
  static const char KDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t byte : Bytes) {
    out += KDigits[byte >> 4];
    out += KDigits[byte & 15];
  }
  return out;
}

// A CAVP .rsp file: "Key = Value" lines; a line with RecordKey starts a new record, and the
// lines before the first record (Monte's Seed) form the header. Comments, "[L = 32]" and the
// CR of the CRLF line ends are ignored.
struct TRspFile {
  TRecord Header;
  std::vector<TRecord> Records;
};

TRspFile ReadRsp(const std::filesystem::path& Path, const std::string& RecordKey) {
  TRspFile file;
  std::ifstream in(Path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    const size_t eq = line.find(" = ");
    if (line.empty() || line[0] == '#' || line[0] == '[' || eq == std::string::npos)
      continue;
    const std::string key = line.substr(0, eq);
    if (key == RecordKey)
      file.Records.emplace_back();
    (file.Records.empty() ? file.Header : file.Records.back())[key] = line.substr(eq + 3);
  }
  return file;
}

TSha256Digest OpenSslSha256(const TBytes& Data) {
  TSha256Digest digest;
  unsigned size = 0;
  EXPECT_EQ(EVP_Digest(Data.data(), Data.size(), digest.data(), &size, EVP_sha256(), nullptr), 1);
  return digest;
}

TBytes RandomBytes(std::mt19937& Rng, size_t Size) {
  TBytes out(Size);
  for (auto& byte : out)
    byte = static_cast<uint8_t>(Rng());
  return out;
}

class Sha256Test : public ::testing::TestWithParam<TSha256Impl> {
 protected:
  void SetUp() override {
    if (GetParam() == TSha256Impl::ShaNi && !Sha256NiAvailable()) {
      GTEST_SKIP() << "this CPU has no SHA extensions";
    }
  }

  TSha256 Make() const {
    TSha256 sha(GetParam());
    EXPECT_EQ(sha.Impl(), GetParam());
    return sha;
  }

  TSha256Digest Hash(const TBytes& Data) const {
    TSha256 sha = Make();
    sha.Update(Data.data(), Data.size());
    return sha.Final();
  }

  void CheckMessageFile(const std::filesystem::path& Path, size_t Expected) const {
    const TRspFile file = ReadRsp(Path, "Len");
    ASSERT_EQ(file.Records.size(), Expected) << Path;
    for (const TRecord& record : file.Records) {
      // "Len = 0" comes with "Msg = 00": the length, in bits, decides.
      TBytes msg = FromHex(record.at("Msg"));
      const size_t bytes = std::stoul(record.at("Len")) / 8;
      ASSERT_LE(bytes, msg.size());
      msg.resize(bytes);
      EXPECT_EQ(ToHex(Hash(msg)), record.at("MD")) << "Len = " << record.at("Len");
    }
  }
};

TEST_P(Sha256Test, NistShortMessages) {
  VT_REQUIRE_TESTDATA(path, "nist-sha256/SHA256ShortMsg.rsp");
  CheckMessageFile(path, 65);
}

TEST_P(Sha256Test, NistLongMessages) {
  VT_REQUIRE_TESTDATA(path, "nist-sha256/SHA256LongMsg.rsp");
  CheckMessageFile(path, 64);
}

TEST_P(Sha256Test, NistMonteCarlo) {
  VT_REQUIRE_TESTDATA(path, "nist-sha256/SHA256Monte.rsp");
  const TRspFile file = ReadRsp(path, "COUNT");
  ASSERT_EQ(file.Records.size(), 100u);
  TBytes seed = FromHex(file.Header.at("Seed"));
  ASSERT_EQ(seed.size(), 32u);
  TSha256 sha = Make();
  for (const TRecord& record : file.Records) {
    TBytes md[3] = {seed, seed, seed};
    for (int i = 0; i < 1000; ++i) {
      for (const TBytes& part : md) {
        sha.Update(part.data(), part.size());
      }
      const TSha256Digest next = sha.Final();
      md[0] = std::move(md[1]);
      md[1] = std::move(md[2]);
      md[2].assign(next.begin(), next.end());
    }
    seed = md[2];
    ASSERT_EQ(ToHex(seed), record.at("MD")) << "COUNT = " << record.at("COUNT");
  }
}

// Every way of cutting short messages in two, around the block and padding boundaries.
TEST_P(Sha256Test, AnyTwoPieceSplitMatchesOpenSsl) {
  std::mt19937 rng(1);
  for (size_t size = 0; size <= 130; ++size) {
    const TBytes data = RandomBytes(rng, size);
    const TSha256Digest expected = OpenSslSha256(data);
    for (size_t cut = 0; cut <= size; ++cut) {
      TSha256 sha = Make();
      sha.Update(data.data(), cut);
      sha.Update(data.data() + cut, size - cut);
      ASSERT_EQ(sha.Final(), expected) << "size " << size << ", cut at " << cut;
    }
  }
}

TEST_P(Sha256Test, RandomPiecesMatchOpenSsl) {
  std::mt19937 rng(2);
  TSha256 sha = Make();
  for (int round = 0; round < 200; ++round) {
    const TBytes data = RandomBytes(rng, rng() % 5000);
    size_t at = 0;
    while (at < data.size()) {
      // Mostly short pieces, sometimes several blocks at once, sometimes empty ones.
      const size_t piece =
          std::min<size_t>(data.size() - at, rng() % 4 == 0 ? rng() % 700 : rng() % 70);
      sha.Update(piece == 0 ? nullptr : data.data() + at, piece);
      at += piece;
    }
    // The same object hashes the next message from scratch.
    ASSERT_EQ(sha.Final(), OpenSslSha256(data))
        << "round " << round << ", " << data.size() << " bytes";
  }
}

TEST_P(Sha256Test, FinalStartsOver) {
  const TBytes abc = {'a', 'b', 'c'};
  const std::string abcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string emptyDigest =
      "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  TSha256 sha = Make();
  EXPECT_EQ(ToHex(sha.Final()), emptyDigest);
  sha.Update(nullptr, 0);
  EXPECT_EQ(ToHex(sha.Final()), emptyDigest);
  // Leave part of a block buffered, then start over: none of it may leak into the next digest.
  const TBytes junk(100, 0x5a);
  sha.Update(junk.data(), junk.size());
  (void)sha.Final();
  sha.Update(abc.data(), abc.size());
  EXPECT_EQ(ToHex(sha.Final()), abcDigest);
  sha.Update(abc.data(), abc.size());
  EXPECT_EQ(ToHex(sha.Final()), abcDigest);
}

INSTANTIATE_TEST_SUITE_P(Impl, Sha256Test,
                         ::testing::Values(TSha256Impl::Portable, TSha256Impl::ShaNi),
                         [](const auto& Info) {
                           return Info.param == TSha256Impl::Portable ? "Portable" : "ShaNi";
                         });

TEST(Sha256ImplTest, ChoosesShaNiOnlyWhereAvailable) {
  const TSha256Impl best = Sha256NiAvailable() ? TSha256Impl::ShaNi : TSha256Impl::Portable;
  EXPECT_EQ(TSha256(TSha256Impl::Auto).Impl(), best);
  EXPECT_EQ(TSha256(TSha256Impl::ShaNi).Impl(), best);
  EXPECT_EQ(TSha256(TSha256Impl::Portable).Impl(), TSha256Impl::Portable);
}

// Over 2^32 bits, so that the high word of the length field is not zero.
TEST(Sha256ImplTest, LengthAboveFourGigabitsMatchesOpenSsl) {
  const TBytes chunk(1 << 20, 0xa5);
  const size_t total = (size_t{1} << 29) + 77;
  using TCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
  TCtx ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  ASSERT_EQ(EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr), 1);
  TSha256 sha;
  for (size_t done = 0; done < total;) {
    const size_t piece = std::min(chunk.size(), total - done);
    sha.Update(chunk.data(), piece);
    ASSERT_EQ(EVP_DigestUpdate(ctx.get(), chunk.data(), piece), 1);
    done += piece;
  }
  TSha256Digest expected;
  ASSERT_EQ(EVP_DigestFinal_ex(ctx.get(), expected.data(), nullptr), 1);
  EXPECT_EQ(sha.Final(), expected);
}

}  // namespace
}  // namespace vt
