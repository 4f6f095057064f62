// Whole update runs against a real server: what lands on disk, what is asked for, what is said.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>

#include "format/Paths.h"
#include "platform/Files.h"
#include "support/FakeHttp.h"
#include "support/TestRelease.h"
#include "update/CallQueue.h"
#include "update/Updater.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

using test::ReadAll;
using test::WriteAll;

class RunTest : public test::TReleaseRunTest {
 protected:
  void ExpectFolderHolds(const test::TGameFiles& Files) {
    for (const auto& [path, content] : Files)
      EXPECT_EQ(ReadAll(Dir / path), content) << path;
  }
};

const test::TGameFiles KBuildA = {
    {"vt.exe", "#!/bin/sh\necho game\n"},
    {"data/levels/one.map", std::string(100000, 'm')},
    {"data/empty.bin", ""},
    {"readme.txt", "Veltrano RPG build A"},
    {"old/only-in-a.txt", "obsolete soon"},
};

TEST_F(RunTest, FreshInstallThenUpToDateShortcut) {
  for (const bool compress : {false, true}) {
    fs::remove_all(Dir);
    const auto entries = test::PublishRelease(Server, KBuildA, 7, compress);
    auto result = Run();
    ASSERT_TRUE(result.Finished);
    EXPECT_EQ(result.Error, "");
    EXPECT_FALSE(result.Restart);
    ExpectFolderHolds(KBuildA);
    ASSERT_FALSE(result.Lines.empty());
    EXPECT_EQ(result.Lines.back().Text, "Up to date (build 7).");
    EXPECT_EQ(result.Lines.back().Done, 1);
    EXPECT_EQ(result.Lines.back().Total, 1);
    EXPECT_TRUE(fs::exists(Dir / "installed.json"));
    EXPECT_EQ(ObjectRequests().size(), KBuildA.size());
    for (const auto& entry : entries)
      EXPECT_FALSE(fs::exists(Dir / (entry.Path + ".part")));

    // The next start asks for the manifest and its signature only.
    Server.ClearRequests();
    result = Run();
    EXPECT_EQ(result.Error, "");
    const auto requests = Server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Path, "/version");
    EXPECT_EQ(requests[1].Path, "/version.sig");
    ASSERT_EQ(result.Lines.size(), 2u);
    EXPECT_EQ(result.Lines[0].Text, "Checking for updates...");
    EXPECT_EQ(result.Lines[1].Text, "Up to date (build 7).");
  }
}

TEST_F(RunTest, TouchedFileIsHashedNotFetchedAndDeletedFileIsTheOnlyDownload) {
  test::PublishRelease(Server, KBuildA, 7, true);
  ASSERT_EQ(Run().Error, "");
  const std::string recordBefore = ReadAll(Dir / "installed.json");

  // Touched: same content, new time. Deleted: gone.
  const fs::path touched = Dir / "readme.txt";
  fs::last_write_time(touched, fs::last_write_time(touched) + std::chrono::hours(1));
  fs::remove(Dir / "data/levels/one.map");
  Server.ClearRequests();
  const auto result = Run();
  EXPECT_EQ(result.Error, "");
  const auto objects = ObjectRequests();
  ASSERT_EQ(objects.size(), 1u);
  ExpectFolderHolds(KBuildA);
  const std::string recordAfter = ReadAll(Dir / "installed.json");
  EXPECT_NE(recordAfter, recordBefore);  // the touched file's new time is recorded
  // And now it is all up to date again.
  Server.ClearRequests();
  EXPECT_EQ(Run().Error, "");
  EXPECT_EQ(Server.Requests().size(), 2u);
}

TEST_F(RunTest, NewBuildReplacesChangedFilesAndRemovesDroppedOnesButSparesTheLauncher) {
  test::TGameFiles a = KBuildA;
  a["vtlaunch.exe"] = "launcher A";
  a["tools/vtlaunch.exe"] = "a copy in a subfolder";
  test::PublishRelease(Server, a, 1, true);
  ASSERT_EQ(Run().Error, "");
  WriteAll(Dir / "saves/slot1.sav", "the player's own file");

  test::TGameFiles b = {{"vt.exe", "#!/bin/sh\necho game B\n"},
                        {"data/levels/one.map", std::string(100000, 'm')},
                        {"README.TXT", "case differs: same file on Windows"},
                        {"data/new/two.map", "new in B"}};
  test::PublishRelease(Server, b, 2, false);
  Server.ClearRequests();
  const auto result = Run();
  EXPECT_EQ(result.Error, "");
  ExpectFolderHolds(b);
  EXPECT_EQ(ObjectRequests().size(), 3u);  // one.map is unchanged
  EXPECT_FALSE(fs::exists(Dir / "old/only-in-a.txt"));
  EXPECT_TRUE(fs::is_directory(Dir / "old"));  // folders stay
  EXPECT_FALSE(fs::exists(Dir / "data/empty.bin"));
  EXPECT_FALSE(fs::exists(Dir / "tools/vtlaunch.exe"));
  EXPECT_EQ(ReadAll(Dir / "vtlaunch.exe"), "launcher A");  // spared at the top
  EXPECT_TRUE(fs::exists(Dir / "readme.txt"));  // named again by the new list, in other case
  EXPECT_EQ(ReadAll(Dir / "saves/slot1.sav"), "the player's own file");
  // Programs keep their executable bits, data does not get them.
  EXPECT_NE(fs::status(Dir / "vt.exe").permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_EQ(fs::status(Dir / "data/new/two.map").permissions() & fs::perms::owner_exec,
            fs::perms::none);
}

TEST_F(RunTest, CheckingLinesEveryHundredEntries) {
  test::TGameFiles many;
  for (int i = 0; i < 250; ++i)
    many["f/" + std::to_string(1000 + i)] = std::to_string(i);
  test::PublishRelease(Server, many, 3, false);
  const auto result = Run();
  EXPECT_EQ(result.Error, "");
  std::vector<std::string> checking;
  std::set<std::string> downloads;
  for (const auto& line : result.Lines) {
    if (line.Text.starts_with("Checking files")) {
      checking.push_back(line.Text);
      EXPECT_EQ(line.Total, 250);
    }
    if (line.Text.starts_with("Downloading the update"))
      downloads.insert(line.Text.substr(0, line.Text.find(" files")));
  }
  EXPECT_EQ(checking,
            (std::vector<std::string>{"Checking files: 0 of 250", "Checking files: 100 of 250",
                                      "Checking files: 200 of 250"}));
  // The queue's opening line, then one after each of the 250 placed files.
  EXPECT_EQ(downloads.size(), 251u);
  EXPECT_EQ(result.Lines.back().Text, "Up to date (build 3).");
}

// Files are hashed ahead on several threads; what the pass finds, says and fails with stays as
// in list order.
TEST_F(RunTest, CheckingPassKeepsListOrderWhileHashingAhead) {
  test::TGameFiles many;
  for (int i = 0; i < 300; ++i)
    many["f/" + std::to_string(1000 + i)] = std::string(2000 + i, 'a');
  const auto entries = test::PublishRelease(Server, many, 3, false);
  ASSERT_EQ(Run().Error, "");
  // Same size, other content: every seventh file differs, the rest hash right.
  std::vector<std::string> changed;
  for (size_t i = 0; i < entries.size(); i += 7) {
    WriteAll(Dir / entries[i].Path, std::string(static_cast<size_t>(entries[i].Size), 'b'));
    changed.push_back(entries[i].Path);
  }
  TUpdaterOptions options;
  options.CheckOnly = true;
  options.Verify = true;
  test::TRecordingView view;
  TCallQueue queue;
  {
    TUpdater updater(view, queue, Dir.string() + KPathSeparator, Server.BaseUrl(), options);
    updater.Start();
    updater.Wait();
    queue.RunPending();
    EXPECT_EQ(updater.CheckResult().Differ, changed);
  }

  // A record value that cannot be read fails the pass at its entry, after the lines before
  // it, though later files may already be hashed.
  std::string record = ReadAll(Dir / "installed.json");
  const size_t entry = record.find("\"f\\/1150\":{");
  ASSERT_NE(entry, std::string::npos);
  const size_t time = record.find(",\"t\":", entry) + 5;
  record.replace(time, record.find(',', time) - time, "\"x\"");
  WriteAll(Dir / "installed.json", record);
  const auto result = Run();
  EXPECT_EQ(result.Error, "Value 't' is not a 64-bit integer: \"x\"");
  std::vector<std::string> checking;
  for (const auto& line : result.Lines) {
    if (line.Text.starts_with("Checking files"))
      checking.push_back(line.Text);
  }
  EXPECT_EQ(checking,
            (std::vector<std::string>{"Checking files: 0 of 300", "Checking files: 100 of 300"}));
}

TEST_F(RunTest, EmptyListWritesARecordAndRemovesEveryPreviousFile) {
  test::PublishRelease(Server, KBuildA, 1, true);
  ASSERT_EQ(Run().Error, "");
  test::PublishRelease(Server, {}, 2, true);
  const auto result = Run();
  EXPECT_EQ(result.Error, "");
  for (const auto& [path, content] : KBuildA)
    EXPECT_FALSE(fs::exists(Dir / path)) << path;
  EXPECT_EQ(result.Lines.back().Text, "Up to date (build 2).");
  for (const auto& line : result.Lines)
    EXPECT_FALSE(line.Text.starts_with("Checking files"));
}

TEST_F(RunTest, FailuresOfOneFileEndTheRunWithTheirMessage) {
  const auto entries =
      test::PublishRelease(Server, {{"data/a.pak", std::string(5000, 'a')}}, 1, true);
  const std::string object = test::ObjectPath(entries[0]);

  Server.ServeStatus(object, 404);
  EXPECT_EQ(Run().Error, "data/a.pak: HTTP 404");

  Server.Serve(object, std::string("not zlib at all"));
  EXPECT_EQ(Run().Error, "data/a.pak arrived damaged - try again");

  test::PublishRelease(Server, {{"data/a.pak", std::string(5000, 'a')}}, 1, false);
  Server.Serve(test::ObjectPath({"", 0, entries[0].Hash, 0, {}}), std::string(5000, 'b'));
  EXPECT_EQ(Run().Error, "data/a.pak arrived damaged - try again");
  EXPECT_FALSE(fs::exists(Dir / "data/a.pak"));
  EXPECT_FALSE(fs::exists(Dir / "installed.json"));
}

// A disk that refuses writes (here: the receiving name made to point at /dev/full, which is
// always full) fails the run with the write error, and takes the files it was writing with it.
TEST_F(RunTest, AWriteThatFailsRemovesWhatItWroteAndSaysWhy) {
  if (KPathSeparator != '/' || !fs::exists("/dev/full"))
    GTEST_SKIP() << "needs /dev/full";
  const test::TGameFiles old = {{"data/a.pak", "old"}};
  test::PublishRelease(Server, old, 1, false);
  ASSERT_EQ(Run().Error, "");
  const std::string record = ReadAll(Dir / "installed.json");
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress);
    test::PublishRelease(Server, {{"data/a.pak", std::string(300000, 'n')}}, 2, compress);
    fs::create_symlink("/dev/full", Dir / "data/a.pak.part");
    const auto result = Run();
    EXPECT_EQ(result.Error, (Dir / "data/a.pak.part").string() + ": No space left on device");
    EXPECT_FALSE(fs::exists(fs::symlink_status(Dir / "data/a.pak.part")));
    EXPECT_FALSE(fs::exists(Dir / "data/a.pak.zpart"));
    EXPECT_EQ(ReadAll(Dir / "data/a.pak"), "old");
    EXPECT_EQ(ReadAll(Dir / "installed.json"), record);
  }
  EXPECT_EQ(Run().Error, "");
  EXPECT_EQ(ReadAll(Dir / "data/a.pak"), std::string(300000, 'n'));
}

// A name at the file system's limit has no room for ".part": it is received under a short name
// that no list path can take, and installed all the same, plain and compressed.
TEST_F(RunTest, ANameAtTheLengthLimitIsInstalled) {
  const std::string longest(255 - 4, 'n');
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress);
    const test::TGameFiles game = {{"data/" + longest + ".pak", std::string(20000, 'p')},
                                   {longest.substr(0, 250) + ".bin", "near the limit"}};
    test::PublishRelease(Server, game, compress ? 2 : 1, compress);
    const auto result = Run();
    EXPECT_EQ(result.Error, "");
    ExpectFolderHolds(game);
    for (const auto& entry : fs::recursive_directory_iterator(Dir))
      EXPECT_FALSE(entry.path().string().ends_with("part")) << entry.path();
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  const std::string target = (Dir / longest).string() + ".pak";
  const TReceivingNames names = ReceivingNames(target);
  EXPECT_EQ(FolderOf(names.Candidate), FolderOf(target));
  EXPECT_TRUE(names.Candidate.ends_with("..part")) << names.Candidate;
  EXPECT_TRUE(names.Compressed.ends_with("..zpart")) << names.Compressed;
  EXPECT_NE(ReceivingNames(target + "x").Candidate, names.Candidate);
  EXPECT_EQ(ReceivingNames(Dir.string() + KPathSeparator + "a.pak").Candidate,
            Dir.string() + KPathSeparator + "a.pak.part");
}

TEST_F(RunTest, TargetThatCannotBeReplacedLeavesThePartFile) {
  test::PublishRelease(Server, {{"data/a.pak", "new content"}}, 1, false);
  // A folder with content under the target's name cannot be renamed over.
  WriteAll(Dir / "data/a.pak/inside", "x");
  const auto result = Run();
  EXPECT_TRUE(result.Error.starts_with("cannot replace data/a.pak (")) << result.Error;
  EXPECT_TRUE(result.Error.ends_with(") - is the game still running?")) << result.Error;
  EXPECT_EQ(ReadAll(Dir / "data/a.pak.part"), "new content");
}

TEST_F(RunTest, FileInTheWayOfAFolder) {
  test::PublishRelease(Server, {{"data/maps/a.map", "map"}}, 1, false);
  WriteAll(Dir / "data/maps", "a file where a folder belongs");
  const auto result = Run();
  EXPECT_TRUE(result.Error.starts_with("cannot create the folder " +
                                       (Dir / "data" / "maps").string() + KPathSeparator + " - "))
      << result.Error;
  EXPECT_TRUE(ObjectRequests().empty());
}

TEST_F(RunTest, InstalledRecordThatIsNotUtf8FailsNotJsonIsIgnoredArrayHasNoPreviousFiles) {
  test::PublishRelease(Server, KBuildA, 1, true);
  WriteAll(Dir / "installed.json", "{\"build\":1,\"list\":\"\xFF\xFE\"}");
  auto result = Run();
  EXPECT_FALSE(result.Error.empty());
  EXPECT_TRUE(ObjectRequests().empty());

  WriteAll(Dir / "installed.json", "this is not JSON");
  result = Run();
  EXPECT_EQ(result.Error, "");
  ExpectFolderHolds(KBuildA);

  // An array root: nothing is taken as previous, so nothing is removed.
  WriteAll(Dir / "installed.json", R"([{"files":{"readme.txt":{}}}])");
  test::PublishRelease(Server, {{"vt.exe", KBuildA.at("vt.exe")}}, 2, true);
  result = Run();
  EXPECT_EQ(result.Error, "");
  EXPECT_TRUE(fs::exists(Dir / "readme.txt"));
}

TEST_F(RunTest, StopDuringTheChecksWritesNoRecordAndRemovesNothing) {
  test::PublishRelease(Server, KBuildA, 1, true);
  ASSERT_EQ(Run().Error, "");
  const std::string record = ReadAll(Dir / "installed.json");
  test::PublishRelease(Server, {{"vt.exe", "B"}}, 2, true);

  test::TRecordingView view;
  TCallQueue queue;
  {
    TUpdater updater(view, queue, Dir.string() + KPathSeparator, Server.BaseUrl());
    updater.RequestStop();  // seen at the first entry of the checking pass
    updater.Start();
    updater.Wait();
    queue.RunPending();
  }
  ASSERT_EQ(view.Outcomes.size(), 1u);
  EXPECT_EQ(view.Outcomes[0].first, "");
  EXPECT_FALSE(view.Outcomes[0].second);
  EXPECT_EQ(ReadAll(Dir / "installed.json"), record);
  ExpectFolderHolds(KBuildA);
}

TEST_F(RunTest, StopDuringDownloadsStartsNoOtherFile) {
  // Against the in-memory fake, whose holds keep the first four transfers in hand until the stop.
  test::TFakeHttp http;
  TUpdaterOptions options;
  options.NewClient = http.Factory();
  test::PublishRelease(http, KBuildA, 1, false);
  ASSERT_EQ(Run(options).Error, "");
  test::TGameFiles files;
  for (int i = 0; i < 20; ++i)
    files["f" + std::to_string(10 + i)] = std::string(1000 + i, 'x');
  test::TDoor door;
  for (const auto& entry : test::PublishRelease(http, files, 2, false))
    http.HoldAt(test::ObjectPath(entry), [&door](const TStopToken&) { door.Pass(); });
  const size_t before = http.Requests().size();
  test::TRecordingView view;
  TCallQueue queue;
  {
    TUpdater updater(view, queue, Dir.string() + KPathSeparator, http.BaseUrl(), options);
    updater.Start();
    EXPECT_TRUE(door.WaitForArrivals(4));
    updater.RequestStop();
    door.Open();
    updater.Wait();
    queue.RunPending();
  }
  EXPECT_EQ(door.Arrivals(), 4u);
  size_t objects = 0;
  for (size_t i = before; i < http.Requests().size(); ++i)
    objects += http.Requests()[i].Path.starts_with("/o/");
  EXPECT_EQ(objects, 4u);
  ASSERT_EQ(view.Outcomes.size(), 1u);
  EXPECT_EQ(view.Outcomes[0].first, "");
  ExpectFolderHolds(KBuildA);  // nothing removed
  const std::string record = ReadAll(Dir / "installed.json");
  EXPECT_NE(record.find("\"build\":1"), std::string::npos);
  for (const auto& [path, content] : files)
    EXPECT_FALSE(fs::exists(Dir / path)) << path;
}

}  // namespace
}  // namespace vt
