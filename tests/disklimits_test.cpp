#include "update/DiskLimits.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "format/DownloadSizes.h"
#include "format/Text.h"
#include "platform/Files.h"
#include "support/FakeHttp.h"
#include "support/TestRelease.h"

namespace vt {
namespace {

TEST(SpaceNeeded, NewBytesLessReplacedOnesPlusTheLargestFourInFlight) {
  struct TCase {
    const char* Name;
    std::vector<TQueuedSpace> Files;
    int64_t Needed;
  };
  const TCase cases[] = {
      {"nothing queued", {}, 0},
      {"new plain file", {{100, 0, 0}}, 100},
      // The old version stays until the new one is renamed over it.
      {"same-size replacement", {{100, 100, 0}}, 100},
      // Old version, arrived object and candidate side by side.
      {"compressed replacement", {{100, 80, 30}}, 100 - 80 + 80 + 30},
      {"shrinking files free room",
       {{10, 500, 0}, {10, 500, 0}, {10, 500, 0}, {10, 500, 0}, {10, 500, 0}},
       5 * (10 - 500) + 4 * 500},
      // Only four files are in flight at once: the fifth largest is not counted.
      {"five in flight",
       {{0, 1, 0}, {0, 5, 0}, {0, 4, 0}, {0, 3, 0}, {0, 2, 0}},
       -15 + 5 + 4 + 3 + 2},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(SpaceNeeded(c.Files), c.Needed) << c.Name;
}

TEST(RequireFreeSpace, RefusesMoreThanAnyDiskHoldsAndSaysHowMuchIsFree) {
  constexpr int64_t KHuge = int64_t{1} << 60;
  TRemoteFile file{"a.bin", KHuge, "", 0, {}};
  TUpdatePlan plan;
  plan.Fetch.push_back({&file, nullptr});
  try {
    RequireFreeSpace(::testing::TempDir(), plan);
    ADD_FAILURE() << "passed";
  } catch (const std::exception& e) {
    const std::string prefix =
        "not enough free space: the update needs " + MegabytesText(KHuge) + " MB more, ";
    EXPECT_TRUE(std::string(e.what()).starts_with(prefix)) << e.what();
    EXPECT_TRUE(std::string(e.what()).ends_with(" MB are free")) << e.what();
  }
  file.Size = 1;
  EXPECT_NO_THROW(RequireFreeSpace(::testing::TempDir(), plan));
}

// Whole runs with names at the edge of what a disk holds, served from memory.
class LongNamesTest : public test::TReleaseRunTest {
 protected:
  test::TRunResult RunFromMemory() {
    TUpdaterOptions options;
    options.NewClient = Http.Factory();
    return test::RunUpdate(Dir.string() + KPathSeparator, Http.BaseUrl(), options);
  }
  // Files below the game folder whose names end like receiving files.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Dir)) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with(".part") || name.ends_with(".zpart"))
        found.push_back(name);
    }
    return found;
  }

  test::TFakeHttp Http;
};

TEST_F(LongNamesTest, ANameTheDiskCannotHoldIsRefusedBeforeAnyObjectTravels) {
  for (const std::string& path : {std::string(256, 'n'), "data/" + std::string(300, 'n') + ".pak",
                                  std::string(260, 'f') + "/file.dat"}) {
    for (const bool compress : {false, true}) {
      test::PublishRelease(Http, {{"vt.exe", "game"}, {path, "content"}}, 1, compress);
      Http.ClearRequests();
      const test::TRunResult run = RunFromMemory();
      EXPECT_EQ(run.Error, "the name of " + path + " is too long for this disk");
      for (const test::TFakeRequest& request : Http.Requests())
        EXPECT_FALSE(request.Path.starts_with("/o/")) << request.Path;
      EXPECT_TRUE(Leftovers().empty());
      EXPECT_FALSE(std::filesystem::exists(Dir / "vt.exe"));
    }
  }
}

TEST_F(LongNamesTest, AReceivingNameThatCannotBeMadeGivesWayToTheShortOne) {
  // 255 bytes of UTF-8 in 85 UTF-16 units: within Windows' limit, at a Linux disk's limit, so
  // that no ".part" fits beside it there (the Wine and Proton case).
  std::string name;
  for (int i = 0; i < 85; ++i)
    name += "\xE2\x82\xAC";
  for (const bool compress : {false, true}) {
    const std::string content = "content " + std::to_string(compress);
    test::PublishRelease(Http, {{"vt.exe", "game"}, {"data/" + name, content}}, compress ? 2 : 1,
                         compress);
    ASSERT_EQ(RunFromMemory().Error, "") << compress;
    EXPECT_EQ(test::ReadAll(Dir / "data" / std::filesystem::u8path(name)), content);
    EXPECT_TRUE(Leftovers().empty());
  }
}

}  // namespace
}  // namespace vt
