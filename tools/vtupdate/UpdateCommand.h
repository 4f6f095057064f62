#pragma once
// vtupdate's command line: strict, so that a slip never runs against the wrong folder or server.
// An option is written with one or two dashes ("-dir" or "--dir"), its name in any letter case,
// its value in the next parameter or glued on with "=" ("--dir=X", the way to give a value that
// begins with "-").

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/Options.h"

namespace vt {

// A command line that cannot be run; what() is one line naming the offending parameter.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TUpdateCommand {
  bool Help = false;
  bool Version = false;
  std::string Dir;      // absolute, ending in the local separator
  std::string Url;      // ending in "/"
  std::string Channel;  // empty: the one the folder follows
  bool Check = false;
  bool Json = false;
  bool Verify = false;
  bool WaitLock = false;
  bool SkipRollout = false;
  int Retries = 0;
  int64_t LimitRate = 0;             // bytes a second; 0: no limit
  std::vector<std::string> Mirrors;  // each ending in "/", in the order given
  bool MirrorFirst = false;
};

// Exit statuses of vtupdate.
constexpr int KExitUpToDate = 0;
constexpr int KExitFailed = 1;
constexpr int KExitUsage = 2;
constexpr int KExitUpdateAvailable = 10;
constexpr int KExitStopped = 130;

// The longest wait between two attempts, in seconds.
constexpr int KMaxRetryWait = 60;
// Most retries --retries takes: with the wait's cap that is well over an hour of trying.
constexpr int KMaxRetries = 100;

// Reads Params (the program's name left out). ProgramFolder is the folder vtupdate runs from
// when it holds "installed.json" (the default game folder), else empty, and then "-dir" is
// required. DefaultUrl stands in for a missing "-url". Raises TUsageError.
TUpdateCommand ParseUpdateCommand(const std::vector<std::string>& Params,
                                  const std::string& ProgramFolder, const std::string& DefaultUrl);

// Seconds to wait before retry number Attempt (1 for the first): 1, 2, 4 ... capped at
// KMaxRetryWait, each scaled by Jitter (0 to 1, uniform) into 80 % to 100 % of that, so that many
// machines retrying one server do not come back in step.
double RetryDelaySeconds(int Attempt, double Jitter);

// The text of --help.
std::string HelpText(const std::string& DefaultUrl);

}  // namespace vt
