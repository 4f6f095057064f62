#pragma once
// Shows an update run as JSON Lines on standard output, one object per line, for a program that
// drives vtupdate: "progress" for every report, then one of "done", "check", "failed" or
// "stopped" (and "retry" for each failed attempt that is tried again, and "source" for each
// server or mirror of a run that had several). Strings are written by
// the record's own writer: pure ASCII, and every byte that is not valid UTF-8 becomes U+FFFD.

#include <functional>
#include <string>

#include "RunReport.h"

namespace vt {

class TJsonView : public TRunReport {
 public:
  // Verify: a check lists the differing files.
  explicit TJsonView(bool Verify, std::function<void(const std::string&)> Out = WriteStdout)
      : FVerify(Verify), FOut(std::move(Out)) {}

  void ShowProgress(const std::string& Text, int64_t Done, int64_t Total) override;
  void Succeeded(int32_t Build) override;
  void Checked(int32_t Build, const TCheckResult& Result) override;
  void AttemptFailed(const std::string& Error, int Attempt, int Attempts, double Wait) override;
  void Failed(const std::string& Error, const std::string& Cause, bool Check) override;
  void Stopped() override;
  void SourcesUsed(const std::vector<TSourceReport>& Sources) override;

 private:
  const bool FVerify;
  std::function<void(const std::string&)> FOut;
};

}  // namespace vt
