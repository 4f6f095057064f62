#include "publish/Exclude.h"

namespace vt {

namespace {

std::string_view Trimmed(std::string_view Text) {
  const size_t first = Text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos)
    return {};
  return Text.substr(first, Text.find_last_not_of(" \t\r") - first + 1);
}

std::string_view LastName(std::string_view Path) {
  const size_t slash = Path.rfind('/');
  return slash == std::string_view::npos ? Path : Path.substr(slash + 1);
}

}  // namespace

bool MatchesGlob(std::string_view Pattern, std::string_view Path) {
  if (Pattern.empty())
    return Path.empty();
  if (Pattern.starts_with("**")) {
    std::string_view rest = Pattern.substr(2);
    // "**/" may stand for no folder at all.
    if (rest.starts_with('/') && MatchesGlob(rest.substr(1), Path))
      return true;
    for (size_t i = 0; i <= Path.size(); ++i) {
      if (MatchesGlob(rest, Path.substr(i)))
        return true;
    }
    return false;
  }
  if (Pattern[0] == '*') {
    for (size_t i = 0; i <= Path.size(); ++i) {
      if (MatchesGlob(Pattern.substr(1), Path.substr(i)))
        return true;
      if (i < Path.size() && Path[i] == '/')
        return false;
    }
    return false;
  }
  if (Path.empty())
    return false;
  if (Pattern[0] == '?' ? Path[0] == '/' : Pattern[0] != Path[0])
    return false;
  return MatchesGlob(Pattern.substr(1), Path.substr(1));
}

void TExcludeRules::Add(std::string_view Pattern) {
  std::string_view text = Trimmed(Pattern);
  TRule rule;
  while (text.size() > 1 && text.back() == '/') {
    rule.FoldersOnly = true;
    text.remove_suffix(1);
  }
  if (text.starts_with('/')) {
    rule.Anchored = true;
    text.remove_prefix(1);
  }
  if (text.empty() || text == "/")
    return;
  rule.Anchored = rule.Anchored || text.find('/') != std::string_view::npos;
  rule.Pattern = std::string(text);
  FRules.push_back(std::move(rule));
}

void TExcludeRules::AddLines(std::string_view Text) {
  while (!Text.empty()) {
    const size_t end = std::min(Text.find('\n'), Text.size());
    const std::string_view line = Trimmed(Text.substr(0, end));
    if (!line.starts_with('#'))
      Add(line);
    Text.remove_prefix(std::min(end + 1, Text.size()));
  }
}

std::string TExcludeRules::Why(std::string_view Path, bool Folder) const {
  if (IsVersionControl(LastName(Path)))
    return KVersionControl;
  if (Path == KIgnoreFileName)
    return KIgnoreFileName;
  for (const TRule& rule : FRules) {
    if (rule.FoldersOnly && !Folder)
      continue;
    if (MatchesGlob(rule.Pattern, rule.Anchored ? Path : LastName(Path)))
      return rule.Pattern;
  }
  return {};
}

bool TExcludeRules::IsVersionControl(std::string_view Name) {
  return Name == ".git" || Name == ".svn" || Name == ".hg";
}

}  // namespace vt
