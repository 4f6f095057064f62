#pragma once
// One redrawn status line on a terminal for the long commands; nothing elsewhere.

#include <cstdint>
#include <string>

#include "ConsoleLine.h"
#include "publish/Pack.h"

namespace vt {

class TProgressLine {
 public:
  // Verb starts the line ("Packing", "Checking"). Terminal false shows nothing.
  TProgressLine(std::string Verb, bool Terminal, TConsoleIo Io = {});
  // Ends an open line.
  ~TProgressLine() { End(); }
  TProgressLine(const TProgressLine&) = delete;
  TProgressLine& operator=(const TProgressLine&) = delete;

  // Redraws the line, at most ten times a second, with the rate since the start and the time
  // left at that rate.
  void Show(const TTreeProgress& Progress);
  // Clears the line so that what follows starts on an empty one.
  void End();

 private:
  const std::string FVerb;
  const bool FTerminal;
  TConsoleIo FIo;
  const TConsoleIo::TClock::time_point FStart;
  TRedrawnLine FLine;
};

// "Packing 3 of 10 files (1.5 of 12.0 MB) 0.5 MB/s, 0:21 left data/a.pak": the line for
// Progress Seconds after the start; the rate once a second has passed and bytes are done.
std::string ProgressText(const std::string& Verb, const TTreeProgress& Progress, double Seconds);

// Bytes as "12.5 MB" with a point whatever the user's settings: vtpublish's lines are read by
// scripts as well as people.
std::string Megabytes(int64_t Bytes);

}  // namespace vt
