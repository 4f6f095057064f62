#include <gtest/gtest.h>

#include <limits>

#include "format/DownloadSizes.h"
#include "format/Text.h"
#include "update/DiskLimits.h"

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

}  // namespace
}  // namespace vt
