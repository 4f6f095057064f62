#include "format/Paths.h"

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "update/Updater.h"

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

  struct TNullView : TUpdateView {
    void ShowProgress(const std::string&, int64_t, int64_t) override {}
    void UpdateDone(const std::string&, bool) override {}
  } view;
  TCallQueue queue;
  TUpdater updater(view, queue, "/games/vt/", "http://x/");
  EXPECT_EQ(updater.LocalPath("data/x.pak"), "/games/vt/data" + sep + "x.pak");
}

}  // namespace
}  // namespace vt
