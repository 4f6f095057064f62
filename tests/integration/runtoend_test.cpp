// A run driven to its end by a caller without an event loop, as vtupdate drives it.

#include "update/RunToEnd.h"

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "support/TestRelease.h"
#include "support/TestServer.h"

namespace vt {
namespace {

class RunToEndTest : public test::TReleaseRunTest {};

TEST_F(RunToEndTest, EachEndIsToldWithWhatTheRunFound) {
  using TOutcome = TRunEnd::TOutcome;
  struct TCase {
    const char* Name;
    bool Publish;
    bool CheckOnly;
    bool Interrupt;
    TOutcome Outcome;
    int32_t Build;
  };
  for (const TCase& c : {
           TCase{"update", true, false, false, TOutcome::Finished, 7},
           TCase{"check", true, true, false, TOutcome::Finished, 7},
           TCase{"no release on the server", false, false, false, TOutcome::Failed, 0},
           TCase{"interrupted", true, false, true, TOutcome::Stopped, 0},
       }) {
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    test::TTestServer server;  // a fresh one: a row without a release finds nothing
    if (c.Publish)
      test::PublishRelease(server, {{"vt.exe", "game"}}, 7, false);
    TUpdaterOptions options;
    options.CheckOnly = c.CheckOnly;
    test::TRecordingView view;
    int ticks = 0;
    const TRunEnd end = RunToEnd(
        view, Dir.string() + KPathSeparator, server.BaseUrl(), options, [&] { return c.Interrupt; },
        [&] { ++ticks; });
    EXPECT_EQ(end.Outcome, c.Outcome) << c.Name;
    EXPECT_EQ(end.Build, c.Build) << c.Name;
    if (c.Outcome == TOutcome::Stopped) {
      // What the stopped run posted last never reaches the view.
      EXPECT_TRUE(view.Outcomes.empty()) << c.Name;
      continue;
    }
    EXPECT_GT(ticks, 0) << c.Name;
    ASSERT_EQ(view.Outcomes.size(), 1u) << c.Name;
    EXPECT_EQ(end.Error, view.Outcomes[0].first) << c.Name;
    EXPECT_EQ(end.Error.empty(), c.Outcome == TOutcome::Finished) << c.Name;
    EXPECT_EQ(end.Check.Update, c.CheckOnly) << c.Name;
    EXPECT_EQ(std::filesystem::exists(Dir / "vt.exe"), c.Publish && !c.CheckOnly) << c.Name;
  }
}

}  // namespace
}  // namespace vt
