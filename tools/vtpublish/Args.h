#pragma once
// The command line of vtpublish: positional words and "--name value" (or "--name=value")
// options, checked against what each command accepts.

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace vt {

// A command line that does not fit the command's usage (exit status 2).
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TArgs {
  std::vector<std::string> Positional;
  std::map<std::string, std::string> Options;             // by name without the dashes
  std::map<std::string, std::vector<std::string>> Lists;  // repeatable options, in order
  std::set<std::string> Flags;  // options without a value that stood there
  bool Help = false;            // "--help" or "-h" stood among them

  // The option's value, or Default when it was not given.
  std::string Option(const std::string& Name, const std::string& Default = {}) const;
  bool Has(const std::string& Name) const { return Options.count(Name) > 0; }
};

// What a command accepts: options with one value, options that may be repeated, and flags
// (no value).
struct TAccepted {
  std::set<std::string> Single;
  std::set<std::string> Repeatable;
  std::set<std::string> Flags;
};

// Splits Words (the command's own words, without the command) into the options that Accepted names
// and positional words; "--" ends the options. Raises TUsageError for an unknown option, a missing
// value, a value given to a flag, or a single option given twice.
TArgs ParseArgs(const std::vector<std::string>& Words, const TAccepted& Accepted);

// Prints "Usage: " Usage, a blank line and Details (the command's --help).
void PrintUsage(const char* Usage, const char* Details);

// Raises TUsageError unless Args holds Least to Most positional words.
void RequirePositional(const TArgs& Args, size_t Least, size_t Most, const char* Usage);

}  // namespace vt
