// The commands that look after keys and published trees: key show, prune and diff.

#include <charconv>
#include <cstdio>

#include "Args.h"
#include "Commands.h"
#include "ProgressLine.h"
#include "publish/Diff.h"
#include "publish/Prune.h"
#include "publish/Signer.h"

namespace vt {

const char* const KKeyShowUsage = "vtpublish key show KEY_FILE";
const char* const KPruneUsage = "vtpublish prune OUT_DIR --keep N [--dry-run]";
const char* const KDiffUsage = "vtpublish diff OUT_DIR --from A --to B [--channel NAME]";

namespace {

template <typename T>
T ParseNumber(const TArgs& Args, const std::string& Name, T Least) {
  const std::string text = Args.Option(Name);
  T value = 0;
  const char* end = text.data() + text.size();
  const auto [next, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || next != end || value < Least)
    throw TUsageError("--" + Name + " takes a whole number of at least " + std::to_string(Least) +
                      ", not \"" + text + "\"");
  return value;
}

void RequireOptions(const TArgs& Args, std::initializer_list<const char*> Names,
                    const char* Usage) {
  for (const char* name : Names) {
    if (!Args.Has(name))
      throw TUsageError(std::string("--") + name + " is needed; usage: " + Usage);
  }
}

void PrintPaths(const char* Mark, const std::vector<std::string>& Paths) {
  for (const std::string& path : Paths)
    std::printf("%s %s\n", Mark, path.c_str());
}

}  // namespace

void PrintPublicKey(const TSigningKey& Key) {
  std::printf("VT_RELEASE_KEY_X=%s\nVT_RELEASE_KEY_Y=%s\n", Key.PublicX().c_str(),
              Key.PublicY().c_str());
}

int KeyCommand(const TWords& Words) {
  const TArgs args = ParseArgs(Words, {});
  if (args.Help || args.Positional.empty()) {
    if (!args.Help)
      throw TUsageError(std::string("missing arguments; usage: ") + KKeyShowUsage);
    PrintUsage(KKeyShowUsage,
               "Prints the public half of the release key in KEY_FILE as the two CMake cache\n"
               "variables the launcher is built with (the form keygen prints, which verify's\n"
               "--key-x and --key-y take as well).\n");
    return 0;
  }
  if (args.Positional[0] != "show")
    throw TUsageError("unknown key command \"" + args.Positional[0] +
                      "\"; usage: " + KKeyShowUsage);
  RequirePositional(args, 2, 2, KKeyShowUsage);
  PrintPublicKey(TSigningKey::Load(args.Positional[1]));
  return 0;
}

int PruneCommand(const TWords& Words) {
  const TArgs args = ParseArgs(Words, {{"keep"}, {}, {"dry-run"}});
  if (args.Help) {
    PrintUsage(KPruneUsage,
               "Removes the objects and lists of OUT_DIR that neither a live manifest nor\n"
               "the last N published builds of each channel (of the history pack keeps)\n"
               "reference, nor the release a rollout keeps for the others, and the older\n"
               "history entries. Nothing is removed when one of those builds cannot be\n"
               "read. --dry-run lists what would go without removing it.\n");
    return 0;
  }
  RequirePositional(args, 1, 1, KPruneUsage);
  RequireOptions(args, {"keep"}, KPruneUsage);
  const bool dryRun = args.Flags.count("dry-run") > 0;
  const TPruneReport report =
      Prune(args.Positional[0], ParseNumber<int64_t>(args, "keep", 1), dryRun);
  if (dryRun)
    PrintPaths("would remove", report.Removed);
  std::string kept;
  for (size_t i = 0; i < report.KeptBuilds.size(); ++i) {
    kept += (kept.empty() ? "" : ", ") + std::to_string(report.KeptBuilds[i]);
    if (report.KeptChannels[i] != KStableChannel)
      kept += " (" + report.KeptChannels[i] + ")";
  }
  std::printf("%s %s: %lld objects, %lld lists, %lld history entries; kept builds: %s\n",
              dryRun ? "Would free" : "Freed", Megabytes(report.FreedBytes).c_str(),
              static_cast<long long>(report.Objects), static_cast<long long>(report.Lists),
              static_cast<long long>(report.HistoryEntries),
              kept.empty() ? "the live one (no history yet)" : kept.c_str());
  return 0;
}

int DiffCommand(const TWords& Words) {
  const TArgs args = ParseArgs(Words, {{"from", "to", "channel"}, {}, {}});
  if (args.Help) {
    PrintUsage(KDiffUsage,
               "Compares builds A and B of OUT_DIR's history: the files added (+), removed\n"
               "(-) and changed (~), and what a player on build A downloads to reach B.\n"
               "--channel NAME takes both builds from that channel's releases only.\n");
    return 0;
  }
  RequirePositional(args, 1, 1, KDiffUsage);
  RequireOptions(args, {"from", "to"}, KDiffUsage);
  const int32_t from = ParseNumber<int32_t>(args, "from", INT32_MIN);
  const int32_t to = ParseNumber<int32_t>(args, "to", INT32_MIN);
  const TBuildDiff diff = DiffBuilds(args.Positional[0], from, to, ChannelOption(args, ""));
  PrintPaths("+", diff.Added);
  PrintPaths("-", diff.Removed);
  PrintPaths("~", diff.Changed);
  std::printf("Build %d to %d: %zu added, %zu removed, %zu changed\n", from, to, diff.Added.size(),
              diff.Removed.size(), diff.Changed.size());
  std::printf("A player on build %d downloads %lld files, %s (%lld bytes)\n", from,
              static_cast<long long>(diff.DownloadFiles), Megabytes(diff.DownloadBytes).c_str(),
              static_cast<long long>(diff.DownloadBytes));
  if (diff.ChunkedFiles == 0)
    std::printf("With chunk reuse: the same; no changed file has chunk data in both builds\n");
  else
    std::printf(
        "With chunk reuse: %s (%lld bytes); %lld changed files fetch only the chunks they "
        "lack\n",
        Megabytes(diff.ChunkedBytes).c_str(), static_cast<long long>(diff.ChunkedBytes),
        static_cast<long long>(diff.ChunkedFiles));
  return 0;
}

}  // namespace vt
