// Staged rollout across many installs: a tree packed and changed by the publisher's own code,
// served from memory, and 400 game folders that each draw a seeded identifier.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>

#include "format/Digest.h"
#include "format/Paths.h"
#include "platform/Files.h"
#include "publish/Pack.h"
#include "publish/Prune.h"
#include "publish/Signing.h"
#include "support/FakeHttp.h"
#include "support/TestRelease.h"
#include "update/Rollout.h"
#include "update/RunToEnd.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

constexpr int KInstalls = 400;

class RolloutTest : public test::TReleaseRunTest {
 public:
  fs::path Tree() const { return Dir / "tree"; }

  void Pack(int32_t Build, std::optional<int32_t> Percent = {}, bool Critical = false) {
    test::WriteAll(Dir / "game" / "game.txt", "build " + std::to_string(Build));
    TPackOptions options;
    options.Build = Build;
    options.Rollout = Percent;
    options.Critical = Critical;
    vt::Pack((Dir / "game").string(), Tree().string(), test::DevKey(), options);
    ServeTree();
  }
  void Change(std::optional<int32_t> Percent) {
    TPublication publication;
    publication.Keys = {test::DevKey()};
    ChangeRollout(Tree().string(), publication, Percent);
    ServeTree();
  }
  // The tree as it is now: what prune removed is gone from the server too.
  void ServeTree() {
    for (const std::string& path : FServed)
      Http.ServeStatus(path, 404);
    FServed.clear();
    for (const auto& file : fs::recursive_directory_iterator(Tree())) {
      if (!file.is_regular_file())
        continue;
      const std::string path = "/" + fs::relative(file.path(), Tree()).generic_string();
      Http.Serve(path, test::ReadAll(file.path()));
      FServed.insert(path);
    }
  }

  // Install I's run; a redrawn identifier would differ from the first one (Draw counts them).
  TRunEnd RunInstall(int I, bool Check = false, bool SkipRollout = false) {
    TUpdaterOptions options;
    options.NewClient = Http.Factory();
    options.CheckOnly = Check;
    options.SkipRollout = SkipRollout;
    options.NewInstallId = [this, I] {
      return Sha256Hex(TextBytes("install " + std::to_string(I) + " " + std::to_string(Draws++)))
          .substr(0, 32);
    };
    test::TRecordingView view;
    const fs::path folder = Dir / ("install" + std::to_string(I));
    fs::create_directories(folder);  // as vtupdate and the launcher make it
    return RunToEnd(view, folder.string() + KPathSeparator, test::TFakeHttp::BaseUrl(),
                    std::move(options), [] { return false; });
  }
  std::string Installed(int I) const {
    return test::ReadAll(Dir / ("install" + std::to_string(I)) / "game.txt");
  }

  test::TFakeHttp Http;
  int Draws = 0;
  std::set<std::string> FServed;
};

// What the publisher does, and how many of the installs then have the new build.
enum class TKeep { Any, Same, More };  // to those that had it before
struct TStep {
  const char* Name;
  std::function<void(RolloutTest&)> Act;
  int32_t Build, Others;  // the new build, and what the rest has
  int Least, Most;
  TKeep Keep;
};

const TStep KSteps[] = {
    {"build 2 at 25 %", [](RolloutTest& T) { T.Pack(2, 25); }, 2, 1, 80, 120, TKeep::Any},
    {"the same answer on a second run", [](RolloutTest&) {}, 2, 1, 0, KInstalls, TKeep::Same},
    {"widened to 50 %", [](RolloutTest& T) { T.Change(50); }, 2, 1, 180, 220, TKeep::More},
    {"halted, then pruned to one build",
     [](RolloutTest& T) {
       T.Change(std::nullopt);
       Prune(T.Tree().string(), 1, false);  // build 1 stays: the halted rollout keeps it
     },
     2, 1, 0, KInstalls, TKeep::Same},
    {"ended at 100 %", [](RolloutTest& T) { T.Change(100); }, 2, 1, KInstalls, KInstalls,
     TKeep::More},
    {"build 3 at 10 %", [](RolloutTest& T) { T.Pack(3, 10); }, 3, 2, 20, 60, TKeep::Any},
    {"build 4, critical, while 3 rolls out",
     [](RolloutTest& T) {
       EXPECT_NE(test::ErrorOf([&] { T.Pack(4); })
                     .find("build 3 is rolling out to 10 % of "
                           "installs; end it first"),
                 std::string::npos);
       T.Pack(4, std::nullopt, true);
     },
     4, 3, KInstalls, KInstalls, TKeep::More},
};

TEST_F(RolloutTest, EachStepAcrossFourHundredInstalls) {
  Pack(1);
  std::set<int> had;
  for (const TStep& step : KSteps) {
    SCOPED_TRACE(step.Name);
    step.Act(*this);
    std::set<int> have;
    for (int i = 0; i < KInstalls; ++i) {
      ASSERT_EQ(RunInstall(i).Error, "") << i;
      const std::string got = Installed(i);
      if (got == "build " + std::to_string(step.Build))
        have.insert(i);
      else
        EXPECT_EQ(got, "build " + std::to_string(step.Others)) << i;
    }
    EXPECT_GE(static_cast<int>(have.size()), step.Least);
    EXPECT_LE(static_cast<int>(have.size()), step.Most);
    if (step.Keep == TKeep::Same) {
      EXPECT_EQ(have, had);
    } else if (step.Keep == TKeep::More) {
      EXPECT_TRUE(std::includes(have.begin(), have.end(), had.begin(), had.end()));
    }
    had = std::move(have);
  }
  EXPECT_EQ(Draws, KInstalls);  // each install drew once, at its first rollout
}

TEST_F(RolloutTest, TheCheckSaysWhenARolloutHoldsBackAndADedicatedServerSkipsIt) {
  Pack(1);
  Pack(2, 1);
  int held = 0;
  while (RolloutBucket(
             Sha256Hex(TextBytes("install " + std::to_string(held) + " " + std::to_string(held)))
                 .substr(0, 32),
             KStableChannel, 2) < 1)
    ++held;
  Draws = held;  // so that install "held" draws the identifier computed above
  ASSERT_EQ(RunInstall(held).Error, "");
  EXPECT_EQ(Installed(held), "build 1");
  const TRunEnd check = RunInstall(held, true);
  EXPECT_EQ(check.Check.Build, 1);
  EXPECT_EQ(check.Check.HeldBackFrom, 2);
  EXPECT_FALSE(check.Check.Update);
  ASSERT_EQ(RunInstall(held, false, true).Error, "");
  EXPECT_EQ(Installed(held), "build 2");
  // Having it, the install keeps it without the switch.
  ASSERT_EQ(RunInstall(held).Error, "");
  EXPECT_EQ(Installed(held), "build 2");
  EXPECT_EQ(RunInstall(held, true).Check.HeldBackFrom, -1);
}

}  // namespace
}  // namespace vt
