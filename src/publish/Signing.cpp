#include "publish/Signing.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "publish/ObjectFiles.h"
#include "publish/Release.h"
#include "publish/ReleaseTree.h"
#include "publish/TreeLock.h"

namespace vt {

namespace {

namespace fs = std::filesystem;

// One past the highest sequence the tree has published: in its history, or in its live manifest
// (a tree whose private folder was lost must not start again below what players have seen).
// One sequence serves every channel of the tree.
int64_t NextSequence(const std::string& OutDir) {
  int64_t highest = 0;
  const std::vector<THistoryEntry> history = ReadHistory(OutDir);
  if (!history.empty())
    highest = history.back().Sequence;
  std::vector<std::string> channels = TreeChannels(OutDir);
  channels.push_back(KStableChannel);
  for (const std::string& channel : channels) {
    try {
      if (const std::optional<TBytes> live = LiveManifest(OutDir, channel))
        highest = std::max(highest, ReadManifest(*live, KTreeUrl).Sequence.value_or(0));
    } catch (const std::exception&) {
    }
  }
  return highest + 1;
}

// The signature lines of Manifest by every key.
std::vector<TSignatureLine> SignatureLines(const TBytes& Manifest,
                                           const TPublication& Publication) {
  std::vector<TSignatureLine> lines;
  for (const TSigningKey& key : Publication.Keys)
    lines.push_back({KeyId({key.PublicX(), key.PublicY()}), key.Sign(Manifest)});
  return lines;
}

}  // namespace

void RequireEnoughKeys(const std::string& OutDir, const TPublication& Publication) {
  if (Publication.Keys.empty())
    throw std::runtime_error("no key to sign the release with");
  const int32_t version = NewestKeysVersion(OutDir);
  // Before any keys document the root signs releases. A root of one key is not checked: the
  // key built into this program need not be the launcher's.
  const TKeyRole role =
      version == 0
          ? BuiltInRoot()
          : ReadKeysDocument(ReadFileBytes((fs::path(OutDir) / KeysDocumentPath(version)).string()))
                .Release;
  if (version == 0 && role.Threshold == 1)
    return;
  int32_t signers = 0;
  for (const TPublicKey& key : role.Keys) {
    signers += std::any_of(Publication.Keys.begin(), Publication.Keys.end(),
                           [&](const TSigningKey& Given) {
                             return Given.PublicX() == key.X && Given.PublicY() == key.Y;
                           })
                   ? 1
                   : 0;
  }
  if (signers < role.Threshold) {
    throw std::runtime_error(
        "the keys given do not reach the threshold of the " +
        std::string(version == 0 ? "root keys" : KeysDocumentPath(version) + " release keys") +
        " (" + std::to_string(role.Threshold) + " of " + std::to_string(role.Keys.size()) +
        "); give more --key, or change the release keys with vtpublish keys");
  }
}

int32_t NewestKeysVersion(const std::string& OutDir) {
  int32_t version = 0;
  while (GetFileInfo((fs::path(OutDir) / KeysDocumentPath(version + 1)).string()))
    ++version;
  return version;
}

TManifestStamp PublishSigned(const std::string& OutDir, int32_t Build, const TRemoteFile& List,
                             const std::string& Objects, const TPublication& Publication,
                             const std::optional<TRollout>& Rollout) {
  RequireEnoughKeys(OutDir, Publication);
  TManifestStamp stamp;
  stamp.Sequence = NextSequence(OutDir);
  if (Publication.ExpiresIn)
    stamp.Expires = UtcClockSeconds() + *Publication.ExpiresIn;
  stamp.KeysVersion = NewestKeysVersion(OutDir);
  stamp.Channel = Publication.Channel;
  stamp.Rollout = Rollout;
  if (!Publication.Mirrors || !Publication.ObjectMirrors) {
    std::optional<TManifest> live;
    try {
      if (const std::optional<TBytes> bytes = LiveManifest(OutDir, Publication.Channel))
        live = ReadManifest(*bytes, KTreeUrl);
    } catch (const std::exception&) {
      // Replaced on purpose (--allow-same-or-lower): it names no mirrors to keep.
    }
    if (live) {
      stamp.Mirrors = live->Mirrors;
      stamp.ObjectMirrors = live->ObjectMirrors;
    }
  }
  if (Publication.Mirrors)
    stamp.Mirrors = *Publication.Mirrors;
  if (Publication.ObjectMirrors)
    stamp.ObjectMirrors = *Publication.ObjectMirrors;
  const TBytes manifest = TextBytes(ManifestJson(Build, List, Objects, stamp));
  const TBytes signature = TextBytes(Publication.Keys.front().Sign(manifest) + "\n");
  const TBytes signatures = TextBytes(SignatureLinesText(SignatureLines(manifest, Publication)));
  const fs::path out = fs::path(OutDir) / ChannelFolder(stamp.Channel);
  if (!CreateFolders(out.string()))
    throw std::runtime_error(out.string() + ": cannot be made");
  AddTreeChannel(OutDir, stamp.Channel);
  AddToHistory(OutDir, *stamp.Sequence, Build, manifest, signature, signatures);
  WriteFileAtomically((out / "version.sig").string(), signature);
  WriteFileAtomically((out / "version.sigs").string(), signatures);
  WriteFileAtomically((out / "version").string(), manifest);
  return stamp;
}

namespace {

// The live release of Publication's channel published again, its rollout as Change leaves it.
TManifestStamp Republish(
    const std::string& OutDir, const TPublication& Publication,
    const std::function<void(const TManifest&, std::optional<TRollout>&)>& Change) {
  const TTreeLock lock(OutDir);
  const std::optional<TBytes> live = LiveManifest(OutDir, Publication.Channel);
  if (!live)
    throw std::runtime_error(
        (fs::path(OutDir) / (ChannelFolder(Publication.Channel) + "version")).string() +
        ": no live release there; pack one first");
  const TManifest manifest = ReadManifest(*live, KTreeUrl);
  std::optional<TRollout> rollout = manifest.Rollout;
  if (rollout)
    rollout->Objects = WrittenObjects(rollout->Objects);
  Change(manifest, rollout);
  return PublishSigned(OutDir, manifest.Build, manifest.List, WrittenObjects(manifest.Objects),
                       Publication, rollout);
}

}  // namespace

TManifestStamp Refresh(const std::string& OutDir, const TPublication& Publication) {
  return Republish(OutDir, Publication, [](const TManifest&, std::optional<TRollout>&) {});
}

std::optional<TRollout> PlanRollout(const std::string& OutDir, const std::string& Channel,
                                    int32_t Build, std::optional<int32_t> Percent, bool Critical) {
  std::optional<TManifest> live;
  try {
    if (const std::optional<TBytes> bytes = LiveManifest(OutDir, Channel))
      live = ReadManifest(*bytes, KTreeUrl);
  } catch (const std::exception&) {
    // Replaced on purpose (--allow-same-or-lower); a share needs it, though.
  }
  const std::string next = "build " + std::to_string(Build);
  if (live && live->Rollout && !live->Rollout->Halted && !Critical) {
    const std::string command = "vtpublish rollout " + OutDir;
    throw std::runtime_error("build " + std::to_string(live->Build) + " is rolling out to " +
                             std::to_string(live->Rollout->Percent) +
                             " % of installs; end it first (" + command + " 100), halt it (" +
                             command + " halt), or give --critical to send " + next +
                             " to every install now");
  }
  if (!Percent || *Percent == 100)
    return std::nullopt;
  if (!live)
    throw std::runtime_error(
        "--rollout needs a live release on the channel for the other "
        "installs to keep; publish " +
        next + " without it");
  // After a halt the others keep what they had before the halted build, never that build.
  TRollout rollout = live->Rollout
                         ? *live->Rollout
                         : TRollout{*Percent, false, live->Build, live->Objects, live->List};
  rollout.Percent = *Percent;
  rollout.Halted = false;
  rollout.Objects = WrittenObjects(rollout.Objects);
  return rollout;
}

TManifestStamp ChangeRollout(const std::string& OutDir, const TPublication& Publication,
                             std::optional<int32_t> Percent) {
  return Republish(
      OutDir, Publication, [&](const TManifest& Live, std::optional<TRollout>& Rollout) {
        if (!Rollout)
          throw std::runtime_error("build " + std::to_string(Live.Build) +
                                   " went to every install; pack a new build with --rollout to "
                                   "roll one out");
        if (!Percent) {
          Rollout->Halted = true;
        } else if (*Percent == 100) {
          Rollout.reset();
        } else {
          Rollout->Percent = *Percent;
          Rollout->Halted = false;
        }
      });
}

std::optional<int64_t> ParseDuration(const std::string& Text) {
  if (Text.size() < 2)
    return std::nullopt;
  int64_t unit = 0;
  switch (Text.back()) {
    case 'd':
      unit = 86400;
      break;
    case 'h':
      unit = 3600;
      break;
    case 'm':
      unit = 60;
      break;
    case 's':
      unit = 1;
      break;
    default:
      return std::nullopt;
  }
  int64_t count = 0;
  const char* end = Text.data() + Text.size() - 1;
  const auto [next, error] = std::from_chars(Text.data(), end, count);
  // Up to about a hundred years: beyond that an expiry means nothing.
  if (error != std::errc() || next != end || count <= 0 || count > int64_t{36500} * 86400 / unit)
    return std::nullopt;
  return count * unit;
}

}  // namespace vt
