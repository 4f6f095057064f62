// The commands of trust: keys (the tree's keys document and its changes), refresh (the live
// release signed again with a new sequence and expiry) and rollout (its share of installs).

#include <charconv>
#include <cstdio>
#include <filesystem>

#include "Args.h"
#include "Commands.h"
#include "format/UtcTime.h"
#include "platform/Files.h"
#include "publish/KeyRotation.h"
#include "publish/Signing.h"

namespace vt {

const char* const KKeysUsage =
    "vtpublish keys show|add-release|retire-release|replace-root|sign|drop OUT_DIR ...";
const char* const KRefreshUsage =
    "vtpublish refresh OUT_DIR --key KEY_FILE... [--expires DURATION] [--channel NAME]";
const char* const KRolloutUsage =
    "vtpublish rollout OUT_DIR PERCENT|halt --key KEY_FILE... [--expires DURATION] [--channel "
    "NAME]";

namespace {

namespace fs = std::filesystem;

// Each keys command in full, for its --help.
constexpr const char* KKeysForms =
    "vtpublish keys show OUT_DIR [--root PUBLIC_KEY]...\n"
    "       vtpublish keys add-release OUT_DIR PUBLIC_KEY [--threshold N] [--key ROOT_KEY]...\n"
    "       vtpublish keys retire-release OUT_DIR PUBLIC_KEY [--threshold N] [--key ROOT_KEY]...\n"
    "       vtpublish keys replace-root OUT_DIR OLD_KEY NEW_KEY [--threshold N] [--key "
    "ROOT_KEY]...\n"
    "       vtpublish keys sign OUT_DIR --key ROOT_KEY...\n"
    "       vtpublish keys drop OUT_DIR";

constexpr const char* KKeysHelp =
    "The launcher trusts the root keys built into it. They hand the signing of releases to\n"
    "release keys through a keys document the tree serves (keys/N.json, signed in\n"
    "keys/N.sigs); each new version must be signed by enough of the current root keys and\n"
    "of its own. Before the first version the root keys sign releases themselves.\n"
    "  show            the newest version, its keys, and a change waiting for signatures\n"
    "  add-release     a new release key (PUBLIC_KEY: the lines keygen printed, or a key file)\n"
    "  retire-release  a release key that leaked or is no longer used\n"
    "  replace-root    a root key by another\n"
    "  sign            one more root signature for the waiting change\n"
    "  drop            forget the waiting change\n"
    "--root PUBLIC_KEY (repeatable, one of them must sign) names the root keys the launcher\n"
    "is built with, when they are not those built into this program; it counts only while\n"
    "the tree has no keys document.\n"
    "A change builds on the waiting one if there is one, so that several go in one version.\n"
    "--key ROOT_KEY (repeatable) signs it at once; once enough root keys have signed, the\n"
    "version is published. --threshold N sets how many keys of the changed role must sign.\n"
    "After a change of release keys, publish the live release with them: vtpublish refresh.\n";

std::vector<TSigningKey> LoadKeys(const TArgs& Args) {
  std::vector<TSigningKey> keys;
  if (const auto found = Args.Lists.find("key"); found != Args.Lists.end()) {
    for (const std::string& path : found->second)
      keys.push_back(TSigningKey::Load(path));
  }
  return keys;
}

// The launcher's root before any keys document: --root, or the one built in.
TKeyRole FirstRoot(const TArgs& Args) {
  const auto found = Args.Lists.find("root");
  if (found == Args.Lists.end())
    return BuiltInRoot();
  TKeyRole root;
  for (const std::string& path : found->second)
    root.Keys.push_back(ReadPublicKeyFile(path));
  return root;
}

std::string Role(const TKeyRole& Role) {
  std::string text = std::to_string(Role.Threshold) + " of";
  for (const TPublicKey& key : Role.Keys)
    text += " " + ShortKeyId(key);
  return text;
}

void PrintKeys(const char* Title, const TKeysDocument& Keys) {
  std::printf("%s version %d\n  root keys:    %s\n  release keys: %s\n", Title, Keys.Version,
              Role(Keys.Root).c_str(), Role(Keys.Release).c_str());
}

int Show(const std::string& OutDir, const TKeyRole& Root) {
  PrintKeys("Live keys:", NewestKeys(OutDir, Root));
  if (const std::optional<TKeysProposal> pending = PendingKeys(OutDir)) {
    PrintKeys("Waiting for signatures:", pending->Document);
    std::printf("  signed by %zu key%s\n", pending->Signatures.size(),
                pending->Signatures.size() == 1 ? "" : "s");
  }
  return 0;
}

int Report(const std::string& OutDir, const TKeysOutcome& Outcome) {
  if (Outcome.Published) {
    const bool live = GetFileInfo((fs::path(OutDir) / "version").string()).has_value();
    const std::string next =
        live ? "sign the live release again: vtpublish refresh " + OutDir
             : "pack the first release: vtpublish pack GAME_DIR " + OutDir + " --build N";
    std::printf("Published keys version %d. With its release keys, %s --key KEY_FILE\n",
                Outcome.Proposal.Document.Version, next.c_str());
    return 0;
  }
  std::string missing;
  for (const std::string& part : Outcome.Missing)
    missing += (missing.empty() ? "" : " and ") + part;
  std::printf("Keys version %d waits for %s; add each with vtpublish keys sign %s --key ROOT_KEY\n",
              Outcome.Proposal.Document.Version, missing.c_str(), OutDir.c_str());
  return 0;
}

std::optional<int32_t> Threshold(const TArgs& Args) {
  if (!Args.Has("threshold"))
    return std::nullopt;
  const std::string text = Args.Option("threshold");
  if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != text.npos)
    throw TUsageError("--threshold takes a count of keys, not \"" + text + "\"");
  return std::stoi(text);
}

TKeysChange ReadChange(const std::string& Verb, const TArgs& Args) {
  TKeysChange change;
  change.Threshold = Threshold(Args);
  if (Verb == "add-release" || Verb == "retire-release") {
    RequirePositional(Args, 3, 3, KKeysUsage);
    change.Kind =
        Verb == "add-release" ? TKeysChange::TKind::AddRelease : TKeysChange::TKind::RetireRelease;
  } else if (Verb == "replace-root") {
    RequirePositional(Args, 4, 4, KKeysUsage);
    change.Kind = TKeysChange::TKind::ReplaceRoot;
    change.NewKey = ReadPublicKeyFile(Args.Positional[3]);
  } else {
    throw TUsageError("unknown keys command \"" + Verb + "\"; usage: " + KKeysUsage);
  }
  change.Key = ReadPublicKeyFile(Args.Positional[2]);
  return change;
}

}  // namespace

int KeysCommand(const TWords& Words) {
  const TArgs args = ParseArgs(Words, {{"threshold"}, {"key", "root"}, {}});
  if (args.Help) {
    PrintUsage(KKeysForms, KKeysHelp);
    return 0;
  }
  RequirePositional(args, 2, 4, KKeysUsage);
  const std::string& verb = args.Positional[0];
  const std::string& out = args.Positional[1];
  const TKeyRole root = FirstRoot(args);
  if (verb == "show" || verb == "drop" || verb == "sign") {
    RequirePositional(args, 2, 2, KKeysUsage);
    if (verb == "show")
      return Show(out, root);
    if (verb == "drop") {
      std::printf(DropPendingKeys(out) ? "Dropped the waiting keys change\n"
                                       : "No keys change was waiting\n");
      return 0;
    }
    if (!args.Lists.count("key"))
      throw TUsageError(std::string("keys sign needs --key; usage: ") + KKeysUsage);
    return Report(out, SignPendingKeys(out, LoadKeys(args), root));
  }
  const TKeysChange change = ReadChange(verb, args);
  return Report(out, ChangeKeys(out, change, LoadKeys(args), root));
}

std::string ChannelOption(const TArgs& Args, const std::string& Default) {
  const std::string channel = Args.Option("channel", Default);
  if (channel != Default && !IsChannelName(channel))
    throw TUsageError("--channel takes a name of a-z, 0-9, - and _, not \"" + channel + "\"");
  return channel;
}

int32_t ParsePercent(const std::string& Text, const std::string& What) {
  const std::string digits = Text.ends_with('%') ? Text.substr(0, Text.size() - 1) : Text;
  int32_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [next, error] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || error != std::errc() || next != end || value < 1 || value > 100)
    throw TUsageError(What + " takes a share of installs from 1 to 100 (percent), not \"" + Text +
                      "\"");
  return value;
}

TPublication ReadPublication(const TArgs& Args) {
  TPublication publication;
  publication.Channel = ChannelOption(Args, KStableChannel);
  if (Args.Has("expires")) {
    publication.ExpiresIn = ParseDuration(Args.Option("expires"));
    if (!publication.ExpiresIn)
      throw TUsageError("--expires takes a duration such as 7d, 12h or 30m, not \"" +
                        Args.Option("expires") + "\"");
  }
  publication.Keys = LoadKeys(Args);  // last: a bad command line is told before a bad key
  return publication;
}

void PrintStamp(const TManifestStamp& Stamp) {
  const std::string channel =
      Stamp.Channel == KStableChannel ? std::string() : " on channel " + Stamp.Channel;
  std::printf("Release %lld%s, %s, signed for keys version %d\n",
              static_cast<long long>(Stamp.Sequence.value_or(0)), channel.c_str(),
              Stamp.Expires ? ("expires " + UtcTimeText(*Stamp.Expires)).c_str() : "never expires",
              Stamp.KeysVersion);
  const size_t mirrors = Stamp.Mirrors.size() + Stamp.ObjectMirrors.size();
  if (mirrors > 0)
    std::printf(
        "Mirrors: %zu of the tree, %zu of the objects (copy the tree to each: objects "
        "first, the version files last)\n",
        Stamp.Mirrors.size(), Stamp.ObjectMirrors.size());
  if (!Stamp.Rollout)
    return;
  const TRollout& rollout = *Stamp.Rollout;
  if (rollout.Halted)
    std::printf(
        "Rollout halted at %d %%: installs that have this build keep it, no other takes it; "
        "they take build %d\n",
        rollout.Percent, rollout.Build);
  else
    std::printf("Rollout: %d %% of installs take this build, the others build %d\n",
                rollout.Percent, rollout.Build);
}

int RefreshCommand(const TWords& Words) {
  const TArgs args = ParseArgs(Words, {{"expires", "channel"}, {"key"}, {}});
  if (args.Help) {
    PrintUsage(KRefreshUsage,
               "Signs the live release of OUT_DIR again, as it is, with the next release number\n"
               "and, with --expires, a new expiry (7d, 12h, 30m, 90s): what a daily job runs so\n"
               "that launchers, which refuse an expired release, never see it expire. Nothing is\n"
               "packed. The keys (--key, repeatable) must reach the threshold of the release\n"
               "keys of the newest keys document; the first also signs version.sig for\n"
               "launchers built before keys documents. --channel NAME refreshes that channel's\n"
               "release instead of the stable one.\n");
    return 0;
  }
  RequirePositional(args, 1, 1, KRefreshUsage);
  if (!args.Lists.count("key"))
    throw TUsageError(std::string("refresh needs --key; usage: ") + KRefreshUsage);
  PrintStamp(Refresh(args.Positional[0], ReadPublication(args)));
  return 0;
}

}  // namespace vt

namespace vt {

int RolloutCommand(const TWords& Words) {
  const TArgs args = ParseArgs(Words, {{"expires", "channel"}, {"key"}, {}});
  if (args.Help) {
    PrintUsage(KRolloutUsage,
               "Changes which share of installs takes the live release of OUT_DIR that pack\n"
               "--rollout published, and signs it again as refresh does; nothing is packed.\n"
               "PERCENT (1 to 100) widens or narrows it: an install takes the release when its\n"
               "own random draw falls under the share, so widening keeps every install that had\n"
               "it, and an install that has it keeps it when the share narrows. 100 ends the\n"
               "rollout: every install takes the release. halt stops it: installs that have the\n"
               "release keep it, the others keep the release before it. --channel NAME changes\n"
               "that channel's rollout instead of the stable one's.\n");
    return 0;
  }
  RequirePositional(args, 2, 2, KRolloutUsage);
  if (!args.Lists.count("key"))
    throw TUsageError(std::string("rollout needs --key; usage: ") + KRolloutUsage);
  std::optional<int32_t> percent;
  if (args.Positional[1] != "halt")
    percent = ParsePercent(args.Positional[1], "rollout");
  PrintStamp(ChangeRollout(args.Positional[0], ReadPublication(args), percent));
  return 0;
}

}  // namespace vt
