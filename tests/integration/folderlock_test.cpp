// One update run per game folder: the OS lock itself, and whole runs that meet on one folder.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "format/Streams.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "support/TestRelease.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

using TState = TFolderLock::TState;

constexpr const char* KBusy =
    "another update of this game folder is running - try again when it has finished";

// Every name in Dir and below, relative to it.
std::vector<std::string> NamesIn(const fs::path& Dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(Dir))
    names.push_back(entry.path().lexically_relative(Dir).generic_string());
  std::sort(names.begin(), names.end());
  return names;
}

class FolderLockTest : public test::TReleaseRunTest {
 protected:
  std::string Folder() const { return Dir.string() + KPathSeparator; }
};

TEST_F(FolderLockTest, ExcludesASecondHolderInTheSameProcessAndLeavesNoFile) {
  {
    TFolderLock first = TFolderLock::TryLock(Folder());
    ASSERT_EQ(first.State(), TState::Held);
    EXPECT_EQ(TFolderLock::TryLock(Folder()).State(), TState::Busy);
    // A move keeps the lock; the moved-from object releases nothing.
    TFolderLock moved = std::move(first);
    EXPECT_EQ(TFolderLock::TryLock(Folder()).State(), TState::Busy);
  }
  EXPECT_EQ(TFolderLock::TryLock(Folder()).State(), TState::Held);
  EXPECT_EQ(TFolderLock::TryLock(Folder() + "missing" + KPathSeparator).State(),
            TState::Unavailable);
  EXPECT_TRUE(NamesIn(Dir).empty());
}

// A run that meets a held lock fails before it reads anything of the folder, or waits for it.
TEST_F(FolderLockTest, ARunMeetingTheLockFailsAtOnceOrWaitsForIt) {
  const std::vector<TRemoteFile> files =
      test::PublishRelease(Server, {{"vt.exe", "game"}, {"data/a.bin", "aaaa"}}, 1, false);
  std::optional<TFolderLock> held = TFolderLock::TryLock(Folder());
  ASSERT_EQ(held->State(), TState::Held);

  Server.ClearRequests();
  const test::TRunResult refused = Run();
  EXPECT_EQ(refused.Error, KBusy);
  for (const auto& request : Server.Requests())
    EXPECT_TRUE(request.Path == "/version" || request.Path == "/version.sig") << request.Path;

  TUpdaterOptions wait;
  wait.WaitForLock = true;
  auto waiting = std::async(std::launch::async, [&] { return Run(wait); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(waiting.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  held.reset();
  const test::TRunResult waited = waiting.get();
  EXPECT_EQ(waited.Error, "");
  ASSERT_GE(waited.Lines.size(), 2u);
  EXPECT_EQ(waited.Lines[1].Text, "Waiting for another update of this game folder to finish...");
  EXPECT_EQ(test::ReadAll(Dir / "data/a.bin"), "aaaa");
  EXPECT_EQ(NamesIn(Dir),
            (std::vector<std::string>{"data", "data/a.bin", "installed.json", "vt.exe"}));
}

TEST_F(FolderLockTest, AStopEndsTheWaitWithoutAnError) {
  test::PublishRelease(Server, {{"vt.exe", "game"}}, 1, false);
  const TFolderLock held = TFolderLock::TryLock(Folder());
  test::TRecordingView view;
  TCallQueue queue;
  TUpdaterOptions wait;
  wait.WaitForLock = true;
  TUpdater updater(view, queue, Folder(), Server.BaseUrl(), wait);
  updater.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto asked = std::chrono::steady_clock::now();
  updater.RequestStop();
  updater.Wait();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  queue.RunPending();
  ASSERT_EQ(view.Outcomes.size(), 1u);
  EXPECT_EQ(view.Outcomes[0].first, "");
  EXPECT_FALSE(fs::exists(Dir / "vt.exe"));
}

// Two runs of one folder started together, round after round, while a watcher reads the files
// throughout: one run places the new build, the other is told at once, and no file is ever
// anything but its old or its new content.
TEST_F(FolderLockTest, TwoRunsStartedTogetherNeverMixTheirFiles) {
  constexpr int KRounds = 20;
  const std::vector<std::string> paths = {"vt.exe", "data/a.bin", "data/b.bin", "c.bin"};
  const auto buildOf = [&](int Build) {
    test::TGameFiles game;
    for (size_t i = 0; i < paths.size(); ++i)
      game[paths[i]] = std::string(20000 + 1000 * i + Build, static_cast<char>('a' + Build % 20));
    return game;
  };
  test::PublishRelease(Server, buildOf(0), 1, false);
  ASSERT_EQ(Run().Error, "");

  // On Windows a file that is open for reading cannot be renamed over at all, so there the
  // watcher would only make the winner's renames fail; the runs still meet on the lock.
  const bool watch = KPathSeparator == '/';
  std::atomic<bool> watching{watch};
  std::atomic<int> build{0};
  std::atomic<int> mixed{0};
  std::thread watcher([&] {
    while (watching) {
      const int now = build.load();
      const test::TGameFiles before = buildOf(now - 1), after = buildOf(now);
      for (const std::string& path : paths) {
        // Read as the game would, sharing delete: a reader that does not would stand in the way
        // of the rename on Windows.
        std::string content;
        try {
          content = ReadWholeFile((Dir / path).string());
        } catch (const std::exception&) {
        }
        // The round may move on between the read of "now" and the read of the file.
        if (content != before.at(path) && content != after.at(path) &&
            content != buildOf(build.load()).at(path)) {
          ++mixed;
        }
      }
    }
  });
  for (int round = 1; round <= KRounds; ++round) {
    SCOPED_TRACE(round);
    const test::TGameFiles game = buildOf(round);
    // Every object stalls for a moment, so the runs overlap whichever starts first.
    for (const TRemoteFile& entry : test::PublishRelease(Server, game, round + 1, false)) {
      const std::string body = game.at(entry.Path);
      Server.SetHandler(test::ObjectPath(entry), [body](const auto&, auto& Response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Response.set_content(body, "application/octet-stream");
      });
    }
    build = round;
    auto first = std::async(std::launch::async, [&] { return Run(); });
    auto second = std::async(std::launch::async, [&] { return Run(); });
    const test::TRunResult a = first.get(), b = second.get();
    EXPECT_TRUE((a.Error.empty() && b.Error == KBusy) || (a.Error == KBusy && b.Error.empty()))
        << a.Error << " / " << b.Error;
    for (const std::string& path : paths)
      EXPECT_EQ(test::ReadAll(Dir / path), game.at(path)) << path;
  }
  watching = false;
  watcher.join();
  EXPECT_EQ(mixed, 0);
}

}  // namespace
}  // namespace vt
