#pragma once
// Shows an update run as text: on a terminal one redrawn line with a bar (and, while files
// travel, the rate and the time left), at most ten times a second; elsewhere one line per
// report. Ends of runs and failures go to standard error, a check's answer to standard output.

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "ConsoleLine.h"
#include "RunReport.h"

namespace vt {

class TConsoleView : public TRunReport {
 public:
  // Check: the run is a check, whose only line off a terminal is its answer.
  TConsoleView(bool Terminal, bool Check, TConsoleIo Io = {});

  void ShowProgress(const std::string& Text, int64_t Done, int64_t Total) override;
  void Tick() override;
  void Succeeded(int32_t Build) override;
  void Checked(int32_t Build, const TCheckResult& Result) override;
  void AttemptFailed(const std::string& Error, int Attempt, int Attempts, double Wait) override;
  void Failed(const std::string& Error, const std::string& Cause, bool Check) override;
  void Stopped() override;
  void SourcesUsed(const std::vector<TSourceReport>& Sources) override;

 private:
  using TClock = TConsoleIo::TClock;
  struct TSample {
    TClock::time_point Time;
    int64_t Done;
  };

  // The text with the rate and the time left put in, when it counts bytes.
  std::string WithRate(const std::string& Text, int64_t Done, int64_t Total,
                       TClock::time_point Now);

  const bool FTerminal;
  const bool FCheck;
  TConsoleIo FIo;
  TRedrawnLine FLine;
  std::deque<TSample> FSamples;  // recent byte counts, for the rate
  int64_t FSampleTotal = -1;
};

// "[#####-----]  50% " for Done of Total in Width cells (empty bar when Total is 0 or less).
std::string ProgressBar(int64_t Done, int64_t Total, int Width);

// The redrawn line for a report on a terminal Columns wide: never wider than Columns - 1, the
// bar as wide as the room allows (none when it is short), the start of the text cut off
// behind "..." when even the text alone is too long.
std::string TerminalLine(const std::string& Text, int64_t Done, int64_t Total, int Columns);

// The one line of a check's answer.
std::string CheckLine(int32_t Build, const TCheckResult& Result);

}  // namespace vt
