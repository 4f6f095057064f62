#pragma once
// One update run driven to its end by a caller that has no event loop of its own (a console
// program): the run's thread works while the caller's thread serves the run's calls.

#include <cstdint>
#include <functional>
#include <string>

#include "update/UpdateCheck.h"
#include "update/UpdateView.h"
#include "update/UpdaterOptions.h"

namespace vt {

struct TRunEnd {
  enum class TOutcome { Finished, Failed, Stopped };
  TOutcome Outcome = TOutcome::Failed;
  std::string Error;   // the run's one-line message when it failed
  int32_t Build = 0;   // when it finished: the build on the server
  TCheckResult Check;  // when a check finished: what it found
  std::string Cause;   // when it failed because the launcher's trust refused: which refusal
};

// Runs one update of Dir (absolute, ending in the local separator) from Url on a run of its
// own and returns when it has ended. The run's reports reach View on this thread, UpdateDone
// last. About ten times a second, and after each batch of reports, Interrupted is asked (true:
// the run is stopped and waited for) and Tick is called, when given.
TRunEnd RunToEnd(TUpdateView& View, const std::string& Dir, const std::string& Url,
                 TUpdaterOptions Options, const std::function<bool()>& Interrupted,
                 const std::function<void()>& Tick = {});

}  // namespace vt
