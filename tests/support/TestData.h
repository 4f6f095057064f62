#pragma once
// Where the public test vectors are: ../shared/testdata beside the checkout. Tests that need
// them skip with a clear message when the folder is absent (a fresh clone).

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace vt::test {

inline std::filesystem::path TestDataDir() {
  if (const char* dir = std::getenv("VT_TESTDATA_DIR"))
    return dir;
  return VT_TESTDATA_DIR;
}

// The file or folder under the test data, or an empty path when it is missing.
inline std::filesystem::path TestDataPath(const std::string& Relative) {
  std::filesystem::path path = TestDataDir() / Relative;
  return std::filesystem::exists(path) ? path : std::filesystem::path();
}

// A Wycheproof key coordinate as 64 hex digits: the vectors give big-endian integers, with a
// sign byte 00 or without leading zeros.
inline std::string WycheproofCoordinate(std::string Hex) {
  if (Hex.size() == 66 && Hex.starts_with("00"))
    Hex.erase(0, 2);
  if (Hex.size() < 64)
    Hex.insert(0, 64 - Hex.size(), '0');
  return Hex;
}

}  // namespace vt::test

// Skips the current test when Relative is not under the test data folder.
#define VT_REQUIRE_TESTDATA(var, Relative)                                                         \
  const std::filesystem::path var = ::vt::test::TestDataPath(Relative);                            \
  if (var.empty()) {                                                                               \
    GTEST_SKIP() << "test data " << (Relative) << " not found under " << ::vt::test::TestDataDir() \
                 << " (set VT_TESTDATA_DIR to point at it)";                                       \
  }
