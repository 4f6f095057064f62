// The launcher window's logic against fake controls, a hand-pumped call queue and, for whole
// runs, the in-memory HTTP fake.

#include "shell/LaunchForm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>

#include "cli/Options.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "support/FakeHttp.h"
#include "support/TestRelease.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* KBuiltInUrl = "https://builtin.test/";
constexpr const char* KMissingText = "vt.exe is missing - try again or reinstall the game.";

struct TFakeLabel : TLabelControl {
  void SetText(const std::string& Value) override { Text = Value; }
  void SetTooltip(const std::string& Value) override { Tooltip = Value; }
  std::string Text, Tooltip;
};

struct TFakeBar : TBarControl {
  void SetPosition(int Value) override { Position = Value; }
  int Position = -1;
};

struct TFakeButton : TButtonControl {
  void SetVisible(bool Value) override { Visible = Value; }
  void OnClick(std::function<void()> Value) override { Click = std::move(Value); }
  void Press() {
    ASSERT_TRUE(Click) << "no click handler";
    Click();
  }
  bool Visible = false;
  std::function<void()> Click;
};

struct TFakeWindow : TWindowControl {
  TLabelControl& Status() override { return Label; }
  TBarControl& Bar() override { return BarControl; }
  TButtonControl& PlayButton() override { return Play; }
  TButtonControl& RetryButton() override { return Retry; }
  TButtonControl& QuitButton() override { return Quit; }
  bool LoadPicture(const std::string& JpegPath) override {
    Pictures.push_back(JpegPath);
    throw std::runtime_error("not a JPEG");
  }
  void Close() override { ++Closes; }
  TFakeLabel Label;
  TFakeBar BarControl;
  TFakeButton Play, Retry, Quit;
  std::vector<std::string> Pictures;
  int Closes = 0;
};

struct TStartCall {
  std::string File;
  std::vector<std::string> Params;
  std::string WorkDir;
  TParamText Form;
};

struct TFakeStarter : TProgramStarter {
  void Start(const std::string& File, const std::vector<std::string>& Params,
             const std::string& WorkDir, TParamText Form) override {
    Calls.push_back({File, Params, WorkDir, Form});
  }
  std::vector<TStartCall> Calls;
};

// Path with the local separator.
std::string Native(std::string Path) {
  std::replace(Path.begin(), Path.end(), '/', KPathSeparator);
  return Path;
}

void WriteFile(const fs::path& Path, const std::string& Text) {
  fs::create_directories(Path.parent_path());
  std::ofstream(Path, std::ios::binary) << Text;
}

class LaunchForm : public ::testing::Test {
 protected:
  LaunchForm() {
    std::random_device random;
    FRoot = fs::temp_directory_path() / ("vt_form_" + std::to_string(random()));
    Dir = (FRoot / "game folder").string() + KPathSeparator;
    fs::create_directories(Dir);
  }
  ~LaunchForm() override {
    std::error_code ignored;
    fs::remove_all(FRoot, ignored);
  }

  // A form for a launcher that runs from Dir; every run's requests go to Http.
  std::unique_ptr<TLaunchForm> MakeForm(TParams Params = {}) {
    TLaunchSettings settings{std::move(Params), Dir + "vtlaunch.exe", KBuiltInUrl, {}};
    settings.Options.NewClient = Http.Factory();
    return std::make_unique<TLaunchForm>(Window, Queue, Starter, std::move(settings));
  }

  // Runs queued calls as they are posted until Done holds; false after a generous wait.
  bool PumpUntil(const std::function<bool()>& Done) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
      int seen = 0;
      {
        const std::lock_guard<std::mutex> lock(PostLock);
        seen = Posts;
      }
      Queue.RunPending();
      if (Done())
        return true;
      std::unique_lock<std::mutex> lock(PostLock);
      if (!Posted.wait_until(lock, deadline, [&] { return Posts != seen; }))
        return false;
    }
  }

  bool PumpUntilFailed() {
    return PumpUntil([this] { return Window.Retry.Visible; });
  }

  void ExpectGameStarted() {
    ASSERT_EQ(Starter.Calls.size(), 1u);
    EXPECT_EQ(Starter.Calls[0].File, Dir + "vt.exe");
    EXPECT_EQ(Starter.Calls[0].Params, std::vector<std::string>{"-launched"});
    EXPECT_EQ(Starter.Calls[0].WorkDir, Dir);
    EXPECT_EQ(Starter.Calls[0].Form, TParamText::AsIs);
    EXPECT_EQ(Window.Label.Text, "Starting the game...");
    EXPECT_EQ(Window.Closes, 1);
  }

  // Closing while the run downloads: the run is held at the game's object and let go only once
  // the form has asked it to stop and waits for it, so it ends without an error, which would
  // start the game if its result were acted upon.
  void CloseDuringRun(const std::function<void(std::unique_ptr<TLaunchForm>&)>& Close,
                      int ExpectedCloses) {
    if (!test::BuiltWithDevKey())
      GTEST_SKIP() << "built with another release key";
    test::TDoor gate;
    const auto files = test::PublishRelease(Http, {{"vt.exe", "new game"}}, 1, false);
    Http.HoldAt(test::ObjectPath(files[0]), [&](const TStopToken& Stop) {
      const TStopCallback letGo(Stop, [&] { gate.Open(); });
      gate.Pass();
    });
    WriteFile(Dir + "vt.exe", "old game");
    auto form = MakeForm();
    // Declared after the form, so that a failed check opens the gate before the form waits.
    struct TOpenAtEnd {
      test::TDoor& Gate;
      ~TOpenAtEnd() { Gate.Open(); }
    } openAtEnd{gate};
    Queue.RunPending();  // the first StartUpdate
    ASSERT_TRUE(gate.WaitForArrivals(1));

    const int postsBefore = PostCount();
    Close(form);
    EXPECT_GT(PostCount(), postsBefore);  // the run did report its end meanwhile
    EXPECT_EQ(Queue.RunPending(), 0u);
    EXPECT_TRUE(Starter.Calls.empty());
    EXPECT_EQ(Window.Closes, ExpectedCloses);
  }

  fs::path FRoot;
  std::string Dir;  // the launcher's folder, ending in the separator
  test::TFakeHttp Http;
  TFakeWindow Window;
  int PostCount() {
    const std::lock_guard<std::mutex> lock(PostLock);
    return Posts;
  }

  std::mutex PostLock;  // guards Posts
  std::condition_variable Posted;
  int Posts = 0;
  TCallQueue Queue{[this] {
    {
      const std::lock_guard<std::mutex> lock(PostLock);
      ++Posts;
    }
    Posted.notify_all();
  }};
  TFakeStarter Starter;
};

TEST(LaunchOptions, SwitchRules) {
  const std::string sep(1, KPathSeparator);
  const std::string exe = AbsolutePath("opt") + sep;
  const std::string a = AbsolutePath("games") + sep + "a", b = AbsolutePath("games") + sep + "b";
  EXPECT_EQ(GameFolderOption({}, exe), exe);
  EXPECT_EQ(GameFolderOption({"-dir:" + a}, exe), exe);
  EXPECT_EQ(GameFolderOption({"-DIR", a, "-dir", b}, exe), a + sep);
  EXPECT_EQ(GameFolderOption({"/dir", a + sep}, exe), a + sep);
  // The first switch decides, even without a usable value; the next is not consulted.
  EXPECT_EQ(GameFolderOption({"-dir", "-noupdate", "-dir", b}, exe), exe);
  EXPECT_EQ(GameFolderOption({"-dir"}, exe), exe);
  EXPECT_EQ(GameFolderOption({"-dir", Native("sub/game")}, exe),
            (fs::current_path() / "sub" / "game").string() + sep);
  // A value beginning with "/" is a switch, but where "/" separates paths a folder is absolute.
  EXPECT_EQ(SwitchValue({"-dir", "/g"}, "dir"), "");
  EXPECT_EQ(SwitchValue({"-dir", "/g"}, "dir", true), "/g");
  EXPECT_EQ(GameFolderOption({"-dir", "/g"}, exe), KPathSeparator == '/' ? "/g/" : exe);

  EXPECT_EQ(UrlOption({}, "https://d.example/"), "https://d.example/");
  EXPECT_EQ(UrlOption({"-url", "http://h/x"}, "https://d/"), "http://h/x/");
  EXPECT_EQ(UrlOption({"-Url", "http://h/x/"}, "https://d/"), "http://h/x/");
  // Only a folder may begin with "/": a URL value doing so is a switch.
  EXPECT_EQ(UrlOption({"-url", "/x"}, "https://d/"), "https://d/");
  EXPECT_EQ(UrlOption({"-url:http://h/"}, "https://d/"), "https://d/");

  EXPECT_TRUE(HasSwitch({"-dir", "/g", "/NOUPDATE"}, "noupdate"));
  EXPECT_TRUE(HasSwitch({"x", "-NoUpdate", "y"}, "noupdate"));
  EXPECT_FALSE(HasSwitch({"-noupdatex", "noupdate", "--noupdate"}, "noupdate"));
}

TEST_F(LaunchForm, SettlesTheOptionsAndTidiesUpAtConstruction) {
  WriteFile(Dir + "vtlaunch.dpr", "program");
  WriteFile(Dir + "vtlaunch.old", "old launcher");
  auto form = MakeForm();
  EXPECT_EQ(form->Dir(), Dir);
  EXPECT_EQ(form->Url(), KBuiltInUrl);
  EXPECT_TRUE(form->SourceFolder());
  EXPECT_FALSE(fs::exists(Dir + "vtlaunch.old"));  // also in a source folder
  EXPECT_TRUE(Window.Pictures.empty());

  // The source marker and the picture are looked for in the -dir folder, not beside the exe.
  const std::string other = (FRoot / "other").string() + KPathSeparator;
  WriteFile(other + "frontend/graphics/background1.jpeg", "damaged");
  form = MakeForm({"-dir", (FRoot / "other").string(), "-url", "http://h/x"});
  EXPECT_EQ(form->Dir(), other);
  EXPECT_EQ(form->Url(), "http://h/x/");
  EXPECT_FALSE(form->SourceFolder());
  // The fake's load fails; construction goes on regardless.
  EXPECT_EQ(Window.Pictures,
            std::vector<std::string>{other + Native("frontend/graphics/background1.jpeg")});
  EXPECT_EQ(Window.Label.Text, "Starting...");
  EXPECT_EQ(Window.BarControl.Position, 0);
  EXPECT_FALSE(Window.Play.Visible);
  EXPECT_FALSE(Window.Retry.Visible);
  EXPECT_TRUE(Window.Quit.Visible);
}

TEST(LaunchBar, RoundsHalvesToEvenAndClamps) {
  EXPECT_EQ(BarPosition(1, 3), 333);
  EXPECT_EQ(BarPosition(2, 3), 667);
  EXPECT_EQ(BarPosition(1, 16), 62);
  EXPECT_EQ(BarPosition(3, 16), 188);
  EXPECT_EQ(BarPosition(5, 16), 312);        // 312.5
  EXPECT_EQ(BarPosition(3, 2000), 2);        // 1.5
  EXPECT_EQ(BarPosition(1999, 2000), 1000);  // 999.5
  EXPECT_EQ(BarPosition(INT64_MAX - 1, INT64_MAX), 1000);
  EXPECT_EQ(BarPosition(7, 7), 1000);
  EXPECT_EQ(BarPosition(8, 7), 1000);
  EXPECT_EQ(BarPosition(INT64_MAX, 1), 1000);
  EXPECT_EQ(BarPosition(5, 0), 0);
  EXPECT_EQ(BarPosition(5, -3), 0);
  EXPECT_EQ(BarPosition(-1, 3), 0);
}

TEST_F(LaunchForm, ShowProgressSetsTextAndBar) {
  auto form = MakeForm();
  form->ShowProgress("Checking files: 1 of 3", 1, 3);
  EXPECT_EQ(Window.Label.Text, "Checking files: 1 of 3");
  EXPECT_EQ(Window.BarControl.Position, 333);
  form->ShowProgress("Connecting", 4, 0);
  EXPECT_EQ(Window.BarControl.Position, 0);
}

TEST_F(LaunchForm, NoUpdateStartsTheGameOnlyOnceTheQueueRuns) {
  WriteFile(Dir + "vt.exe", "game");
  auto form = MakeForm({"/NOUPDATE"});
  EXPECT_TRUE(Starter.Calls.empty());
  EXPECT_EQ(Window.Label.Text, "Starting...");
  Queue.RunPending();
  ExpectGameStarted();
}

TEST_F(LaunchForm, FormDestroyedBeforeTheLoopRunsNeverStarts) {
  WriteFile(Dir + "vt.exe", "game");
  MakeForm({"-noupdate"}).reset();
  EXPECT_EQ(Queue.RunPending(), 0u);
  EXPECT_TRUE(Starter.Calls.empty());
}

TEST_F(LaunchForm, SourceFolderIsFinalEvenWithNoUpdate) {
  WriteFile(Dir + "vtlaunch.dpr", "program");
  WriteFile(Dir + "vt.exe", "game");
  auto form = MakeForm({"-noupdate"});
  Queue.RunPending();
  EXPECT_EQ(Window.Label.Text,
            "Source folder: nothing is installed here. Use -dir <folder> (Run > Parameters).");
  EXPECT_FALSE(Window.Retry.Visible);
  EXPECT_FALSE(Window.Play.Visible);
  EXPECT_TRUE(Starter.Calls.empty());
  EXPECT_EQ(Window.Closes, 0);
}

TEST_F(LaunchForm, GameMissingOffersTryAgainWhichTriesOnlyTheGameWithNoUpdate) {
  auto form = MakeForm({"x", "-noupdate"});
  Queue.RunPending();
  EXPECT_EQ(Window.Label.Text, KMissingText);
  EXPECT_TRUE(Window.Retry.Visible);
  EXPECT_FALSE(Window.Play.Visible);

  Window.Retry.Press();
  EXPECT_EQ(Window.Label.Text, KMissingText);
  EXPECT_TRUE(Window.Retry.Visible);
  EXPECT_TRUE(Starter.Calls.empty());

  WriteFile(Dir + "vt.exe", "game");
  Window.Retry.Press();
  ExpectGameStarted();
}

TEST_F(LaunchForm, GameMissingAfterARunLeavesPlayAnywayAsItWas) {
  WriteFile(Dir + "vt.exe", "game");
  auto form = MakeForm();
  form->UpdateDone("disk full", false);
  EXPECT_TRUE(Window.Play.Visible);
  fs::remove(Dir + "vt.exe");
  form->UpdateDone("", false);
  EXPECT_EQ(Window.Label.Text, KMissingText);
  EXPECT_TRUE(Window.Play.Visible);
  EXPECT_TRUE(Window.Retry.Visible);
  Window.Play.Press();
  EXPECT_EQ(Window.Label.Text, KMissingText);
  EXPECT_TRUE(Starter.Calls.empty());
  EXPECT_EQ(Window.Closes, 0);
}

TEST_F(LaunchForm, RestartPassesTheOwnParametersUnchangedAndShowsNoError) {
  const TParams params{"-url", "http://h/", "with blanks in it", "-noupdate"};
  auto form = MakeForm(params);
  form->UpdateDone("launcher replaced, but something else went wrong", true);
  ASSERT_EQ(Starter.Calls.size(), 1u);
  EXPECT_EQ(Starter.Calls[0].File, Dir + "vtlaunch.exe");
  EXPECT_EQ(Starter.Calls[0].Params, params);
  EXPECT_EQ(Starter.Calls[0].WorkDir, Dir);
  EXPECT_EQ(Starter.Calls[0].Form, TParamText::Quoted);
  EXPECT_EQ(Window.Closes, 1);
  EXPECT_EQ(Window.Label.Text, "Starting...");
  EXPECT_EQ(Window.Label.Tooltip, "");
  EXPECT_FALSE(Window.Retry.Visible);
  // A closed window runs nothing that was still queued: here the first StartUpdate.
  EXPECT_EQ(Queue.RunPending(), 0u);
  EXPECT_EQ(Starter.Calls.size(), 1u);

  form = MakeForm();
  form->UpdateDone("", true);
  ASSERT_EQ(Starter.Calls.size(), 2u);
  EXPECT_TRUE(Starter.Calls[1].Params.empty());
}

TEST_F(LaunchForm, SuccessfulRunStartsTheGame) {
  if (!test::BuiltWithDevKey())
    GTEST_SKIP() << "built with another release key";
  test::PublishRelease(Http, {{"vt.exe", "game build 3"}, {"data/a.pak", "data"}}, 3, true);
  const std::string game = (FRoot / "new" / "deep" / "game").string();
  auto form = MakeForm({"-dir", game});
  Dir = game + KPathSeparator;
  ASSERT_TRUE(PumpUntil([this] { return !Starter.Calls.empty(); })) << Window.Label.Text;
  ExpectGameStarted();
  std::ifstream in(Dir + "vt.exe");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "game build 3");
}

TEST_F(LaunchForm, FailureOffersTryAgainAndPlayAnywayOnlyWithTheGame) {
  auto form = MakeForm();  // nothing is served yet: the manifest is a 404
  ASSERT_TRUE(PumpUntilFailed());
  const std::string first = Window.Label.Tooltip;
  EXPECT_NE(first.find("HTTP 404"), std::string::npos) << first;
  EXPECT_EQ(Window.Label.Text, "Update failed: " + first);
  EXPECT_FALSE(Window.Play.Visible);
  EXPECT_EQ(Window.Closes, 0);

  // Try again: buttons go, the old error stays as tooltip and text until the run says more.
  WriteFile(Dir + "vt.exe", "old game");
  Http.ServeStatus("/version", 503);
  Window.BarControl.Position = 123;
  Window.Retry.Press();
  EXPECT_FALSE(Window.Retry.Visible);
  EXPECT_FALSE(Window.Play.Visible);
  EXPECT_EQ(Window.Label.Tooltip, first);
  EXPECT_EQ(Window.Label.Text, "Update failed: " + first);
  EXPECT_EQ(Window.BarControl.Position, 123);

  ASSERT_TRUE(PumpUntilFailed());
  EXPECT_NE(Window.Label.Tooltip.find("HTTP 503"), std::string::npos) << Window.Label.Tooltip;
  EXPECT_TRUE(Window.Play.Visible);
  EXPECT_EQ(Http.RequestsFor("/version").size(), 2u);

  Window.Play.Press();
  ExpectGameStarted();
}

TEST_F(LaunchForm, RepairFetchesAFileDamagedInPlaceAndABadRateIsRefused) {
  if (!test::BuiltWithDevKey())
    GTEST_SKIP() << "built with another release key";
  test::PublishRelease(Http, {{"vt.exe", "game"}, {"data/a.pak", "good data"}}, 3, true);
  auto form = MakeForm();
  ASSERT_TRUE(PumpUntil([this] { return Starter.Calls.size() == 1; })) << Window.Label.Text;
  // Damaged in place: size and time as the record has them, so only a repair sees it.
  const fs::path pak = fs::path(Dir) / "data" / "a.pak";
  const fs::file_time_type time = fs::last_write_time(pak);
  WriteFile(pak.string(), "bad! data");
  fs::last_write_time(pak, time);
  form = MakeForm({"-repair", "-limit-rate", "8M"});
  ASSERT_TRUE(PumpUntil([this] { return Starter.Calls.size() == 2; })) << Window.Label.Text;
  std::ifstream in(pak);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "good data");

  form = MakeForm({"-limit-rate", "fast"});
  ASSERT_TRUE(PumpUntilFailed());
  EXPECT_EQ(Window.Label.Text,
            "Update failed: the switch -limit-rate needs a rate such as 8M or 500K, not \"fast\"");
}

TEST_F(LaunchForm, DestroyedDuringARunStartsNothing) {
  CloseDuringRun([](std::unique_ptr<TLaunchForm>& Form) { Form.reset(); }, 0);
}

TEST_F(LaunchForm, QuitDuringARunStartsNothing) {
  CloseDuringRun([this](std::unique_ptr<TLaunchForm>&) { Window.Quit.Press(); }, 1);
}

}  // namespace
}  // namespace vt
