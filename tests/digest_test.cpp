#include "format/Digest.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "format/ReleaseKey.h"
#include "publish/Signer.h"
#include "support/TestData.h"

namespace vt {
namespace {

TBytes ToBytes(std::string_view Text) {
  return TBytes(Text.begin(), Text.end());
}

TEST(HexToBytes, DecodesPairsOfEitherCase) {
  EXPECT_EQ(HexToBytes("0a"), TBytes({10}));
  EXPECT_EQ(HexToBytes(""), TBytes());
  EXPECT_EQ(HexToBytes("DEADbeef09"), TBytes({0xde, 0xad, 0xbe, 0xef, 0x09}));
  EXPECT_EQ(HexToBytes("Ff00"), TBytes({0xff, 0x00}));
}

TEST(HexToBytes, OddLengthGivesEmptyWithoutRaising) {
  EXPECT_EQ(HexToBytes("0"), TBytes());
  EXPECT_EQ(HexToBytes("abc"), TBytes());
  // The length decides before the characters are looked at.
  EXPECT_EQ(HexToBytes("zzz"), TBytes());
}

TEST(HexToBytes, NonHexCharacterRaises) {
  for (const char* text : {"zz", "+1", "-1", " 1", "1 ", "0x", "g0", "1\n", "\xc3\xa9"}) {
    EXPECT_THROW(HexToBytes(text), std::invalid_argument) << text;
  }
  try {
    HexToBytes("00zz");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'z' at position 2"), std::string::npos) << e.what();
  }
}

TEST(BytesToHex, LowercaseAndRoundTrips) {
  TBytes all(256);
  for (int i = 0; i < 256; ++i)
    all[i] = static_cast<uint8_t>(i);
  const std::string text = BytesToHex(all);
  ASSERT_EQ(text.size(), 512u);
  EXPECT_EQ(text.substr(0, 8), "00010203");
  EXPECT_EQ(text.substr(504), "fcfdfeff");
  EXPECT_EQ(HexToBytes(text), all);
}

TEST(Sha256Hex, PublishedVectors) {
  EXPECT_EQ(Sha256Hex(ToBytes("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(VerifySignature, WycheproofVectors) {
  VT_REQUIRE_TESTDATA(path, "wycheproof/ecdsa_secp256r1_sha256_p1363_test.json");
  std::ifstream in(path);
  const nlohmann::json doc = nlohmann::json::parse(in);
  int count = 0;
  for (const auto& group : doc.at("testGroups")) {
    const std::string x = test::WycheproofCoordinate(group.at("publicKey").at("wx"));
    const std::string y = test::WycheproofCoordinate(group.at("publicKey").at("wy"));
    ASSERT_EQ(x.size() + y.size(), 128u);
    for (const auto& test : group.at("tests")) {
      const TBytes msg = HexToBytes(test.at("msg").get<std::string>());
      const std::string sig = test.at("sig");
      const std::string result = test.at("result");
      ASSERT_NE(result, "acceptable") << "no policy for acceptable vectors";
      bool valid = false;
      EXPECT_NO_THROW(valid = VerifySignatureWithKey(msg, sig, x, y));
      EXPECT_EQ(valid, result == "valid")
          << "tcId " << test.at("tcId") << ": " << test.at("comment");
      ++count;
    }
  }
  EXPECT_EQ(count, doc.at("numberOfTests").get<int>());
}

// The committed development key and one signature of a short message under it.
class DevKeySignature : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const TSigningKey key = TSigningKey::Load(VT_SOURCE_DIR "/keys/dev-release-key.pem");
    FX = key.PublicX();
    FY = key.PublicY();
    FSig = key.Sign(FData);
  }

  static bool Check(std::string_view Text) { return VerifySignatureWithKey(FData, Text, FX, FY); }

  static inline const TBytes FData = ToBytes("{\"format\": 2, \"build\": 7}\n");
  static inline std::string FX, FY, FSig;
};

TEST_F(DevKeySignature, BlanksAroundAndUpperCaseVerify) {
  ASSERT_EQ(FSig.size(), 128u);
  EXPECT_TRUE(Check(FSig));
  EXPECT_TRUE(Check(FSig + "\n"));
  EXPECT_TRUE(Check(FSig + "\r\n"));
  EXPECT_TRUE(Check("   " + FSig));
  EXPECT_TRUE(Check("\t\x01" + FSig + " \x1f\n"));
  std::string upper = FSig;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_TRUE(Check(upper));
}

// r||s as the DER form that other tools write.
std::string DerHex(const std::string& RawHex) {
  const TBytes raw = HexToBytes(RawHex);
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(raw.data(), 32, nullptr), BN_bin2bn(raw.data() + 32, 32, nullptr));
  unsigned char* der = nullptr;
  const int length = i2d_ECDSA_SIG(sig, &der);
  const std::string hex = BytesToHex(std::span<const uint8_t>(der, static_cast<size_t>(length)));
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return hex;
}

TEST_F(DevKeySignature, MalformedTextIsFalseWithoutRaising) {
  const std::string cases[] = {
      "",
      FSig.substr(0, 127),
      FSig + "0",
      FSig + "00",
      FSig.substr(0, 64) + " " + FSig.substr(64),
      FSig.substr(0, 64) + "\n" + FSig.substr(64),
      "\xef\xbb\xbf" + FSig,
      "\x7f" + FSig,  // DEL is above the trimmed range
      "0x" + FSig.substr(2),
      DerHex(FSig),
      FSig.substr(64) + FSig.substr(0, 64),  // s and r swapped
  };
  for (const std::string& text : cases) {
    bool valid = true;
    EXPECT_NO_THROW(valid = Check(text)) << text;
    EXPECT_FALSE(valid) << text;
  }
}

TEST_F(DevKeySignature, AnyChangedDataByteIsRefused) {
  for (size_t i = 0; i < FData.size(); ++i) {
    for (const uint8_t flip : {0x01, 0x80}) {
      TBytes changed = FData;
      changed[i] ^= flip;
      EXPECT_FALSE(VerifySignatureWithKey(changed, FSig, FX, FY)) << "byte " << i;
    }
  }
  TBytes longer = FData;
  longer.push_back(' ');
  EXPECT_FALSE(VerifySignatureWithKey(longer, FSig, FX, FY));
  EXPECT_FALSE(VerifySignatureWithKey({}, FSig, FX, FY));
}

TEST_F(DevKeySignature, UnusableKeyIsFalseWithoutRaising) {
  std::string offCurveY = FY;
  offCurveY.back() = offCurveY.back() == '0' ? '1' : '0';
  const std::pair<std::string, std::string> keys[] = {
      {FX, offCurveY},
      {FX.substr(2), FY},
      {FX, FY + "00"},
      {"zz" + FX.substr(2), FY},
      {std::string(64, '0'), std::string(64, '0')},
      {"", ""},
  };
  for (const auto& [x, y] : keys) {
    bool valid = true;
    EXPECT_NO_THROW(valid = VerifySignatureWithKey(FData, FSig, x, y)) << x << " " << y;
    EXPECT_FALSE(valid) << x << " " << y;
  }
  // A refused check must not leave OpenSSL errors behind for this thread to pile up.
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(DevKeySignature, BuiltInKeyAcceptsDevKeyWhenBuiltWithDefaults) {
  if (FX != KReleaseKeyX || FY != KReleaseKeyY) {
    GTEST_SKIP() << "this build has its own release key";
  }
  EXPECT_TRUE(VerifySignature(FData, FSig + "\n"));
  EXPECT_FALSE(VerifySignature(ToBytes("other"), FSig));
}

}  // namespace
}  // namespace vt
