#include "format/Paths.h"

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "update/RunContext.h"

namespace vt {
namespace {

TEST(IsSafeRelativePath, AcceptsPathsInsideTheFolder) {
  for (const char* path : {"vt.exe", "data/maps/level1.map", "a/./b", "a//b", "dir/", "x\\y",
                           "name with spaces.txt", ".hidden", "a.b.c", "\xC3\xA9t\xC3\xA9.txt"}) {
    EXPECT_TRUE(IsSafeRelativePath(path)) << path;
  }
}

TEST(IsSafeRelativePath, RefusesEverythingThatCouldLeaveIt) {
  for (const char* path : {"", "/etc/passwd", "\\windows", "C:/x", "c:x", "data/a:b", "../x",
                           "a/../b", "a/..", "..", "name..txt", "a/b...", "x\\..\\y"}) {
    EXPECT_FALSE(IsSafeRelativePath(path)) << path;
  }
}

TEST(LocalPath, JoinsWithTheLocalSeparatorAndChangesNothingElse) {
  const std::string sep(1, KPathSeparator);
  EXPECT_EQ(JoinLocalPath("/g" + sep, "a/b/c.txt"), "/g" + sep + "a" + sep + "b" + sep + "c.txt");
  EXPECT_EQ(JoinLocalPath("/g/", "a//b/./C"), "/g/a" + sep + sep + "b" + sep + "." + sep + "C");
  EXPECT_EQ(JoinLocalPath("/g/", "a\\b"), "/g/a\\b");
  const TRunContext run{"/games/vt/", "http://x/", {}, {}, {}};
  EXPECT_EQ(run.LocalPath("data/x.pak"), "/games/vt/data" + sep + "x.pak");
}

}  // namespace
}  // namespace vt
