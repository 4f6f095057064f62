// The launcher replacing itself: only when it runs from the game folder, before anything else,
// and never leaving the folder without a launcher it can name.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Files.h"
#include "support/TestRelease.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

using test::ReadAll;
using test::WriteAll;

const test::TGameFiles KLauncherBuildA = {{"vtlaunch.exe", "launcher A"},
                                          {"vt.exe", "game A"},
                                          {"data/a.pak", "data A"},
                                          {"old.txt", "dropped in B"}};
const test::TGameFiles KLauncherBuildB = {
    {"vtlaunch.exe", "launcher B"},
    {"vt.exe", "game B"},
    {"data/a.pak", "data B"},
    {"bin/vtlaunch.exe", "a tool of that name, not the launcher"}};

class SelfUpdateTest : public test::TReleaseRunTest {
 protected:
  // Installs A as a launcher from elsewhere would, then publishes B with Changes applied and
  // its launcher under the name LauncherPath.
  void InstallAThenPublishB(const test::TGameFiles& Changes = {},
                            const std::string& LauncherPath = "vtlaunch.exe") {
    test::PublishRelease(Server, KLauncherBuildA, 1, true);
    ASSERT_EQ(RunAs("").Error, "");
    test::TGameFiles b = KLauncherBuildB;
    for (const auto& [path, content] : Changes)
      b[path] = content;
    b[LauncherPath] = b.extract("vtlaunch.exe").mapped();
    EntriesB = test::PublishRelease(Server, b, 2, true);
    RecordA = ReadAll(Dir / "installed.json");
    Server.ClearRequests();
  }
  // A run of the launcher whose executable is SelfPath ("" for a program that is none).
  test::TRunResult RunAs(const std::string& SelfPath) {
    TUpdaterOptions options;
    options.SelfPath = SelfPath;
    return Run(options);
  }
  // The game folder's launcher, spelled the long way round.
  std::string Self() const { return (Dir / "data" / ".." / "vtlaunch.exe").string(); }
  const TRemoteFile& EntryB(const std::string& Path) const {
    for (const auto& entry : EntriesB)
      if (entry.Path == Path)
        return entry;
    throw std::logic_error("no entry " + Path);
  }
  // A was installed and nothing else was touched.
  void ExpectStillA() {
    EXPECT_EQ(ReadAll(Dir / "vt.exe"), "game A");
    EXPECT_EQ(ReadAll(Dir / "old.txt"), "dropped in B");
    EXPECT_EQ(ReadAll(Dir / "installed.json"), RecordA);
  }

  std::vector<TRemoteFile> EntriesB;
  std::string RecordA;
};

TEST_F(SelfUpdateTest, LauncherInTheGameFolderIsReplacedFirstThenTheRestartedOneDoesTheRest) {
  InstallAThenPublishB();
  auto result = RunAs(Self());
  EXPECT_EQ(result.Error, "");
  EXPECT_TRUE(result.Restart);
  ASSERT_FALSE(result.Lines.empty());
  EXPECT_EQ(result.Lines.back().Text, "Updating the launcher...");
  EXPECT_EQ(result.Lines.back().Done, 0);
  EXPECT_EQ(result.Lines.back().Total, 0);
  EXPECT_EQ(ReadAll(Dir / "vtlaunch.exe"), "launcher B");
  EXPECT_EQ(ReadAll(Dir / "vtlaunch.old"), "launcher A");
  EXPECT_FALSE(fs::exists(Dir / "vtlaunch.new"));
  EXPECT_EQ(ObjectRequests().size(), 1u);  // nothing else fetched, nothing removed, no record
  ExpectStillA();

  // The restarted launcher finds its entry current and brings the rest up to date.
  Server.ClearRequests();
  result = RunAs(Self());
  EXPECT_EQ(result.Error, "");
  EXPECT_FALSE(result.Restart);
  EXPECT_EQ(ObjectRequests().size(), 3u);  // vt.exe, data/a.pak, bin/vtlaunch.exe
  EXPECT_EQ(ReadAll(Dir / "vt.exe"), "game B");
  EXPECT_EQ(ReadAll(Dir / "bin/vtlaunch.exe"), "a tool of that name, not the launcher");
  EXPECT_FALSE(fs::exists(Dir / "old.txt"));
  EXPECT_NE(ReadAll(Dir / "installed.json"), RecordA);
}

TEST_F(SelfUpdateTest, LauncherRunningFromElsewhereUpdatesTheFolderCopyAsAnOrdinaryFile) {
  InstallAThenPublishB();
  WriteAll(Dir / "elsewhere/vtlaunch.exe", "the running one");
  const auto result = RunAs((Dir / "elsewhere/vtlaunch.exe").string());
  EXPECT_EQ(result.Error, "");
  EXPECT_FALSE(result.Restart);
  EXPECT_EQ(ReadAll(Dir / "vtlaunch.exe"), "launcher B");
  EXPECT_EQ(ReadAll(Dir / "elsewhere/vtlaunch.exe"), "the running one");
  EXPECT_FALSE(fs::exists(Dir / "vtlaunch.old"));
  EXPECT_EQ(ReadAll(Dir / "vt.exe"), "game B");
}

TEST_F(SelfUpdateTest, CurrentLauncherEntryGoesStraightOnToTheOtherFiles) {
  InstallAThenPublishB({{"vtlaunch.exe", "launcher A"}});
  const auto result = RunAs(Self());
  EXPECT_EQ(result.Error, "");
  EXPECT_FALSE(result.Restart);
  EXPECT_EQ(ReadAll(Dir / "vt.exe"), "game B");
  EXPECT_FALSE(fs::exists(Dir / "vtlaunch.old"));
}

TEST_F(SelfUpdateTest, EntryInCapitalsIsTheLaunchersAndTakesTheListsSpelling) {
  InstallAThenPublishB({}, "VTLAUNCH.EXE");
  const auto result = RunAs(Self());
  EXPECT_EQ(result.Error, "");
  EXPECT_TRUE(result.Restart);
  EXPECT_EQ(ReadAll(Dir / "VTLAUNCH.EXE"), "launcher B");
  EXPECT_EQ(ReadAll(Dir / "vtlaunch.old"), "launcher A");
}

TEST_F(SelfUpdateTest, DamagedNewLauncherLeavesTheFolderAsItWas) {
  InstallAThenPublishB();
  Server.Serve(test::ObjectPath(EntryB("vtlaunch.exe")), std::string("not zlib"));
  const auto result = RunAs(Self());
  EXPECT_EQ(result.Error, "vtlaunch.exe arrived damaged - try again");
  EXPECT_FALSE(result.Restart);
  EXPECT_EQ(ReadAll(Dir / "vtlaunch.exe"), "launcher A");
  EXPECT_FALSE(fs::exists(Dir / "vtlaunch.new"));
  EXPECT_FALSE(fs::exists(Dir / "vtlaunch.old"));
  ExpectStillA();
}

TEST_F(SelfUpdateTest, OldLauncherThatCannotBeRemovedStopsTheMoveAside) {
  InstallAThenPublishB();
  WriteAll(Dir / "vtlaunch.old/held", "a folder with content cannot be deleted as a file");
  const auto result = RunAs(Self());
  EXPECT_TRUE(result.Error.starts_with("cannot update the launcher: ")) << result.Error;
  EXPECT_GT(result.Error.size(), std::string("cannot update the launcher: ").size());
  EXPECT_FALSE(result.Restart);
  EXPECT_EQ(ReadAll(Dir / "vtlaunch.exe"), "launcher A");
  EXPECT_EQ(ReadAll(Dir / "vtlaunch.new"), "launcher B");
  ExpectStillA();
}

TEST_F(SelfUpdateTest, FailedMoveInPutsTheRunningLauncherBack) {
  if (KPathSeparator != '/')
    GTEST_SKIP() << "needs a case-sensitive file system to make the move in fail";
  // The list spells the launcher in capitals and a folder of that name is in the way (a
  // case-sensitive file system tells the two names apart): the move in fails.
  InstallAThenPublishB({}, "VTLAUNCH.EXE");
  WriteAll(Dir / "VTLAUNCH.EXE/held", "x");
  const auto result = RunAs(Self());
  EXPECT_TRUE(result.Error.starts_with("cannot update the launcher: ")) << result.Error;
  EXPECT_FALSE(result.Restart);
  EXPECT_EQ(ReadAll(Dir / "vtlaunch.exe"), "launcher A");
  EXPECT_FALSE(fs::exists(Dir / "vtlaunch.old"));
  EXPECT_EQ(ReadAll(Dir / "vtlaunch.new"), "launcher B");
}

}  // namespace
}  // namespace vt
