#include "Args.h"

#include <cstdio>

namespace vt {

std::string TArgs::Option(const std::string& Name, const std::string& Default) const {
  const auto found = Options.find(Name);
  return found == Options.end() ? Default : found->second;
}

void PrintUsage(const char* Usage, const char* Details) {
  std::printf("Usage: %s\n\n%s", Usage, Details);
}

void RequirePositional(const TArgs& Args, size_t Least, size_t Most, const char* Usage) {
  if (Args.Positional.size() < Least)
    throw TUsageError(std::string("missing arguments; usage: ") + Usage);
  if (Args.Positional.size() > Most)
    throw TUsageError("unexpected argument " + Args.Positional[Most]);
}

TArgs ParseArgs(const std::vector<std::string>& Words, const TAccepted& Accepted) {
  TArgs args;
  bool optionsEnded = false;
  for (size_t i = 0; i < Words.size(); ++i) {
    const std::string& word = Words[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      args.Positional.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    if (word == "--help" || word == "-h") {
      args.Help = true;
      continue;
    }
    const size_t equals = word.find('=');
    const std::string name = word.substr(word.starts_with("--") ? 2 : 1, equals - 2);
    const bool repeatable = Accepted.Repeatable.count(name) > 0;
    if (word.starts_with("--") && Accepted.Flags.count(name)) {
      if (equals != std::string::npos)
        throw TUsageError("--" + name + " takes no value");
      args.Flags.insert(name);
      continue;
    }
    if (!word.starts_with("--") || !(Accepted.Single.count(name) || repeatable))
      throw TUsageError("unknown option " + word.substr(0, equals));
    std::string value;
    if (equals != std::string::npos) {
      value = word.substr(equals + 1);
    } else if (i + 1 < Words.size()) {
      value = Words[++i];
    } else {
      throw TUsageError("--" + name + " needs a value");
    }
    if (repeatable)
      args.Lists[name].push_back(value);
    else if (!args.Options.emplace(name, value).second)
      throw TUsageError("--" + name + " given twice");
  }
  return args;
}

}  // namespace vt
