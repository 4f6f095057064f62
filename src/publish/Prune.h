#pragma once
// Removing from an output tree what no recent release needs any more.

#include <cstdint>
#include <string>
#include <vector>

namespace vt {

struct TPruneReport {
  // Of the history entries kept, oldest first, with the channel of each.
  std::vector<int32_t> KeptBuilds;
  std::vector<std::string> KeptChannels;
  // What was (or, in a dry run, would be) removed, relative to the tree, "/" separators:
  // history entries first, then lists, then objects.
  std::vector<std::string> Removed;
  int64_t Objects = 0, Lists = 0, HistoryEntries = 0;
  int64_t FreedBytes = 0;
};

// Removes the lists and objects of OutDir that neither a live manifest nor the history entries
// of the last Keep builds of each channel reference (with the releases their rollouts keep),
// and the history entries older than those. Reads every kept
// release first and removes nothing when one cannot be read, so what the live manifest or a
// kept build needs is never removed. Only files named as pack names them are touched. DryRun
// lists without removing. Raises with a one-line message.
TPruneReport Prune(const std::string& OutDir, int64_t Keep, bool DryRun);

}  // namespace vt
