#include "ConsoleView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Columns.h"
#include "format/Text.h"
#include "platform/Locale.h"
#include "update/Progress.h"

namespace vt {

namespace {

// The rate is taken over this much of the recent past, so that it neither jumps nor lags.
constexpr auto KRateWindow = std::chrono::seconds(5);
// Shorter than this, a rate would say more about the reports than about the line.
constexpr auto KRateMinimum = std::chrono::milliseconds(500);
constexpr size_t KBarCells = 20;
// A bar narrower than this says too little to take room from the text.
constexpr size_t KBarMinCells = 5;
// The bar's columns besides its cells: "[", "] ", " 50%" and a blank.
constexpr size_t KBarFrame = 8;
// Put where the start of a line too long for the terminal was cut off.
constexpr std::string_view KElision = "...";
// The engine's lines that count bytes end so: "(12.5 of 40.0 MB)".
constexpr std::string_view KBytesEnd = " MB)";
// A check names at most this many differing files in its line.
constexpr size_t KNamedFiles = 10;

bool EndsWith(const std::string& Text, std::string_view End) {
  return Text.size() >= End.size() && Text.compare(Text.size() - End.size(), End.size(), End) == 0;
}

}  // namespace

std::string ProgressBar(int64_t Done, int64_t Total, int Width) {
  const double fraction = Total > 0 ? std::clamp(double(Done) / double(Total), 0.0, 1.0) : 0.0;
  const int filled = static_cast<int>(fraction * Width);
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
  // Appended piece by piece: "[" + a temporary trips a false -Wrestrict in GCC 12.
  std::string bar = "[";
  bar.append(filled, '#').append(Width - filled, '-').append("] ").append(percent).append(" ");
  return bar;
}

std::string TerminalLine(const std::string& Text, int64_t Done, int64_t Total, int Columns) {
  const size_t width = LineWidth(Columns);
  const size_t text = DisplayColumns(Text);
  if (text + KBarFrame + KBarMinCells <= width) {
    const size_t cells = std::min<size_t>(KBarCells, width - text - KBarFrame);
    return ProgressBar(Done, Total, static_cast<int>(cells)) + FitToColumns(Text, text);
  }
  if (text <= width)
    return FitToColumns(Text, width);
  // The end of a line is what moves (counts, rate, time left), so the start gives way.
  if (width <= KElision.size())
    return FitToColumns(Text, width);
  return std::string(KElision) + FitToColumns(Text, width - KElision.size(), true);
}

std::string CheckLine(int32_t Build, const TCheckResult& Result) {
  const std::string build = std::to_string(Build);
  const std::string rollout = Result.HeldBackFrom >= 0
                                  ? " Build " + std::to_string(Result.HeldBackFrom) +
                                        " is rolling out to other installs first (--skip-rollout "
                                        "takes it now)."
                                  : std::string();
  if (!Result.Update)
    return "Up to date (build " + build + ")." + rollout;
  if (!Result.Differ.empty()) {
    const size_t count = Result.Differ.size();
    std::string line = std::to_string(count) + (count == 1 ? " file differs: " : " files differ: ");
    for (size_t i = 0; i < count && i < KNamedFiles; ++i)
      line += (i > 0 ? ", " : "") + Result.Differ[i];
    if (count > KNamedFiles)
      line += ", ... and " + std::to_string(count - KNamedFiles) + " more";
    return line;
  }
  const std::string installed =
      Result.Installed >= 0 ? "build " + std::to_string(Result.Installed) : "none";
  return "Update available: build " + build + " (installed: " + installed + ")" +
         (rollout.empty() ? "" : "." + rollout);
}

TConsoleView::TConsoleView(bool Terminal, bool Check, TConsoleIo Io)
    : FTerminal(Terminal), FCheck(Check), FIo(Io), FLine(std::move(Io)) {}

std::string TConsoleView::WithRate(const std::string& Text, int64_t Done, int64_t Total,
                                   TClock::time_point Now) {
  if (!EndsWith(Text, KBytesEnd) || Total <= 0) {
    FSamples.clear();
    return Text;
  }
  // A new total or a count that went back is a new transfer: the old samples say nothing of it.
  if (Total != FSampleTotal || (!FSamples.empty() && Done < FSamples.back().Done))
    FSamples.clear();
  FSampleTotal = Total;
  FSamples.push_back({Now, Done});
  while (FSamples.size() > 2 && Now - FSamples[1].Time >= KRateWindow)
    FSamples.pop_front();
  const TSample& first = FSamples.front();
  if (Now - first.Time < KRateMinimum || Done <= first.Done)
    return Text;
  const double rate =
      double(Done - first.Done) / std::chrono::duration<double>(Now - first.Time).count();
  return Text.substr(0, Text.size() - 1) + ", " +
         RateText(rate, Total - Done, UserDecimalSeparator()) + ")";
}

void TConsoleView::ShowProgress(const std::string& Text, int64_t Done, int64_t Total) {
  if (!FTerminal) {
    if (!FCheck)
      FIo.Out(Text + "\n");
    return;
  }
  FLine.Show(TerminalLine(WithRate(Text, Done, Total, FIo.Now()), Done, Total, FLine.Columns()));
}

void TConsoleView::Tick() {
  FLine.Tick();
}

void TConsoleView::Succeeded(int32_t Build) {
  FLine.Keep();
}

void TConsoleView::Checked(int32_t Build, const TCheckResult& Result) {
  FLine.Clear();
  FIo.Out(CheckLine(Build, Result) + "\n");
}

void TConsoleView::AttemptFailed(const std::string& Error, int Attempt, int Attempts, double Wait) {
  FLine.Keep();
  FIo.Err("Attempt " + std::to_string(Attempt) + " of " + std::to_string(Attempts) +
          " failed: " + Error + " - trying again in " + DecimalText(Wait, ".") + " s\n");
}

void TConsoleView::Failed(const std::string& Error, const std::string& /*Cause*/, bool Check) {
  FLine.Keep();
  FIo.Err((Check ? "Check failed: " : "Update failed: ") + Error + "\n");
}

// Only the sources that failed: the others took their work, and the operator may want to know.
void TConsoleView::SourcesUsed(const std::vector<TSourceReport>& Sources) {
  for (const TSourceReport& source : Sources) {
    if (source.Failures == 0)
      continue;
    FLine.Keep();
    FIo.Err("Server " + source.Base + " failed " + std::to_string(source.Failures) +
            (source.Failures == 1 ? " time" : " times") + " (last: " + source.LastError + ")\n");
  }
}

void TConsoleView::Stopped() {
  FLine.Keep();
  FIo.Err(FCheck ? "Stopped: nothing was changed.\n"
                 : "Stopped: the game folder keeps every file placed so far.\n");
}

}  // namespace vt
