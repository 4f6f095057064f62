// The CNG check against the Wycheproof ECDSA P-256 vectors (r||s form), as the OpenSSL check is
// tested on Linux.

#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <string>

#include "format/Digest.h"
#include "support/TestData.h"
#include "support/TestPlatform.h"

namespace vt {
namespace {

// Wine's CNG (on GnuTLS) refuses one valid signature whose check adds a point to itself;
// Windows accepts it.
bool KnownWineRefusal(int Id) {
  return Id == 204 && test::UnderWine();
}

TEST(CngVerify, WycheproofVectors) {
  VT_REQUIRE_TESTDATA(path, "wycheproof/ecdsa_secp256r1_sha256_p1363_test.json");
  std::ifstream in(path);
  const nlohmann::json doc = nlohmann::json::parse(in);
  int count = 0;
  for (const auto& group : doc.at("testGroups")) {
    const std::string x = test::WycheproofCoordinate(group.at("publicKey").at("wx"));
    const std::string y = test::WycheproofCoordinate(group.at("publicKey").at("wy"));
    for (const auto& test : group.at("tests")) {
      const TBytes message = HexToBytes(test.at("msg").get<std::string>());
      const bool valid = VerifySignatureWithKey(message, test.at("sig").get<std::string>(), x, y);
      ++count;
      if (KnownWineRefusal(test.at("tcId")))
        continue;
      EXPECT_EQ(valid, test.at("result") == "valid")
          << "tcId " << test.at("tcId") << ": " << test.at("comment");
    }
  }
  EXPECT_EQ(count, doc.at("numberOfTests").get<int>());
}

}  // namespace
}  // namespace vt
