#pragma once
// One redrawn status line on a terminal for the long commands; nothing elsewhere.

#include <chrono>
#include <cstdint>
#include <string>

#include "publish/Pack.h"

namespace vt {

class TProgressLine {
 public:
  // Verb starts the line ("Packing", "Checking"). Terminal false shows nothing.
  TProgressLine(std::string Verb, bool Terminal) : FVerb(std::move(Verb)), FTerminal(Terminal) {}
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
  std::string FVerb;
  bool FTerminal;
  bool FOpen = false;
  std::chrono::steady_clock::time_point FStart = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point FLast{};
};

// Bytes as "12.5 MB" with a point whatever the user's settings: vtpublish's lines are read by
// scripts as well as people.
std::string Megabytes(int64_t Bytes);

}  // namespace vt
