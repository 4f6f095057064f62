#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vt {

// How one server or mirror served a run's downloads, for the operator.
struct TSourceReport {
  std::string Base;
  int64_t Files = 0;  // transfers it ended
  int64_t Bytes = 0;
  int32_t Failures = 0;
  bool Damaged = false;   // some of its bytes failed their check
  std::string LastError;  // of its last failure
};

// What a run reports to, on the main thread: the launcher window, or a console loop.
class TUpdateView {
 public:
  virtual ~TUpdateView() = default;
  virtual void ShowProgress(const std::string& Text, int64_t Done, int64_t Total) = 0;
  virtual void UpdateDone(const std::string& Error, bool Restart) = 0;
  // After the downloads of a run with more than one source, and before UpdateDone.
  virtual void SourcesUsed(const std::vector<TSourceReport>& Sources) {}
};

}  // namespace vt
