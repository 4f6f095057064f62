#include "ProgressLine.h"

#include <algorithm>

#include "format/Text.h"

namespace vt {

std::string Megabytes(int64_t Bytes) {
  return MegabytesText(Bytes, ".") + " MB";
}

std::string ProgressText(const std::string& Verb, const TTreeProgress& Progress, double Seconds) {
  std::string line = Verb + " " + std::to_string(Progress.DoneFiles) + " of " +
                     std::to_string(Progress.Files) + " files (" + Megabytes(Progress.DoneBytes) +
                     " of " + Megabytes(Progress.Bytes) + ")";
  if (Seconds >= 1.0 && Progress.DoneBytes > 0) {
    line += ' ';  // not " " + a temporary, which trips a false -Wrestrict in GCC 12
    line += RateText(static_cast<double>(Progress.DoneBytes) / Seconds,
                     std::max<int64_t>(Progress.Bytes - Progress.DoneBytes, 0), ".");
  }
  return line + " " + std::string(Progress.Path);
}

TProgressLine::TProgressLine(std::string Verb, bool Terminal, TConsoleIo Io)
    : FVerb(std::move(Verb)),
      FTerminal(Terminal),
      FIo(Io),
      FStart(FIo.Now()),
      FLine(std::move(Io)) {}

void TProgressLine::Show(const TTreeProgress& Progress) {
  if (!FTerminal)
    return;
  const double seconds = std::chrono::duration<double>(FIo.Now() - FStart).count();
  FLine.Show(ProgressText(FVerb, Progress, seconds));
}

void TProgressLine::End() {
  FLine.Clear();
}

}  // namespace vt
