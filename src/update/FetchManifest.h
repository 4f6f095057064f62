#pragma once
// The manifest step, the first of every run: the release the server offers, verified against
// what this game folder already trusts.

#include "format/Manifest.h"
#include "format/TrustMemory.h"
#include "platform/Http.h"
#include "update/RunContext.h"

namespace vt {

// A release that the launcher's trust accepts, and that trust as it stands after it.
struct TVerifiedRelease {
  TManifest Release;
  TTrust Trust;
  std::string Server;  // the base of the tree that served it
};

// Reports "Checking for updates...", fetches "version" with a "?t=" value from the run's clock,
// checks who signed it before it is read, and returns the release. Known is what the game
// folder trusts: its newest keys document (none: the built-in root, whose signature is in
// "version.sig" as in trees without keys documents) and the highest release sequence verified.
// Walks newer keys documents when the known keys do not verify the release or it names a newer
// one; refuses an older release, one without a sequence once one was seen, and one past its
// expiry (TTrustRefused). The manifest and its signatures come from one server, the first of
// TreeServers that serves a release the trust accepts; the trust remembers that release's
// mirrors. When none does, raises with the message of the failure that got furthest (a
// refusal before a transfer's failure), naming the count of servers tried when there were
// several. Raises with a one-line message.
TVerifiedRelease FetchManifest(const TRunContext& Run, THttpClient& Client, const TTrust& Known);

}  // namespace vt
