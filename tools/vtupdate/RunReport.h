#pragma once
// Where vtupdate tells what happens: text for people (ConsoleView) or JSON Lines for programs
// (JsonView). The engine's reports arrive through TUpdateView; the ends of runs and attempts
// come from the tool itself.

#include <cstdint>
#include <string>

#include "update/Updater.h"

namespace vt {

class TRunReport : public TUpdateView {
 public:
  void UpdateDone(const std::string& Error, bool Restart) override {
    FFinished = true;
    FError = Error;
  }
  // Forgets the last run's end, before the next attempt.
  void Reset() {
    FFinished = false;
    FError.clear();
  }
  bool Finished() const { return FFinished; }
  const std::string& Error() const { return FError; }

  // Called about ten times a second while a run goes on.
  virtual void Tick() {}
  // The run brought the folder up to date with Build.
  virtual void Succeeded(int32_t Build) = 0;
  // A check found Build on the server and Result in the folder.
  virtual void Checked(int32_t Build, const TCheckResult& Result) = 0;
  // Attempt (from 1) of Attempts failed with Error; the next begins in Wait seconds.
  virtual void AttemptFailed(const std::string& Error, int Attempt, int Attempts, double Wait) = 0;
  // The last attempt failed with Error (Check: it was a check).
  virtual void Failed(const std::string& Error, bool Check) = 0;
  // Ctrl-C or SIGTERM stopped the run.
  virtual void Stopped() = 0;

 private:
  bool FFinished = false;
  std::string FError;
};

// Writes Text to standard output at once (the reports must reach a pipe as they happen).
void WriteStdout(const std::string& Text);
// Writes Text to standard error.
void WriteStderr(const std::string& Text);

}  // namespace vt
