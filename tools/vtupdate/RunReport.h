#pragma once
// Where vtupdate tells what happens: text for people (ConsoleView) or JSON Lines for programs
// (JsonView). The engine's reports arrive through TUpdateView; the ends of runs and attempts
// come from the tool itself.

#include <cstdint>
#include <string>

#include "ConsoleLine.h"
#include "update/UpdateCheck.h"
#include "update/UpdateView.h"

namespace vt {

class TRunReport : public TUpdateView {
 public:
  // The run's end is told by the calls below, once the tool knows whether it tries again.
  void UpdateDone(const std::string& Error, bool Restart) override {}

  // Called about ten times a second while a run goes on.
  virtual void Tick() {}
  // The run brought the folder up to date with Build.
  virtual void Succeeded(int32_t Build) = 0;
  // A check found Build on the server and Result in the folder.
  virtual void Checked(int32_t Build, const TCheckResult& Result) = 0;
  // Attempt (from 1) of Attempts failed with Error; the next begins in Wait seconds.
  virtual void AttemptFailed(const std::string& Error, int Attempt, int Attempts, double Wait) = 0;
  // The last attempt failed with Error; Cause names the trust's refusal, if it was one (Check:
  // it was a check).
  virtual void Failed(const std::string& Error, const std::string& Cause, bool Check) = 0;
  // Ctrl-C or SIGTERM stopped the run.
  virtual void Stopped() = 0;
};

}  // namespace vt
