#include "ConsoleView.h"

#include <gtest/gtest.h>

#include "Columns.h"
#include "format/Utf8.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// A terminal of Columns columns whose clock the test moves; Draws holds each redrawn line.
struct TFakeTerminal {
  int Columns = 80;
  TClock::time_point Now = TClock::time_point() + 1h;
  std::vector<std::string> Draws;
  std::string Out;
  std::string Err;

  TConsoleIo Io() {
    TConsoleIo io;
    io.Out = [this](const std::string& Text) {
      Out += Text;
      if (Text.rfind("\r\033[K", 0) == 0)
        Draws.push_back(Text.substr(4));
    };
    io.Err = [this](const std::string& Text) { Err += Text; };
    io.Columns = [this] { return Columns; };
    io.Now = [this] { return Now; };
    io.Sleep = [this](TClock::duration Span) { Now += Span; };
    return io;
  }
};

TEST(FitToColumns, CutsOnCharacterBoundariesCountingWideAndCombiningCharacters) {
  EXPECT_EQ(FitToColumns("abcdef", 4), "abcd");
  EXPECT_EQ(FitToColumns("d\xC3\xA9j\xC3\xA0", 3), "d\xC3\xA9j");          // é is one column
  EXPECT_EQ(FitToColumns("\xE6\x97\xA5\xE6\x9C\xAC", 3), "\xE6\x97\xA5");  // 日本: two each
  EXPECT_EQ(FitToColumns("e\xCC\x81x", 1), "e\xCC\x81");                   // combining acute
  EXPECT_EQ(FitToColumns("\xF0\x9F\x98\x80!", 1), "");                     // an emoji is wide
  EXPECT_EQ(FitToColumns("a\x1b[2Jb\xFF\xC3", 20), "a?[2Jb??");  // escapes and bad bytes: "?"
  EXPECT_EQ(FitToColumns("anything", 0), "");
  EXPECT_EQ(FitToColumns("ab\xE6\x97\xA5\xE6\x9C\xAC", 3, true), "\xE6\x9C\xAC");
  EXPECT_EQ(FitToColumns("abc\xC3\xA9", 2, true), "c\xC3\xA9");
  EXPECT_EQ(DisplayColumns("a\xE6\x97\xA5"
                           "e\xCC\x81\x01"),
            5u);
}

TEST(TRedrawnLine, CutsAfterTheLastWholeCharacterThatFits) {
  struct TCase {
    const char* Name;
    std::string Char;
    size_t Columns;  // what the terminal gives it
  };
  for (const TCase& c :
       {TCase{"2 bytes", "\xC3\xA9", 1}, TCase{"3 bytes", "\xE2\x82\xAC", 1},
        TCase{"3 bytes, wide", "\xE6\x97\xA5", 2}, TCase{"4 bytes", "\xF0\x9D\x84\x9E", 1},
        TCase{"4 bytes, wide", "\xF0\x9F\x98\x80", 2}}) {
    std::string text = "ab";
    for (int i = 0; i < 8; ++i)
      text += c.Char;
    for (int columns = 1; columns <= 20; ++columns) {
      TFakeTerminal terminal;
      terminal.Columns = columns;
      TRedrawnLine line(terminal.Io());
      line.Show(text);
      ASSERT_EQ(terminal.Draws.size(), 1u) << c.Name;
      const std::string& drawn = terminal.Draws[0];
      const size_t width = static_cast<size_t>(columns - 1);
      EXPECT_EQ(FindInvalidUtf8(drawn), std::string::npos) << c.Name << ", " << columns;
      EXPECT_EQ(text.compare(0, drawn.size(), drawn), 0) << c.Name << ", " << columns;
      EXPECT_LE(DisplayColumns(drawn), width) << c.Name << ", " << columns;
      // Nothing that would have fitted was left off.
      if (drawn.size() < text.size()) {
        const size_t next = drawn.size() < 2 ? 1 : c.Columns;
        EXPECT_GT(DisplayColumns(drawn) + next, width) << c.Name << ", " << columns;
      }
    }
  }
}

TEST(TRedrawnLine, KeepDrawsTheLastLineInItsTurnAndClearDropsIt) {
  TFakeTerminal terminal;
  TRedrawnLine line(terminal.Io());
  line.Show("one");
  line.Show("two");  // too soon: kept
  EXPECT_EQ(terminal.Out, "\r\033[Kone");
  const TClock::time_point before = terminal.Now;
  line.Keep();
  EXPECT_EQ(terminal.Out, "\r\033[Kone\r\033[Ktwo\n");
  EXPECT_GE(terminal.Now - before, 100ms);
  line.Show("three");
  line.Show("four");
  line.Clear();
  EXPECT_EQ(terminal.Out, "\r\033[Kone\r\033[Ktwo\n\r\033[Kthree\r\033[K");
  const std::string cleared = terminal.Out;
  line.Clear();  // nothing open: nothing written
  EXPECT_EQ(terminal.Out, cleared);
}

TEST(TConsoleView, TheLineNeverOutgrowsTheTerminal) {
  const std::string texts[] = {
      "Downloading the update: 3 of 10 files (812.4 of 2048.0 MB)",
      "Checking files: 100 of 200 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE5\x90\x8D",
      "Reading the list of files... d\xC3\xA9j\xC3\xA0 vu \xF0\x9F\x98\x80\xF0\x9F\x98\x80"};
  for (int columns : {1, 2, 10, 39, 40, 41, 57, 80, 200}) {
    TFakeTerminal terminal;
    terminal.Columns = columns;
    TConsoleView view(true, false, terminal.Io());
    for (const std::string& text : texts) {
      terminal.Now += 1s;
      view.ShowProgress(text, 5, 10);
    }
    ASSERT_EQ(terminal.Draws.size(), 3u);
    for (const std::string& line : terminal.Draws) {
      EXPECT_LE(DisplayColumns(line), static_cast<size_t>(columns - 1)) << columns << ": " << line;
      EXPECT_EQ(FindInvalidUtf8(line), std::string::npos) << columns << ": " << line;
    }
  }
}

TEST(TerminalLine, TheBarGivesWayFirstThenTheStartOfTheText) {
  const std::string text = "Downloading the update: 1 of 3 files (80.0 of 2048.0 MB)";  // 56
  EXPECT_EQ(TerminalLine(text, 1, 2, 200), "[##########----------]  50% " + text);
  EXPECT_EQ(TerminalLine(text, 1, 2, 72), "[###----]  50% " + text);  // 71 columns
  EXPECT_EQ(TerminalLine(text, 1, 2, 69), text);  // a bar of 5 cells would not fit
  EXPECT_EQ(TerminalLine(text, 1, 2, 31), "...3 files (80.0 of 2048.0 MB)");
  EXPECT_EQ(TerminalLine(text, 1, 2, 4), "Dow");
}

TEST(TConsoleView, RedrawsAtMostTenTimesASecondAndDrawsTheLastLineAtTheEnd) {
  TFakeTerminal terminal;
  TConsoleView view(true, false, terminal.Io());
  for (int i = 0; i <= 100; ++i) {
    view.ShowProgress("Checking files: " + std::to_string(i) + " of 100", i, 100);
    view.Tick();
    terminal.Now += 10ms;
  }
  // A second of reports, 101 of them: the first at once, then one per 100 ms.
  EXPECT_LE(terminal.Draws.size(), 11u);
  EXPECT_GE(terminal.Draws.size(), 10u);
  const TClock::time_point before = terminal.Now;
  view.ShowProgress("Up to date (build 100).", 1, 1);
  view.Succeeded(100);
  EXPECT_NE(terminal.Draws.back().find("Up to date (build 100)."), std::string::npos);
  // The last line waited for its turn.
  EXPECT_GE(terminal.Now - before, 90ms);
  EXPECT_EQ(terminal.Out.back(), '\n');
}

TEST(TConsoleView, ByteLinesShowTheRateAndTheTimeLeft) {
  TFakeTerminal terminal;
  terminal.Columns = 120;
  TConsoleView view(true, false, terminal.Io());
  const int64_t total = 2048 * 1048576LL;
  view.ShowProgress("Downloading the update: 0 of 3 files (0.0 of 2048.0 MB)", 0, total);
  terminal.Now += 2s;
  view.ShowProgress("Downloading the update: 1 of 3 files (80.0 of 2048.0 MB)", 80 * 1048576LL,
                    total);
  ASSERT_EQ(terminal.Draws.size(), 2u);
  EXPECT_EQ(terminal.Draws[0].find("MB/s"), std::string::npos);
  // 80 MB in 2 s: 40 MB/s, and 1968 MB left take 49.2 s.
  EXPECT_EQ(terminal.Draws[1],
            "[--------------------]   3% Downloading the update: 1 of 3 files (80.0 of 2048.0 "
            "MB, 40.0 MB/s, 0:50 left)");
  EXPECT_EQ(RateText(1048576.0, 3 * 3600 * 1048576LL + 61 * 1048576LL, "."),
            "1.0 MB/s, 3:01:01 left");
  EXPECT_EQ(RateText(2.5 * 1048576.0, 0, ","), "2,5 MB/s, 0:00 left");
}

TEST(TConsoleView, OffATerminalEveryReportIsALineAndACheckPrintsOnlyItsAnswer) {
  TFakeTerminal terminal;
  TConsoleView view(false, false, terminal.Io());
  view.ShowProgress("Checking for updates...", 0, 0);
  view.ShowProgress("Checking for updates...", 0, 0);
  view.Succeeded(7);
  EXPECT_EQ(terminal.Out, "Checking for updates...\nChecking for updates...\n");

  TFakeTerminal quiet;
  TConsoleView check(false, true, quiet.Io());
  check.ShowProgress("Checking for updates...", 0, 0);
  TCheckResult result;
  result.Installed = 5;
  result.Update = true;
  check.Checked(7, result);
  EXPECT_EQ(quiet.Out, "Update available: build 7 (installed: build 5)\n");
}

TEST(CheckLine, NamesTheDifferingFilesUpToTen) {
  TCheckResult result;
  EXPECT_EQ(CheckLine(3, result), "Up to date (build 3).");
  result.Update = true;
  EXPECT_EQ(CheckLine(3, result), "Update available: build 3 (installed: none)");
  result.Differ = {"data/a.pak"};
  EXPECT_EQ(CheckLine(3, result), "1 file differs: data/a.pak");
  for (int i = 0; i < 11; ++i)
    result.Differ.push_back(std::string(1, 'f').append(std::to_string(i)));
  EXPECT_EQ(CheckLine(3, result),
            "12 files differ: data/a.pak, f0, f1, f2, f3, f4, f5, f6, f7, f8, ... and 2 more");
}

}  // namespace
}  // namespace vt
