// The manifest step. Nothing local is read or changed before the manifest's signature has been
// checked, and nothing is changed when the release is refused.

#include "update/FetchManifest.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>

#include "format/Digest.h"
#include "format/Errors.h"
#include "format/Keys.h"
#include "format/UtcTime.h"
#include "update/HttpGetBytes.h"
#include "update/Sources.h"

namespace vt {

namespace {

// The signature file is ASCII; a byte above 127 becomes "?", which no hex digit matches.
std::string AsciiText(std::span<const uint8_t> Bytes) {
  std::string text(reinterpret_cast<const char*>(Bytes.data()), Bytes.size());
  for (char& c : text) {
    if (static_cast<unsigned char>(c) > 127)
      c = '?';
  }
  return text;
}

[[noreturn]] void RefuseKeys(int32_t Version) {
  throw TTrustRefused("keys", "the update server's keys cannot be verified (version " +
                                  std::to_string(Version) + ") - nothing was changed");
}

// The keys that signed the releases so far: those of the newest keys document, or before any
// the root itself.
const TKeyRole& ReleaseRole(const TTrust& Trust, const TKeyRole& Root) {
  return Trust.Keys ? Trust.Keys->Release : Root;
}

// True when a key of Before is not among After's: the keys that signed the sequence so far
// were retired, and it starts anew, so that a retired key's releases far ahead do not lock
// the folder out.
bool Retires(const TKeyRole& Before, const TKeyRole& After) {
  return std::any_of(Before.Keys.begin(), Before.Keys.end(), [&](const TPublicKey& Key) {
    return std::find(After.Keys.begin(), After.Keys.end(), Key) == After.Keys.end();
  });
}

// ", beta, rc": the channel names of an index, one a line; other lines count for nothing.
std::string OfferedChannels(std::span<const uint8_t> Index) {
  std::string names;
  std::string_view text(reinterpret_cast<const char*>(Index.data()), Index.size());
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (IsChannelName(line) && line != KStableChannel)
      names += ", " + std::string(line);
  }
  return names;
}

// One run's verification of the manifest: the signatures fetched at most once each, and the
// trust as it grows.
class TVerification {
 public:
  TVerification(const TRunContext& Run, std::string Base, THttpClient& Client, TTrust Trust,
                std::string Query)
      : FRun(Run),
        FBase(std::move(Base)),
        FClient(Client),
        FTrust(std::move(Trust)),
        FQuery(std::move(Query)) {
    Follow(FRun.Options.Channel.empty() ? FTrust.Channel : FRun.Options.Channel);
  }

  TVerifiedRelease Run() {
    if (FTrust.Channel == KStableChannel) {
      FManifest = HttpGetBytes(FClient, FBase + "version" + FQuery);
    } else if (std::optional<TBytes> manifest =
                   HttpGetBytesIfThere(FClient, FBase + FFolder + "version" + FQuery)) {
      FManifest = std::move(*manifest);
    } else {
      RefuseChannel();
    }
    bool walked = false;
    for (;;) {
      if (Signed()) {
        TManifest read = ReadManifest(FManifest, FBase);
        const int32_t known = FTrust.Keys ? FTrust.Keys->Version : 0;
        if (read.KeysVersion <= known)
          return Fresh(std::move(read));
        if (walked)
          RefuseKeys(read.KeysVersion);  // the server withholds what its release names
      } else if (walked) {
        RefuseUnsigned();
      }
      WalkKeys();
      walked = true;
    }
  }

 private:
  // Signed as the known keys require: by a threshold of the release keys in "version.sigs";
  // before any keys document, by the root in "version.sig" (or "version.sigs" for a root of
  // several keys).
  bool Signed() {
    if (!FTrust.Keys && FRoot.Threshold == 1) {
      const std::optional<TBytes>& sig = Fetched(FLegacy, "version.sig");
      if (sig && SignedByOneOf(FManifest, AsciiText(*sig), FRoot))
        return true;
    }
    const std::optional<TBytes>& sigs = Fetched(FSignatures, "version.sigs");
    return sigs && MeetsThreshold(FManifest, ReadSignatureLines(*sigs), ReleaseRole(FTrust, FRoot));
  }

  const std::optional<TBytes>& Fetched(std::optional<std::optional<TBytes>>& Slot,
                                       const char* Name) {
    if (!Slot)
      Slot = HttpGetBytesIfThere(FClient, FBase + FFolder + Name + FQuery);
    return *Slot;
  }

  // A tree without keys documents whose "version.sig" is missing fails as it always did, with
  // the HTTP message of that URL.
  [[noreturn]] void RefuseUnsigned() {
    if (!FTrust.Keys && FLegacy && !*FLegacy && FSignatures && !*FSignatures)
      throw TUpdateError(FBase + FFolder + "version.sig" + FQuery + ": HTTP 404");
    throw TTrustRefused("signature", KNotSignedError);
  }

  // Each newer keys document the server has, one version at a time, each signed by a threshold
  // of the root before it and of its own root.
  void WalkKeys() {
    for (int32_t step = 0;; ++step) {
      const int32_t version = (FTrust.Keys ? FTrust.Keys->Version : 0) + 1;
      const std::optional<TBytes> text = KeysFile(KeysDocumentPath(version));
      if (!text)
        return;
      if (step == KMaxKeySteps) {
        throw TTrustRefused("keys", "the update server's keys are more than " +
                                        std::to_string(KMaxKeySteps) +
                                        " versions ahead of this game folder's - nothing was "
                                        "changed");
      }
      const std::optional<TBytes> sigs = KeysFile(KeysSignaturesPath(version));
      std::optional<TKeysDocument> next = VerifiedNextKeys(
          *text, sigs ? std::span<const uint8_t>(*sigs) : std::span<const uint8_t>(), version,
          FTrust.Keys ? FTrust.Keys->Root : FRoot);
      if (!next)
        RefuseKeys(version);
      FRotated = FRotated || Retires(ReleaseRole(FTrust, FRoot), next->Release);
      FTrust.Keys = std::move(*next);
      FSignatures.reset();  // verified again with the new keys
    }
  }

  // A file of the keys, bounded: one larger than any keys document is the server's fault. It
  // carries the run's one-time value too: a cache that kept the answer 404 from before the
  // version was published would otherwise withhold it.
  std::optional<TBytes> KeysFile(const std::string& Path) {
    const std::string tooLarge = "the update server's keys are larger than " +
                                 std::to_string(KMaxKeysBytes / 1024) +
                                 " KiB - nothing was changed";
    try {
      return HttpGetBytesIfThere(FClient, FBase + Path + FQuery, KMaxKeysBytes, tooLarge);
    } catch (const TUpdateError& e) {
      if (e.what() == tooLarge)
        throw TTrustRefused("keys", tooLarge);
      throw;
    }
  }

  // Channel becomes the one followed, with the sequence it had when it was followed before; a
  // release of another channel may be older than the one the folder had.
  void Follow(const std::string& Channel) {
    if (!IsChannelName(Channel))
      RefuseChannel(Channel);
    FFolder = ChannelFolder(Channel);
    if (Channel == FTrust.Channel)
      return;
    if (FTrust.Sequence)
      FTrust.Others[FTrust.Channel] = *FTrust.Sequence;
    FTrust.Sequence.reset();
    if (const auto had = FTrust.Others.find(Channel); had != FTrust.Others.end()) {
      FTrust.Sequence = had->second;
      FTrust.Others.erase(had);
    }
    FTrust.Channel = Channel;
  }

  // A channel the server does not offer, named with those it does (its index is a courtesy,
  // unsigned, and only read for this message).
  [[noreturn]] void RefuseChannel(const std::string& Channel = {}) {
    const std::string name = Channel.empty() ? FTrust.Channel : Channel;
    std::string offered = KStableChannel;
    try {
      if (const std::optional<TBytes> index =
              HttpGetBytesIfThere(FClient, FBase + KChannelIndexPath + FQuery, KMaxKeysBytes))
        offered += OfferedChannels(*index);
    } catch (const TUpdateError&) {
    }
    throw TUpdateError("the update server has no channel \"" + name + "\" (it offers " + offered +
                       ") - nothing was changed");
  }

  // The release, unless it is stale: past its expiry, or older than one already verified; or
  // of another channel than the one asked for, served in its place.
  TVerifiedRelease Fresh(TManifest Release) {
    if (Release.Channel != FTrust.Channel) {
      throw TTrustRefused("channel", "the update server offers a release of the channel \"" +
                                         Release.Channel + "\" as one of \"" + FTrust.Channel +
                                         "\" - nothing was changed");
    }
    if (FRotated) {
      if (FTrust.Sequence)
        FTrust.Sequence = 0;
      FTrust.Others.clear();
    }
    if (Release.Expires && *Release.Expires < FRun.Options.UtcNow()) {
      throw TTrustRefused("expired", "the update list expired on " + UtcDateText(*Release.Expires) +
                                         " - the update server is out of date, or this "
                                         "computer's date is wrong; nothing was changed");
    }
    if (FTrust.Sequence && !Release.Sequence) {
      throw TTrustRefused("rollback",
                          "the update server offers a release without a release number, older "
                          "than this game folder already has (had " +
                              std::to_string(*FTrust.Sequence) + ") - nothing was changed");
    }
    if (FTrust.Sequence && *Release.Sequence < *FTrust.Sequence) {
      throw TTrustRefused("rollback",
                          "the update server offers an older release than this game folder "
                          "already has (release " +
                              std::to_string(*Release.Sequence) + ", had " +
                              std::to_string(*FTrust.Sequence) + ") - nothing was changed");
    }
    if (Release.Sequence)
      FTrust.Sequence = std::max(FTrust.Sequence.value_or(*Release.Sequence), *Release.Sequence);
    FTrust.Mirrors = Release.Mirrors;
    return {std::move(Release), std::move(FTrust), FBase};
  }

  const TRunContext& FRun;
  const std::string FBase;  // of the server asked
  THttpClient& FClient;
  TTrust FTrust;
  const std::string FQuery;
  std::string FFolder;  // of the channel's manifest files below the base
  const TKeyRole FRoot = BuiltInRoot();
  TBytes FManifest;
  std::optional<std::optional<TBytes>> FLegacy;      // "version.sig", once fetched
  std::optional<std::optional<TBytes>> FSignatures;  // "version.sigs", once fetched
  bool FRotated = false;
};

}  // namespace

TVerifiedRelease FetchManifest(const TRunContext& Run, THttpClient& Client, const TTrust& Known) {
  Run.Report("Checking for updates...", 0, 0);
  // One value for every request, so a cache cannot pair a fresh manifest with stale signatures.
  const std::string query = "?t=" + std::to_string(Run.Options.Clock());
  for (const std::string& mirror : Run.Options.Mirrors) {
    if (!IsMirrorUrl(mirror))
      throw TUpdateError("the mirror \"" + mirror + "\" is not an http:// or https:// URL");
  }
  const std::vector<std::string> servers = TreeServers(Run, Known.Mirrors);
  // A refusal tells more than a transfer's failure: that server answered, with a release the
  // trust cannot take.
  std::exception_ptr best;
  bool bestRefused = false;
  for (const std::string& server : servers) {
    try {
      return TVerification(Run, server, Client, Known, query).Run();
    } catch (const THttpStopped&) {
      throw;
    } catch (const TTrustRefused&) {
      if (!bestRefused)
        best = std::current_exception();
      bestRefused = true;
    } catch (const std::exception&) {
      if (Run.StopRequested())
        throw;
      if (!best)
        best = std::current_exception();
    }
  }
  if (servers.size() == 1)
    std::rethrow_exception(best);
  const std::string tried = " (" + std::to_string(servers.size()) + " servers tried)";
  try {
    std::rethrow_exception(best);
  } catch (const TTrustRefused& e) {
    throw TTrustRefused(e.Cause(), e.what() + tried);
  } catch (const std::exception& e) {
    throw TUpdateError(e.what() + tried);
  }
}

}  // namespace vt
