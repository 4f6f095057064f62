#pragma once
// Shows an update run in a terminal: one redrawn line with a bar, or one line per report when
// the output is not a terminal.

#include <string>

#include "update/Updater.h"

namespace vt {

class TConsoleView : public TUpdateView {
 public:
  explicit TConsoleView(bool Terminal) : FTerminal(Terminal) {}

  void ShowProgress(const std::string& Text, int64_t Done, int64_t Total) override;
  void UpdateDone(const std::string& Error, bool Restart) override;
  // Ends a redrawn line so that what follows starts on a line of its own.
  void EndLine();

  bool Finished() const { return FFinished; }
  const std::string& Error() const { return FError; }

 private:
  bool FTerminal;
  bool FLineOpen = false;
  bool FFinished = false;
  std::string FError;
};

// "[#####-----]  50% " for Done of Total in Width cells (empty bar when Total is 0 or less).
std::string ProgressBar(int64_t Done, int64_t Total, int Width);

}  // namespace vt
