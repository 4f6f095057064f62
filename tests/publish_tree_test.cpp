// The publisher's work over time: parallel and incremental packs, the order that keeps a
// served tree whole, what a pack leaves out or refuses, and prune and diff over the history.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "format/Digest.h"
#include "publish/Diff.h"
#include "publish/Exclude.h"
#include "publish/ObjectFiles.h"
#include "publish/Pack.h"
#include "publish/PackCache.h"
#include "publish/Prune.h"
#include "publish/ReleaseTree.h"
#include "publish/TreeLock.h"
#include "publish/VerifyTree.h"
#include "support/TestRelease.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::WriteAll;

using test::Key;

std::string Lines(size_t Size, int Seed) {
  std::string text;
  for (int i = 0; text.size() < Size; ++i)
    text += "line " + std::to_string((i * Seed) % 1013) + " of the road to Veltrano\n";
  text.resize(Size);
  return text;
}

// Every regular file below Root by its "/" path, with its content.
std::map<std::string, std::string> TreeFiles(const fs::path& Root) {
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(Root)) {
    if (entry.is_regular_file())
      files[entry.path().lexically_relative(Root).generic_string()] = ReadAll(entry.path());
  }
  return files;
}

std::vector<std::string> ListedPaths(const fs::path& Out) {
  const std::string version = ReadAll(Out / "version");
  std::vector<std::string> paths;
  for (const TRemoteFile& file :
       ReadTreeRelease(Out.string(), TBytes(version.begin(), version.end())).Files) {
    paths.push_back(file.Path);
  }
  return paths;
}

class PublishTree : public testing::Test {
 protected:
  void SetUp() override {
    FRoot =
        fs::temp_directory_path() / ("vt_publish_tree_" + std::to_string(::getpid()) + "_" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FRoot);
    FGame = FRoot / "game";
    FOut = FRoot / "out";
    Add("vt.exe", "MZ not really a program");
    Add("data/text.txt", Lines(200000, 1));
    Add("data/random.bin", test::RandomBytes(50000, 1));
  }
  void TearDown() override { fs::remove_all(FRoot); }

  void Add(const std::string& Path, const std::string& Content) {
    WriteAll(FGame / Path, Content);
    // Older than the cache's guard against changes within the clock's resolution.
    fs::last_write_time(FGame / Path, fs::file_time_type::clock::now() - std::chrono::hours(1));
  }

  TPackResult PackBuild(int32_t Build, TPackOptions Options = {}, fs::path Out = {}) {
    Options.Build = Build;
    return Pack(FGame.string(), (Out.empty() ? FOut : Out).string(), Key(), Options);
  }

  std::vector<std::string> Problems(const fs::path& Out) {
    return VerifyTree(Out.string(), {1, {{Key().PublicX(), Key().PublicY()}}}).Problems;
  }

  fs::path FRoot, FGame, FOut;
};

TEST_F(PublishTree, AParallelPackWritesTheSameTreeAsAOneThreadPack) {
  for (int i = 0; i < 24; ++i) {
    const std::string name = "data/f" + std::to_string(i);
    Add(name + ".txt", Lines(static_cast<size_t>(1000 + i * 7919), i + 2));
    Add(name + ".bin",
        test::RandomBytes(static_cast<size_t>(500 + i * 3001), static_cast<uint32_t>(i)));
  }
  // The same bytes under several names: threads must not write one object twice at once.
  for (int i = 0; i < 6; ++i)
    Add("copies/c" + std::to_string(i) + ".txt", Lines(300000, 99));
  Add("big/text.pak", Lines(3 * 1048576 + 5, 7));                 // past the trial: compressed
  Add("big/random.pak", test::RandomBytes(2 * 1048576 + 9, 77));  // past the trial: stored plain
  Add("empty", "");

  std::map<std::string, std::string> trees[2];
  for (const int threads : {1, 4}) {
    TPackOptions options;
    options.Threads = threads;
    options.ChunkFrom = 1048576;  // the big files get chunk data
    const fs::path out = FRoot / ("out" + std::to_string(threads));
    const TPackResult result = PackBuild(5, options, out);
    EXPECT_EQ(result.ObjectsWritten + result.ObjectsReused, result.Files);
    EXPECT_EQ(result.Chunked, 2);
    EXPECT_TRUE(Problems(out).empty()) << testing::PrintToString(Problems(out));
    std::map<std::string, std::string>& tree = trees[threads == 1 ? 0 : 1];
    tree = TreeFiles(out);
    // ECDSA signatures are randomised; each was checked above.
    tree.erase("version.sig");
    tree.erase("version.sigs");
    for (auto file = tree.begin(); file != tree.end();)
      file = file->first.ends_with(".version.sig") || file->first.ends_with(".version.sigs")
                 ? tree.erase(file)
                 : std::next(file);
  }
  ASSERT_EQ(trees[0].size(), trees[1].size());
  for (const auto& [path, content] : trees[0]) {
    ASSERT_TRUE(trees[1].count(path)) << path;
    EXPECT_TRUE(trees[1][path] == content) << path << " differs";
  }
  EXPECT_EQ(trees[0].count("o/" + ObjectName(Sha256Hex(TBytes(0)), false)), 1u);
}

TEST_F(PublishTree, ARepackReadsOnlyChangedFilesAndTrustsTheCacheOnlyWithItsObject) {
  PackBuild(1);
  Add("data/text.txt", Lines(200000, 3));  // same size, new content and time
  TPackResult result = PackBuild(2);
  EXPECT_EQ(result.FromCache, 2);  // vt.exe and random.bin were not read
  EXPECT_EQ(result.UnreadBytes, 23 + 50000);
  EXPECT_EQ(result.ObjectsWritten, 1);

  // An object removed behind the cache's back is written again from the file.
  const std::string random = test::RandomBytes(50000, 1);
  fs::remove(FOut / "o" / ObjectName(Sha256Hex(TBytes(random.begin(), random.end())), false));
  result = PackBuild(3);
  EXPECT_EQ(result.FromCache, 2);
  EXPECT_EQ(result.ObjectsWritten, 1);
  EXPECT_TRUE(Problems(FOut).empty()) << testing::PrintToString(Problems(FOut));

  // A cache made for another game folder is not used.
  fs::copy(FGame, FRoot / "other", fs::copy_options::recursive);
  TPackOptions other;
  other.Build = 4;
  EXPECT_EQ(Pack((FRoot / "other").string(), FOut.string(), Key(), other).FromCache, 0);
  // A file just written is read again next time: its time may not show a change yet.
  WriteAll(FGame / "vt.exe", "MZ changed within the same tick");
  PackBuild(5);
  EXPECT_EQ(PackBuild(6).FromCache, 2);
}

TEST_F(PublishTree, PackRefusesBuildsThatDoNotMoveForwardAndReservedBases) {
  PackBuild(10);
  const std::string version = ReadAll(FOut / "version");
  struct TCase {
    const char* Name;
    int32_t Build;
    std::string Objects;
    const char* Says;
  };
  const TCase cases[] = {
      {"same build", 10, "", "build 10 is not greater than the live build 10"},
      {"lower build", 9, "", "--allow-same-or-lower"},
      {"private base", 11, ".vtpublish/o/", "vtpublish's own folder"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TPackOptions options;
    options.Objects = c.Objects;
    try {
      PackBuild(c.Build, options);
      ADD_FAILURE() << "packed";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.Says), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadAll(FOut / "version"), version);
  }
  // One writer at a time: a prune beside a pack could take an object the pack reuses. The lock
  // is held on a handle, so it goes with its holder.
  auto held = std::make_optional<TTreeLock>(FOut.string());
  for (const auto& write : {std::function<void()>([&] { PackBuild(11); }),
                            std::function<void()>([&] { Prune(FOut.string(), 1, false); })}) {
    try {
      write();
      ADD_FAILURE() << "ran beside another";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("another vtpublish is packing or pruning it"),
                std::string::npos)
          << e.what();
    }
  }
  EXPECT_EQ(ReadAll(FOut / "version"), version);
  held.reset();

  WriteAll(FOut / "version", "{not a manifest");
  EXPECT_THROW(PackBuild(11), std::runtime_error);
  WriteAll(FOut / "version", version);

  // A rollback on purpose.
  TPackOptions allow;
  allow.AllowSameOrLower = true;
  EXPECT_EQ(PackBuild(9, allow).PreviousBuild, 10);
  const std::string rolledBack = ReadAll(FOut / "version");
  EXPECT_EQ(BuildOf(TBytes(rolledBack.begin(), rolledBack.end())), 9);
}

TEST_F(PublishTree, PatternsAndVersionControlFoldersAreLeftOut) {
  struct TCase {
    const char* Pattern;
    const char* Path;
    bool Matches;
  };
  const TCase globs[] = {
      {"*.pdb", "game.pdb", true},
      {"*.pdb", "bin/game.pdb", false},
      {"bin/*.pdb", "bin/game.pdb", true},
      {"bin/*.pdb", "bin/sub/game.pdb", false},
      {"bin/**", "bin/sub/game.pdb", true},
      {"**/*.pdb", "game.pdb", true},
      {"a/**/b", "a/b", true},
      {"a/**/b", "a/x/y/b", true},
      {"a/**/b", "a/xb", false},
      {"save?.dat", "save1.dat", true},
      {"save?.dat", "save/.dat", false},
      {"*", "", true},
  };
  for (const TCase& c : globs)
    EXPECT_EQ(MatchesGlob(c.Pattern, c.Path), c.Matches) << c.Pattern << " " << c.Path;

  Add(".git/HEAD", "ref: refs/heads/main");
  Add("mods/.svn/entries", "12");
  Add("bin/game.pdb", "symbols");
  Add("bin/tools/notes.txt", "for us");
  Add("saves/slot1.dat", "a player's save");
  Add("logs/today.log", "x");
  Add("keep.log.txt", "kept");
  // Inside a folder left out, nothing is looked at: this link would be refused.
  fs::create_symlink("../vt.exe", FGame / "saves/link");
  Add(KIgnoreFileName, "# the publisher's\n  saves/  \n*.log\n\n");
  TPackOptions options;
  options.Exclude = {"*.pdb", "/bin/tools/**"};
  const TPackResult result = PackBuild(1, options);
  EXPECT_EQ(result.LeftOutVcs, (std::vector<std::string>{".git", "mods/.svn"}));
  EXPECT_EQ(ListedPaths(FOut), (std::vector<std::string>{"data/random.bin", "data/text.txt",
                                                         "keep.log.txt", "vt.exe"}));
}

TEST_F(PublishTree, PruneKeepsWhatTheKeptAndLiveBuildsNeedAndDryRunRemovesNothing) {
  // Four builds, each changing one file; build 4 brings back build 1's text.
  const std::string text1 = Lines(200000, 1);
  for (int build = 1; build <= 4; ++build) {
    Add("data/text.txt", build == 4 ? text1 : Lines(200000, build));
    Add("data/b" + std::to_string(build) + ".txt", "only from build " + std::to_string(build));
    PackBuild(build);
  }
  const std::map<std::string, std::string> before = TreeFiles(FOut);
  const TPruneReport dry = Prune(FOut.string(), 2, true);
  EXPECT_EQ(TreeFiles(FOut), before);
  const TPruneReport report = Prune(FOut.string(), 2, false);
  EXPECT_EQ(report.Removed, dry.Removed);
  EXPECT_EQ(report.KeptBuilds, (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(report.HistoryEntries, 2);
  EXPECT_EQ(report.Lists, 2);
  EXPECT_EQ(report.Objects, 1);  // build 2's text; build 1's is back in build 4
  int64_t freed = 0;
  for (const std::string& path : report.Removed) {
    EXPECT_FALSE(fs::exists(FOut / path)) << path;
    freed += static_cast<int64_t>(before.at(path).size());
  }
  EXPECT_EQ(report.FreedBytes, freed);
  for (const THistoryEntry& entry : ReadHistory(FOut.string())) {
    const std::string manifest = ReadAll(entry.Path);
    for (const std::string& need :
         ReleaseNeeds(ReadTreeRelease(FOut.string(), TBytes(manifest.begin(), manifest.end()))))
      EXPECT_TRUE(fs::exists(FOut / need)) << need;
  }
  EXPECT_TRUE(Problems(FOut).empty());

  // Without a history the live build alone is kept, whatever the count.
  fs::remove_all(FOut / KPrivateFolder);
  Prune(FOut.string(), 5, false);
  EXPECT_TRUE(Problems(FOut).empty());
  const std::string version = ReadAll(FOut / "version");
  const size_t needs =
      ReleaseNeeds(ReadTreeRelease(FOut.string(), TBytes(version.begin(), version.end()))).size();
  EXPECT_EQ(TreeFiles(FOut).size(), 3 + needs);  // and "version", "version.sig", "version.sigs"
}

TEST_F(PublishTree, PruneRemovesNothingWhenItCannotTellWhatABuildNeeds) {
  PackBuild(1);
  Add("vt.exe", "MZ build 2");
  PackBuild(2);
  Add("vt.exe", "MZ build 3");
  PackBuild(3);
  const std::string version = ReadAll(FOut / "version");
  const TTreeRelease live = ReadTreeRelease(FOut.string(), TBytes(version.begin(), version.end()));
  const std::vector<THistoryEntry> history = ReadHistory(FOut.string());
  const std::string second = ReadAll(history[1].Path);
  const TTreeRelease kept = ReadTreeRelease(FOut.string(), TBytes(second.begin(), second.end()));
  fs::remove(FOut / kept.Manifest.List.Path);
  const std::map<std::string, std::string> before = TreeFiles(FOut);
  try {
    Prune(FOut.string(), 2, false);
    ADD_FAILURE() << "pruned";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("build 2: cannot tell what it needs", 0), 0u) << e.what();
  }
  EXPECT_EQ(TreeFiles(FOut), before);
  EXPECT_THROW(Prune(FOut.string(), 0, false), std::runtime_error);
  EXPECT_THROW(Prune((FRoot / "nothing").string(), 1, false), std::runtime_error);
  (void)live;
}

TEST_F(PublishTree, DiffCountsWhatAPlayerDownloads) {
  Add("gone.txt", "removed in build 2");
  PackBuild(1);
  fs::remove(FGame / "gone.txt");
  Add("data/text.txt", Lines(200000, 5));
  Add("new/a.txt", "new");
  Add("new/copy.bin", test::RandomBytes(50000, 1));  // bytes that build 1 had under another name
  PackBuild(2);
  const TBuildDiff diff = DiffBuilds(FOut.string(), 1, 2);
  EXPECT_EQ(diff.Added, (std::vector<std::string>{"new/a.txt", "new/copy.bin"}));
  EXPECT_EQ(diff.Removed, std::vector<std::string>{"gone.txt"});
  EXPECT_EQ(diff.Changed, std::vector<std::string>{"data/text.txt"});
  EXPECT_EQ(diff.DownloadFiles, 3);
  const std::string version = ReadAll(FOut / "version");
  int64_t expected = 0;
  for (const TRemoteFile& file :
       ReadTreeRelease(FOut.string(), TBytes(version.begin(), version.end())).Files) {
    if (file.Path != "vt.exe" && file.Path != "data/random.bin")
      expected += ObjectBytes(file);
  }
  EXPECT_EQ(diff.DownloadBytes, expected);
  EXPECT_EQ(DiffBuilds(FOut.string(), 2, 2).DownloadFiles, 0);
  try {
    DiffBuilds(FOut.string(), 1, 7);
    ADD_FAILURE() << "compared";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("build 7 is not in the history"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("(it has 1, 2)"), std::string::npos) << e.what();
  }
}

// A reader that follows the tree the way a client does, while packs replace the release over
// and over, must always find the list and objects of the manifest it read.
TEST_F(PublishTree, AReaderNeverSeesAManifestWhoseListOrObjectsAreMissing) {
  constexpr int KBuilds = 25;
  std::atomic<bool> done{false}, failed{false};
  std::atomic<int> reads{0};
  std::vector<std::string> faults;  // the reader's until it has ended
  std::thread reader([&] {
    while (!done.load() && faults.empty()) {
      const std::string version = ReadAll(FOut / "version");
      if (version.empty())
        continue;
      try {
        const TTreeRelease release =
            ReadTreeRelease(FOut.string(), TBytes(version.begin(), version.end()));
        for (const std::string& need : ReleaseNeeds(release)) {
          if (!fs::exists(FOut / need))
            faults.push_back("build " + std::to_string(release.Manifest.Build) + ": " + need);
        }
      } catch (const std::exception& e) {
        faults.push_back(e.what());
      }
      ++reads;
    }
    failed = !faults.empty();
  });
  for (int build = 1; build <= KBuilds && !failed.load(); ++build) {
    Add("data/b" + std::to_string(build % 4) + ".txt", Lines(40000 + build * 101, build));
    Add("data/r.bin", test::RandomBytes(30000, static_cast<uint32_t>(build)));
    PackBuild(build);
  }
  done = true;
  reader.join();
  EXPECT_TRUE(faults.empty()) << testing::PrintToString(faults);
  EXPECT_GT(reads.load(), KBuilds);
}

TEST_F(PublishTree, AChannelHasItsOwnLiveReleaseAndPruneKeepsIt) {
  PackBuild(1);
  Add("data/beta-only.txt", "on beta alone");
  TPackOptions beta;
  beta.Channel = "beta";
  PackBuild(2, beta);
  EXPECT_THROW(PackBuild(2, beta), std::runtime_error);  // not greater than beta's live build
  fs::remove(FGame / "data/beta-only.txt");
  PackBuild(3);
  PackBuild(4);
  Prune(FOut.string(), 1, false);
  const std::optional<TBytes> live = LiveManifest(FOut.string(), "beta");
  ASSERT_TRUE(live);
  EXPECT_EQ(ReadManifest(*live, KTreeUrl).Channel, "beta");
  for (const std::string& need : ReleaseNeeds(ReadTreeRelease(FOut.string(), *live)))
    EXPECT_TRUE(fs::exists(FOut / need)) << need;
  EXPECT_EQ(TreeChannels(FOut.string()), std::vector<std::string>{"beta"});
}

}  // namespace
}  // namespace vt
