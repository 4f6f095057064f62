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
  std::map<std::string, std::string> Options;  // by name without the dashes
  bool Help = false;                           // "--help" or "-h" stood among them

  // The option's value, or Default when it was not given.
  std::string Option(const std::string& Name, const std::string& Default = {}) const;
  bool Has(const std::string& Name) const { return Options.count(Name) > 0; }
};

// Splits Words (the command's own words, without the command) into options named in Known and
// positional words; "--" ends the options. Raises TUsageError for an unknown option, a
// missing value, or an option given twice.
TArgs ParseArgs(const std::vector<std::string>& Words, const std::set<std::string>& Known);

}  // namespace vt
