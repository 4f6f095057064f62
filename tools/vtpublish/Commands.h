#pragma once
// The commands of vtpublish. Each takes the words after its name and returns the exit status
// (0 done, 1 failed); a command line that does not fit raises TUsageError, a failure raises
// std::exception with a one-line message, and Ctrl-C during a long command raises TStopped.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vt {

class TStopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using TWords = std::vector<std::string>;

class TSigningKey;
struct TArgs;
struct TPublication;
struct TManifestStamp;

int KeygenCommand(const TWords& Words);
int KeyCommand(const TWords& Words);
int PruneCommand(const TWords& Words);
int DiffCommand(const TWords& Words);

// Prints the public half of Key as keygen and key show do.
void PrintPublicKey(const TSigningKey& Key);
int PackCommand(const TWords& Words);
int VerifyCommand(const TWords& Words);
int KeysCommand(const TWords& Words);
int RefreshCommand(const TWords& Words);
int RolloutCommand(const TWords& Words);

// The keys (--key, repeatable) and expiry (--expires) that pack and refresh sign with.
TPublication ReadPublication(const TArgs& Args);
// The --channel value: a channel's name, or Default when it was not given.
std::string ChannelOption(const TArgs& Args, const std::string& Default);
// "25" or "25%" for a share of installs, 1 to 100; What names the option in the error.
int32_t ParsePercent(const std::string& Text, const std::string& What);
// "Release 44, expires 2027-01-05T00:00:00Z, signed for keys version 2"
void PrintStamp(const TManifestStamp& Stamp);

// Usage lines of each command, for the help text and usage errors.
extern const char* const KKeygenUsage;
extern const char* const KPackUsage;
extern const char* const KVerifyUsage;
extern const char* const KKeyShowUsage;
extern const char* const KPruneUsage;
extern const char* const KDiffUsage;
extern const char* const KKeysUsage;
extern const char* const KRefreshUsage;
extern const char* const KRolloutUsage;

}  // namespace vt
