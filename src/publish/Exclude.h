#pragma once
// Which files of a game folder a release leaves out: the publisher's patterns (from --exclude
// and the folder's ".vtpublishignore") and version-control folders.

#include <string>
#include <string_view>
#include <vector>

namespace vt {

// The file at the game folder's top whose lines are more patterns; it is left out itself.
constexpr const char* KIgnoreFileName = ".vtpublishignore";
// What TExcludeRules::Why says for a version-control folder.
constexpr const char* KVersionControl = "version control";

// True when Path ("/" separators) matches Pattern as a whole: "*" stands for any run of
// characters within one name, "?" for one character other than "/", "**" for any run of
// characters across names ("a/**/b" also matches "a/b").
bool MatchesGlob(std::string_view Pattern, std::string_view Path);

class TExcludeRules {
 public:
  // Adds one pattern. One without a "/" matches a file or folder name at any depth ("*.pdb",
  // ".DS_Store"); one with a "/" matches the whole path from the top ("tools/**", a leading
  // "/" is dropped); a trailing "/" limits it to folders. A matched folder is left out with
  // everything in it. Blank patterns are ignored.
  void Add(std::string_view Pattern);
  // Adds the patterns of an ignore file's text: one a line, "#" starting a comment line,
  // blanks at either end dropped.
  void AddLines(std::string_view Text);

  // Why Path (a folder when Folder) is left out: "" when it is not, else the pattern or the
  // reason.
  std::string Why(std::string_view Path, bool Folder) const;

  // True for the names of version-control folders (".git", ".svn", ".hg"), always left out.
  static bool IsVersionControl(std::string_view Name);

 private:
  struct TRule {
    std::string Pattern;
    bool Anchored = false;     // held a "/": matched against the whole path
    bool FoldersOnly = false;  // ended in "/"
  };
  std::vector<TRule> FRules;
};

}  // namespace vt
