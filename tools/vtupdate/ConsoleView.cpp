#include "ConsoleView.h"

#include <algorithm>
#include <cstdio>

#include "platform/Console.h"

namespace vt {

std::string ProgressBar(int64_t Done, int64_t Total, int Width) {
  const double fraction = Total > 0 ? std::clamp(double(Done) / double(Total), 0.0, 1.0) : 0.0;
  const int filled = static_cast<int>(fraction * Width);
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
  return "[" + std::string(filled, '#') + std::string(Width - filled, '-') + "] " + percent + " ";
}

void TConsoleView::ShowProgress(const std::string& Text, int64_t Done, int64_t Total) {
  if (!FTerminal) {
    std::printf("%s\n", Text.c_str());
    std::fflush(stdout);
    return;
  }
  const int columns = TerminalColumns();
  std::string line = ProgressBar(Done, Total, 20) + Text;
  // One line only: a wrapped line could not be redrawn.
  if (static_cast<int>(line.size()) >= columns)
    line.resize(std::max(columns - 1, 0));
  std::printf("\r\033[K%s", line.c_str());
  std::fflush(stdout);
  FLineOpen = true;
}

void TConsoleView::UpdateDone(const std::string& Error, bool Restart) {
  FFinished = true;
  FError = Error;
}

void TConsoleView::EndLine() {
  if (FLineOpen)
    std::printf("\n");
  std::fflush(stdout);
  FLineOpen = false;
}

}  // namespace vt
