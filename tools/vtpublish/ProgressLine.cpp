#include "ProgressLine.h"

#include <algorithm>
#include <cstdio>

#include "platform/Console.h"
#include "update/Progress.h"

namespace vt {

namespace {

constexpr auto KRedrawInterval = std::chrono::milliseconds(100);

// Cuts Text to at most Width bytes without splitting a UTF-8 sequence.
void CutToWidth(std::string& Text, size_t Width) {
  if (Text.size() <= Width)
    return;
  while (Width > 0 && (static_cast<unsigned char>(Text[Width]) & 0xC0) == 0x80)
    --Width;
  Text.resize(Width);
}

// " 12.3 MB/s, 1:05 left" once a second has passed and some bytes are done, else "".
std::string RateAndTimeLeft(const TTreeProgress& Progress, double Seconds) {
  if (Seconds < 1.0 || Progress.DoneBytes <= 0)
    return {};
  const double rate = static_cast<double>(Progress.DoneBytes) / Seconds;
  const auto left = static_cast<long long>(
      static_cast<double>(std::max<int64_t>(Progress.Bytes - Progress.DoneBytes, 0)) / rate);
  char text[64];
  std::snprintf(text, sizeof text, " %.1f MB/s, %lld:%02lld left", rate / 1048576.0, left / 60,
                left % 60);
  return text;
}

}  // namespace

std::string Megabytes(int64_t Bytes) {
  return MegabytesText(Bytes, ".") + " MB";
}

void TProgressLine::Show(const TTreeProgress& Progress) {
  if (!FTerminal)
    return;
  const auto now = std::chrono::steady_clock::now();
  if (FOpen && now - FLast < KRedrawInterval)
    return;
  FLast = now;
  std::string line =
      FVerb + " " + std::to_string(Progress.DoneFiles) + " of " + std::to_string(Progress.Files) +
      " files (" + Megabytes(Progress.DoneBytes) + " of " + Megabytes(Progress.Bytes) + ")" +
      RateAndTimeLeft(Progress, std::chrono::duration<double>(now - FStart).count()) + " " +
      std::string(Progress.Path);
  // One line only: a wrapped line could not be redrawn.
  CutToWidth(line, static_cast<size_t>(std::max(TerminalColumns() - 1, 0)));
  std::printf("\r\033[K%s", line.c_str());
  std::fflush(stdout);
  FOpen = true;
}

void TProgressLine::End() {
  if (!FOpen)
    return;
  std::printf("\r\033[K");
  std::fflush(stdout);
  FOpen = false;
}

}  // namespace vt
