#include "ConsoleLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Columns.h"
#include "format/Text.h"
#include "platform/Console.h"

namespace vt {
namespace {

constexpr auto KRedrawInterval = std::chrono::milliseconds(100);

std::string Clock(int64_t Seconds) {
  char text[32];
  if (Seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(Seconds / 3600),
                  static_cast<long long>(Seconds / 60 % 60), static_cast<long long>(Seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(Seconds / 60),
                  static_cast<long long>(Seconds % 60));
  }
  return text;
}

}  // namespace

void WriteStdout(const std::string& Text) {
  std::fwrite(Text.data(), 1, Text.size(), stdout);
  std::fflush(stdout);
}

void WriteStderr(const std::string& Text) {
  std::fwrite(Text.data(), 1, Text.size(), stderr);
  std::fflush(stderr);
}

size_t LineWidth(int Columns) {
  return static_cast<size_t>(std::max(Columns - 1, 0));
}

TRedrawnLine::TRedrawnLine(TConsoleIo Io) : FIo(std::move(Io)) {
  if (!FIo.Columns)
    FIo.Columns = TerminalColumns;
}

void TRedrawnLine::Show(const std::string& Text) {
  FPending = FitToColumns(Text, LineWidth(FIo.Columns()));
  FHasPending = true;
  const TClock::time_point now = FIo.Now();
  if (!FOpen || now - FLastDraw >= KRedrawInterval)
    Draw(now);
}

void TRedrawnLine::Tick() {
  if (FHasPending) {
    const TClock::time_point now = FIo.Now();
    if (now - FLastDraw >= KRedrawInterval)
      Draw(now);
  }
}

void TRedrawnLine::Draw(TClock::time_point Now) {
  FIo.Out("\r\033[K" + FPending);
  FHasPending = false;
  FOpen = true;
  FLastDraw = Now;
}

void TRedrawnLine::Keep() {
  if (FHasPending) {
    // The last line is drawn too, yet no sooner than any other.
    const TClock::time_point due = FLastDraw + KRedrawInterval;
    if (FOpen && FIo.Now() < due)
      FIo.Sleep(due - FIo.Now());
    Draw(FIo.Now());
  }
  if (FOpen)
    FIo.Out("\n");
  FOpen = false;
}

void TRedrawnLine::Clear() {
  FHasPending = false;
  if (FOpen)
    FIo.Out("\r\033[K");
  FOpen = false;
}

std::string RateText(double BytesPerSecond, int64_t Left, const std::string& Separator) {
  // A week stands in for "longer than anyone waits"; it also keeps the cast in range.
  const double seconds =
      std::min(std::ceil(double(std::max<int64_t>(Left, 0)) / BytesPerSecond), 7.0 * 24 * 3600);
  return DecimalText(BytesPerSecond / KBytesPerMb, Separator) + " MB/s, " +
         Clock(static_cast<int64_t>(seconds)) + " left";
}

}  // namespace vt
