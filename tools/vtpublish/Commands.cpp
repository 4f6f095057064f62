#include "Commands.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "Args.h"
#include "ProgressLine.h"
#include "format/Digest.h"
#include "format/Keys.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "publish/Exclude.h"
#include "publish/Pack.h"
#include "publish/PackCache.h"
#include "publish/Signer.h"
#include "publish/Signing.h"
#include "publish/VerifyTree.h"

namespace vt {

const char* const KKeygenUsage = "vtpublish keygen [KEY_FILE]";
const char* const KPackUsage =
    "vtpublish pack GAME_DIR OUT_DIR --build N --key KEY_FILE... [--expires DURATION]\n"
    "                    [--channel NAME] [--rollout PERCENT | --critical]\n"
    "                    [--mirror URL]... [--object-mirror URL]... [--no-mirrors]\n"
    "                    [--objects BASE] [--compress auto|always|never] [--exclude PATTERN]...\n"
    "                    [--chunks auto|never] [--threads N] [--allow-same-or-lower]";
const char* const KVerifyUsage = "vtpublish verify OUT_DIR [--key KEY_FILE | --key-x X --key-y Y]";

namespace {

namespace fs = std::filesystem;

std::atomic<bool> GStop{false};

void OnCtrlC() {
  GStop.store(true);
}

int32_t ParseBuild(const std::string& Text) {
  int32_t value = 0;
  const char* end = Text.data() + Text.size();
  const auto [next, error] = std::from_chars(Text.data(), end, value);
  if (Text.empty() || error != std::errc() || next != end)
    throw TUsageError("--build takes a 32-bit integer, not \"" + Text + "\"");
  return value;
}

TCompress ParseCompress(const std::string& Text) {
  if (Text == "auto")
    return TCompress::Auto;
  if (Text == "always")
    return TCompress::Always;
  if (Text == "never")
    return TCompress::Never;
  throw TUsageError("--compress takes auto, always or never, not \"" + Text + "\"");
}

// The coordinate of --key-x or --key-y: 64 hex digits, also in the "VT_RELEASE_KEY_X=..."
// form keygen and key show print (with or without CMake's "-D").
std::string ParseKeyCoordinate(const TArgs& Args, const std::string& Name) {
  std::string value = Args.Option(Name);
  const std::string variable = "VT_RELEASE_KEY_" + std::string(1, Name.back() == 'x' ? 'X' : 'Y');
  if (value.starts_with("-D"))
    value.erase(0, 2);
  if (value.starts_with(variable + "="))
    value.erase(0, variable.size() + 1);
  if (!IsHexText(value, 64))
    throw TUsageError("--" + Name + " takes 64 hex digits, or " + variable + "=<64 hex digits>");
  return value;
}

TChunks ParseChunks(const std::string& Text) {
  if (Text == "auto")
    return TChunks::Auto;
  if (Text == "never")
    return TChunks::Never;
  throw TUsageError("--chunks takes auto or never, not \"" + Text + "\"");
}

// "The store already held 3993.6 MB of this build's 4096.0 MB (97 %): ..." The percentage is
// rounded down, so that 100 % means all of it.
void PrintHeld(const TPackResult& Result) {
  const int64_t held = Result.HeldWhole + Result.HeldChunks;
  const int64_t percent =
      held >= Result.Bytes
          ? 100
          : std::min<int64_t>(99, static_cast<int64_t>(static_cast<double>(held) * 100.0 /
                                                       static_cast<double>(Result.Bytes)));
  std::printf(
      "The store already held %s of this build's %s (%lld %%): %s as whole files, %s as "
      "chunks of earlier builds' files\n",
      Megabytes(held).c_str(), Megabytes(Result.Bytes).c_str(), static_cast<long long>(percent),
      Megabytes(Result.HeldWhole).c_str(), Megabytes(Result.HeldChunks).c_str());
}

int ParseThreads(const std::string& Text) {
  int value = 0;
  const char* end = Text.data() + Text.size();
  const auto [next, error] = std::from_chars(Text.data(), end, value);
  if (Text.empty() || error != std::errc() || next != end || value < 1 || value > KMaxPackThreads)
    throw TUsageError("--threads takes a count from 1 to " + std::to_string(KMaxPackThreads) +
                      ", not \"" + Text + "\"");
  return value;
}

// Called with every progress step: redraws the line and turns Ctrl-C into TStopped.
TProgressCallback Watch(TProgressLine& Line) {
  return [&Line](const TTreeProgress& Progress) {
    if (GStop.load())
      throw TStopped("stopped");
    Line.Show(Progress);
  };
}

double SecondsSince(std::chrono::steady_clock::time_point Start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

// Writes Pem to a new file at Path readable by its owner only; never replaces a file.
void WriteNewKeyFile(const std::string& Path, const std::string& Pem) {
  const std::string temp = Path + ".tmp";
  TFile file = TFile::Create(temp);
  // Narrowed while still empty, so the key is never readable by others.
  std::error_code error;
  fs::permissions(temp, fs::perms::owner_read | fs::perms::owner_write, error);
  if (!error) {
    file.Write(Pem.data(), Pem.size());
    file.Close();
  }
  const TSysStatus moved = error ? TSysStatus() : RenameFile(temp, Path);
  if (error || !moved) {
    RemoveFile(temp);
    // A rename that never replaces fails for a key already there, or for its own reason.
    std::error_code ignored;
    const std::string why = error                       ? error.message()
                            : fs::exists(Path, ignored) ? "already exists; it was left unchanged"
                                                        : moved.Text();
    throw std::runtime_error(Path + ": " + why);
  }
}

}  // namespace

int KeygenCommand(const TWords& Words) {
  const TArgs args = ParseArgs(Words, {});
  if (args.Help) {
    PrintUsage(KKeygenUsage,
               "Makes a new P-256 release key and writes its private half to KEY_FILE\n"
               "(default release-key.pem, readable by its owner only; an existing file is\n"
               "never replaced). Prints the public half as the two CMake cache variables the\n"
               "launcher is built with.\n");
    return 0;
  }
  RequirePositional(args, 0, 1, KKeygenUsage);
  const std::string path = args.Positional.empty() ? "release-key.pem" : args.Positional[0];
  std::error_code error;
  if (fs::symlink_status(path, error).type() != fs::file_type::not_found)
    throw std::runtime_error(path + ": already exists; it was left unchanged");
  const TSigningKey key = TSigningKey::Generate();
  WriteNewKeyFile(path, key.Pem());
  PrintPublicKey(key);
  std::printf(
      "Build the launcher with cmake -DVT_RELEASE_KEY_X=... -DVT_RELEASE_KEY_Y=... "
      "(the values above), and keep %s secret.\n",
      path.c_str());
  return 0;
}

namespace {

// What pack was asked to do.
struct TPackRequest {
  std::string GameDir;
  std::string OutDir;
  TPublication Publication;
  TPackOptions Options;
};

std::string MiB(int64_t Bytes) {
  return std::to_string(Bytes / (1024 * 1024)) + " MiB";
}

std::string PackHelp() {
  return "Turns GAME_DIR into the tree an update server serves, in OUT_DIR: the objects\n"
         "(named by SHA-256, zlib-compressed as --compress says; auto keeps a compressed\n"
         "object only when it is at least " +
         std::to_string(KAutoSavingPercent) +
         "% smaller), the file list, the manifest\n"
         "\"version\" for build N with the next release number, and its signatures made with\n"
         "KEY_FILE (--key, repeatable, enough for the threshold of release keys; see vtpublish\n"
         "keys): \"version.sigs\" by every key, \"version.sig\" by the first for launchers\n"
         "built before keys documents. --expires DURATION (7d, 12h, 30m) makes launchers\n"
         "refuse the release after that time; renew it with vtpublish refresh.\n"
         "--channel NAME publishes on that channel (\"beta\"), in channels/NAME/, sharing the\n"
         "objects; only launchers that follow it (vtupdate --channel, vtlaunch -channel) see\n"
         "it. Without it the release goes to the stable channel, which every launcher reads.\n"
         "--rollout PERCENT (1 to 100) sends the release to that share of installs first; the\n"
         "others keep the live release (see vtpublish rollout to widen, halt or end it).\n"
         "While a rollout goes on, a new build needs --critical, which sends it to every\n"
         "install at once, or the rollout halted or ended first.\n"
         "--mirror URL (repeatable) names another server that serves this same tree, and\n"
         "--object-mirror URL another store of the objects: launchers fetch from all of\n"
         "them and reach a mirror when this server is down. They stay in the manifest of\n"
         "every later pack until given anew; --no-mirrors drops them.\n"
         "Objects already in OUT_DIR are reused; the manifest is written last.\n"
         "--objects BASE sets where the launcher looks for objects: a folder below the\n"
         "update server's base (default o/), or an http(s) URL ending in \"/\" (the\n"
         "objects then go to OUT_DIR/o/ for you to upload there).\n"
         "--exclude PATTERN (repeatable) leaves out matching files and folders: \"*\"\n"
         "within a name, \"**\" across folders; a pattern without \"/\" matches a name at\n"
         "any depth, one with \"/\" the path from the top. GAME_DIR/" +
         std::string(KIgnoreFileName) +
         "\n"
         "holds more, one a line; .git, .svn and .hg are always left out.\n"
         "A build not greater than the live one is refused unless --allow-same-or-lower\n"
         "is given (a rollback on purpose).\n"
         "--chunks auto (the default) gives every file of " +
         MiB(KChunkedFileMin) +
         " or more chunk data: its\n"
         "object is written as a store of content-defined chunks, with a chunk index\n"
         "beside it, so that players fetch only the chunks they lack; clients that know\n"
         "nothing of chunks fetch the same object whole. --chunks never leaves it out.\n"
         "--threads N packs N files at once (default: one per core, at most " +
         std::to_string(KMaxPackThreads) +
         "; the\n"
         "tree is the same either way). OUT_DIR/" +
         std::string(KPrivateFolder) +
         "/ keeps the history of\n"
         "published manifests and a cache that spares re-reading unchanged files;\n"
         "clients never request it.\n";
}

// --mirror and --object-mirror: each list replaces the live release's when given, and
// --no-mirrors empties both.
void ReadMirrorSwitches(const TArgs& Args, TPublication& Publication) {
  const bool none = Args.Flags.count("no-mirrors") > 0;
  const auto read = [&](const char* Name, std::optional<std::vector<std::string>>& Bases) {
    const auto found = Args.Lists.find(Name);
    if (found == Args.Lists.end()) {
      if (none)
        Bases.emplace();
      return;
    }
    if (none)
      throw TUsageError(std::string("--no-mirrors drops every mirror; leave out --") + Name);
    if (found->second.size() > KMaxMirrors)
      throw TUsageError("a manifest lists at most " + std::to_string(KMaxMirrors) + " of --" +
                        Name);
    Bases.emplace();
    for (const std::string& url : found->second) {
      if (!IsMirrorUrl(url))
        throw TUsageError(std::string("--") + Name + " takes an http:// or https:// URL, not \"" +
                          url + "\"");
      Bases->push_back(url.back() == '/' ? url : url + "/");
    }
  };
  read("mirror", Publication.Mirrors);
  read("object-mirror", Publication.ObjectMirrors);
}

TPackRequest ReadPackSwitches(const TArgs& Args) {
  RequirePositional(Args, 2, 2, KPackUsage);
  if (!Args.Has("build") || !Args.Lists.count("key"))
    throw TUsageError(std::string("pack needs --build and --key; usage: ") + KPackUsage);
  TPackRequest request{Args.Positional[0], Args.Positional[1], {}, {}};
  TPackOptions& options = request.Options;
  options.Build = ParseBuild(Args.Option("build"));
  options.Compress = ParseCompress(Args.Option("compress", "auto"));
  options.Chunks = ParseChunks(Args.Option("chunks", "auto"));
  options.Objects = Args.Option("objects");
  options.AllowSameOrLower = Args.Flags.count("allow-same-or-lower") > 0;
  if (Args.Has("threads"))
    options.Threads = ParseThreads(Args.Option("threads"));
  if (const auto found = Args.Lists.find("exclude"); found != Args.Lists.end())
    options.Exclude = found->second;

  try {
    ObjectsFolderFor(options.Objects);
  } catch (const std::exception& e) {
    throw TUsageError(e.what());
  }
  if (Args.Has("rollout"))
    options.Rollout = ParsePercent(Args.Option("rollout"), "--rollout");
  options.Critical = Args.Flags.count("critical") > 0;
  if (options.Rollout && options.Critical)
    throw TUsageError("--critical sends the release to every install at once; leave out --rollout");
  request.Publication = ReadPublication(Args);
  ReadMirrorSwitches(Args, request.Publication);
  options.MoreKeys.assign(request.Publication.Keys.begin() + 1, request.Publication.Keys.end());
  options.ExpiresIn = request.Publication.ExpiresIn;
  options.Channel = request.Publication.Channel;
  options.Mirrors = request.Publication.Mirrors;
  options.ObjectMirrors = request.Publication.ObjectMirrors;
  return request;
}

// The notes on what pack left out or kept as it was.
void PrintPackNotes(const TPackRequest& Request, const TPackResult& Result) {
  for (const std::string& folder : Result.LeftOutVcs)
    std::printf("note: left out %s (version control)\n", folder.c_str());
  if (Result.Excluded > 0)
    std::printf("note: left out %lld files and folders that --exclude or %s name\n",
                static_cast<long long>(Result.Excluded), KIgnoreFileName);
  if (Result.PreviousBuild && *Result.PreviousBuild >= Request.Options.Build)
    std::printf("note: build %d replaces the higher or equal build %d (--allow-same-or-lower)\n",
                Request.Options.Build, *Result.PreviousBuild);
  if (Result.WithoutChunks > 0)
    std::printf(
        "note: %lld files of %s or more keep their zlib object, stored earlier without "
        "chunk data; they get it when they change\n",
        static_cast<long long>(Result.WithoutChunks), MiB(Request.Options.ChunkFrom).c_str());
  if (!Result.CacheProblem.empty())
    std::printf("note: the pack cache was not saved (%s); the next pack reads every file\n",
                Result.CacheProblem.c_str());
}

void PrintPackReport(const TPackRequest& Request, const TPackResult& Result, double Seconds) {
  PrintPackNotes(Request, Result);
  std::printf(
      "Packed build %d: %lld files, %s; objects %lld written, %lld reused; "
      "%lld compressed, %lld with chunk data, %s stored; %lld files unread (unchanged); "
      "%.1f s (%.1f MB/s read)\n",
      Request.Options.Build, static_cast<long long>(Result.Files), Megabytes(Result.Bytes).c_str(),
      static_cast<long long>(Result.ObjectsWritten), static_cast<long long>(Result.ObjectsReused),
      static_cast<long long>(Result.Compressed), static_cast<long long>(Result.Chunked),
      Megabytes(Result.StoredBytes).c_str(), static_cast<long long>(Result.FromCache), Seconds,
      static_cast<double>(Result.Bytes - Result.UnreadBytes) / 1048576.0 / std::max(Seconds, 1e-3));
  PrintHeld(Result);
  PrintStamp(Result.Stamp);
  if (Result.UploadObjects) {
    std::printf("Upload the objects in %s to %s before publishing \"version\".\n",
                (fs::path(Request.OutDir) / Result.ObjectsFolder).string().c_str(),
                Request.Options.Objects.c_str());
  }
}

}  // namespace

int PackCommand(const TWords& Words) {
  const TArgs args = ParseArgs(Words, {{"build", "objects", "compress", "chunks", "threads",
                                        "expires", "channel", "rollout"},
                                       {"exclude", "key", "mirror", "object-mirror"},
                                       {"allow-same-or-lower", "critical", "no-mirrors"}});
  if (args.Help) {
    PrintUsage(KPackUsage, PackHelp().c_str());
    return 0;
  }
  TPackRequest request = ReadPackSwitches(args);
  const TSigningKey& key = request.Publication.Keys.front();
  const auto start = std::chrono::steady_clock::now();
  TProgressLine line("Packing", StdoutIsTerminal());
  request.Options.Progress = Watch(line);
  OnInterrupt(OnCtrlC);
  const TPackResult result = Pack(request.GameDir, request.OutDir, key, request.Options);
  line.End();
  PrintPackReport(request, result, SecondsSince(start));
  return 0;
}

int VerifyCommand(const TWords& Words) {
  const TArgs args = ParseArgs(Words, {{"key-x", "key-y", "key"}, {}, {}});
  if (args.Help) {
    PrintUsage(KVerifyUsage,
               "Checks a tree made by pack as the launcher would read it: the keys documents\n"
               "from the root (by default the root keys built into this program; or the public\n"
               "half of KEY_FILE, or X and Y as keygen prints them) to the newest, the\n"
               "signatures of \"version\", its expiry, the manifest, the file list, every\n"
               "object's size and SHA-256, and the chunk\n"
               "data of files that have it (the chunk index, and every chunk on its own).\n"
               "Lists every problem found and exits with 1 when there is any.\n");
    return 0;
  }
  RequirePositional(args, 1, 1, KVerifyUsage);
  if (args.Has("key-x") != args.Has("key-y"))
    throw TUsageError("--key-x and --key-y go together");
  if (args.Has("key") && args.Has("key-x"))
    throw TUsageError("give --key or --key-x and --key-y, not both");
  TKeyRole root = BuiltInRoot();
  if (args.Has("key-x"))
    root = {1, {{ParseKeyCoordinate(args, "key-x"), ParseKeyCoordinate(args, "key-y")}}};
  if (args.Has("key")) {
    const TSigningKey key = TSigningKey::Load(args.Option("key"));
    root = {1, {{key.PublicX(), key.PublicY()}}};
  }

  const std::string& out = args.Positional[0];
  TProgressLine line("Checking", StdoutIsTerminal());
  OnInterrupt(OnCtrlC);
  const TVerifyReport report = VerifyTree(out, root, Watch(line));
  line.End();
  if (GStop.load())
    throw TStopped("stopped");
  for (const std::string& note : report.Notes)
    std::printf("note: %s\n", note.c_str());
  for (const std::string& problem : report.Problems)
    std::fprintf(stderr, "vtpublish: %s\n", problem.c_str());
  if (!report.Problems.empty()) {
    std::fprintf(stderr, "vtpublish: %s: %zu problem%s found\n", out.c_str(),
                 report.Problems.size(), report.Problems.size() == 1 ? "" : "s");
    return 1;
  }
  std::printf(
      "%s: build %d is sound: %lld files (%s), %lld objects checked (%lld compressed), %lld "
      "chunk indexes checked\n",
      out.c_str(), report.Build, static_cast<long long>(report.Files),
      Megabytes(report.Bytes).c_str(), static_cast<long long>(report.Objects),
      static_cast<long long>(report.Compressed), static_cast<long long>(report.Indexes));
  return 0;
}

}  // namespace vt
