// Big files: progress while their bytes arrive, and a stop that cuts their transfer short.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/Files.h"
#include "platform/Locale.h"
#include "publish/Release.h"
#include "support/TestPlatform.h"
#include "support/TestRelease.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;
using TLine = test::TRecordingView::TLine;

constexpr int64_t KMiB = 1024 * 1024;

// A run on its own thread whose posted calls the test pumps as the window would, noting the
// moment each call was posted.
class TPumpedRun {
 public:
  TPumpedRun(const fs::path& Dir, const std::string& Url, TUpdaterOptions Options)
      : FUpdater(FView, FQueue, Dir.string() + KPathSeparator, Url, std::move(Options)) {
    FUpdater.Start();
  }

  // Pumps until Holds is true of the lines so far, for at most Limit; false when it never was.
  bool PumpUntil(const std::function<bool(const std::vector<TLine>&)>& Holds,
                 TClock::duration Limit = std::chrono::seconds(20)) {
    const auto deadline = TClock::now() + Limit;
    while (TClock::now() < deadline) {
      FQueue.RunPending();
      if (Holds(FView.Lines))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  // Pumps until the bytes of a transfer are on their way.
  bool PumpUntilBytesArrive() {
    return PumpUntil([](const auto& Lines) { return !Lines.empty() && Lines.back().Done > 0; });
  }
  // Asks for the stop as the window's Quit does and returns how long the run took to end.
  TClock::duration Stop() {
    const auto asked = TClock::now();
    FUpdater.RequestStop();
    FUpdater.Wait();
    const auto took = TClock::now() - asked;
    FQueue.RunPending();
    return took;
  }
  void Finish() {
    FUpdater.Wait();
    FQueue.RunPending();
  }

  const std::vector<TLine>& Lines() const { return FView.Lines; }
  const std::vector<std::pair<std::string, bool>>& Outcomes() const { return FView.Outcomes; }
  // When the call that brought line I was posted.
  TClock::time_point PostedAt(size_t I) {
    std::lock_guard<std::mutex> lock(FLock);
    return FPosted.at(I);
  }

 private:
  std::mutex FLock;
  std::vector<TClock::time_point> FPosted;
  test::TRecordingView FView;
  TCallQueue FQueue{[this] {
    std::lock_guard<std::mutex> lock(FLock);
    FPosted.push_back(TClock::now());
  }};
  TUpdater FUpdater;  // last: its thread ends before what it posts to goes away
};

class TransferTest : public test::TReleaseRunTest {
 protected:
  // Installs a small first build, then publishes a second whose Path is Size bytes served at
  // Rate bytes a second.
  void PublishBigUpdate(const std::string& Path, int64_t Size, size_t Rate) {
    test::PublishRelease(Server, {{Path, "old " + Path}, {"vt.exe", "game"}}, 1, false);
    ASSERT_EQ(Run().Error, "");
    Record = test::ReadAll(Dir / "installed.json");
    std::string content(static_cast<size_t>(Size), '\0');
    for (size_t i = 0; i < content.size(); ++i)
      content[i] = static_cast<char>((i * 2654435761u) >> 13);
    const auto entries =
        test::PublishRelease(Server, {{Path, content}, {"vt.exe", "game"}}, 2, false);
    for (const TRemoteFile& entry : entries) {
      if (entry.Path == Path)
        Server.SetHandler(test::ObjectPath(entry), Server.Throttled(content, Rate));
    }
  }
  // Nothing of the second build was placed and the record still vouches for the first.
  void ExpectFirstBuildKept(const std::string& Path) {
    EXPECT_EQ(test::ReadAll(Dir / Path), "old " + Path);
    EXPECT_EQ(test::ReadAll(Dir / "installed.json"), Record);
  }

  std::string Record;
};

TEST_F(TransferTest, LinesFollowTheBytesOfABigFileAtAPaceTheWindowCanShow) {
  PublishBigUpdate("data/big.pak", 8 * KMiB, 4 * KMiB);
  TPumpedRun run(Dir, Server.BaseUrl(), {});
  run.Finish();
  ASSERT_EQ(run.Outcomes().size(), 1u);
  EXPECT_EQ(run.Outcomes()[0].first, "");
  EXPECT_EQ(test::ReadAll(Dir / "data/big.pak").size(), static_cast<size_t>(8 * KMiB));

  const std::string point = UserDecimalSeparator();
  std::vector<size_t> downloads;
  for (size_t i = 0; i < run.Lines().size(); ++i) {
    if (run.Lines()[i].Text.starts_with("Downloading the update"))
      downloads.push_back(i);
  }
  ASSERT_GE(downloads.size(), 2u);
  const TLine& first = run.Lines()[downloads.front()];
  EXPECT_EQ(first.Text,
            "Downloading the update: 0 of 1 files (0" + point + "0 of 8" + point + "0 MB)");
  EXPECT_EQ(first.Done, 0);
  EXPECT_EQ(first.Total, 8 * KMiB);
  EXPECT_EQ(run.Lines()[downloads.back()].Text,
            "Downloading the update: 1 of 1 files (8" + point + "0 of 8" + point + "0 MB)");

  int during = 0;
  int64_t last = 0;
  for (const size_t i : downloads) {
    const TLine& line = run.Lines()[i];
    EXPECT_GE(line.Done, last) << line.Text;
    EXPECT_LE(line.Done, line.Total) << line.Text;
    EXPECT_EQ(line.Total, 8 * KMiB);
    last = line.Done;
    during += line.Done > 0 && line.Done < line.Total;
    if (i != downloads.back()) {
      EXPECT_TRUE(line.Text.starts_with("Downloading the update: 0 of 1")) << "not placed yet";
    }
  }
  // Two seconds of transfer: lines arrive while it lasts, not only at its end.
  EXPECT_GE(during, 3);
  // After the queue's opening line, never more than five lines in any one second, by the
  // moment each was posted.
  for (size_t i = downloads.front() + 1; i < run.Lines().size(); ++i) {
    size_t inSecond = 0;
    for (size_t j = i; j < run.Lines().size(); ++j)
      inSecond += run.PostedAt(j) - run.PostedAt(i) < std::chrono::seconds(1);
    EXPECT_LE(inSecond, 5u) << "from line " << i << ": " << run.Lines()[i].Text;
  }
}

struct TStopCase {
  const char* Name;
  int64_t Size;
  size_t Rate;
  bool Launcher;  // the launcher's own download rather than the queue
};

class StopTest : public TransferTest, public ::testing::WithParamInterface<TStopCase> {};

TEST_P(StopTest, EndsTheTransferInHandAtOnceAndKeepsTheFolder) {
  const TStopCase& c = GetParam();
  const std::string path = c.Launcher ? "vtlaunch.exe" : "data/big.pak";
  PublishBigUpdate(path, c.Size, c.Rate);
  TUpdaterOptions options;
  if (c.Launcher)
    options.SelfPath = (Dir / "vtlaunch.exe").string();
  TPumpedRun run(Dir, Server.BaseUrl(), options);
  ASSERT_TRUE(run.PumpUntilBytesArrive()) << "no progress while the bytes arrive";
  const TLine& moving = run.Lines().back();
  // Honest: never more than what the server has sent by now.
  EXPECT_LT(moving.Done, c.Size);
  EXPECT_EQ(moving.Total, c.Size);
  if (c.Launcher) {
    EXPECT_EQ(moving.Text, "Updating the launcher...");
  }

  const auto took = run.Stop();
  // Wine's WinHTTP does not wake a read blocked on a silent server when another thread closes
  // its request (Windows does), so there the stop lands with the next byte.
  const bool wineTrickle = c.Rate < 10 && test::UnderWine();
  EXPECT_LT(took, std::chrono::milliseconds(wineTrickle ? 1500 : 500))
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  ASSERT_EQ(run.Outcomes().size(), 1u);
  EXPECT_EQ(run.Outcomes()[0].first, "");
  EXPECT_FALSE(run.Outcomes()[0].second) << "a stopped self-update restarts nothing";
  ExpectFirstBuildKept(path);
  EXPECT_FALSE(fs::exists(Dir / "vtlaunch.new"));
  EXPECT_FALSE(fs::exists(Dir / "vtlaunch.old"));
}

TEST_F(TransferTest, StopWhileABigLocalFileIsHashedEndsAtOnce) {
  // 2 GiB that the checking pass must hash (no record vouches for it), held sparsely on disk.
  const int64_t size = 2048 * KMiB;
  test::WriteAll(Dir / "data/big.pak", "");
  fs::resize_file(Dir / "data/big.pak", static_cast<uintmax_t>(size));
  const TRemoteFile entry{"data/big.pak", size, std::string(64, 'a'), 0, {}};
  test::PublishList(Server, FileListJson({entry}), true);
  TPumpedRun run(Dir, Server.BaseUrl(), {});
  ASSERT_TRUE(run.PumpUntil([](const auto& Lines) {
    return !Lines.empty() && Lines.back().Text.starts_with("Checking");
  }));
  const auto took = run.Stop();
  EXPECT_LT(took, std::chrono::milliseconds(500))
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  ASSERT_EQ(run.Outcomes().size(), 1u);
  EXPECT_EQ(run.Outcomes()[0].first, "");
  EXPECT_TRUE(Server.RequestsFor(test::ObjectPath(entry)).empty());
}

INSTANTIATE_TEST_SUITE_P(BigAndTrickling, StopTest,
                         ::testing::Values(TStopCase{"QueueAt4MiBps", 64 * KMiB, 4 * KMiB, false},
                                           TStopCase{"LauncherAt4MiBps", 64 * KMiB, 4 * KMiB, true},
                                           TStopCase{"QueueAtOneBytePerSecond", 1 * KMiB, 1, false},
                                           TStopCase{"LauncherAtOneBytePerSecond", 1 * KMiB, 1,
                                                     true}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
}  // namespace vt
