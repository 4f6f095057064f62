#pragma once
// The manifest step, the first of every run.

#include "format/Manifest.h"
#include "platform/Http.h"
#include "update/RunContext.h"

namespace vt {

// Reports "Checking for updates...", fetches "version" and "version.sig" from the base URL with
// one "?t=" value from the run's clock, checks the signature against the built-in key and only
// then reads the manifest. Returns the release it verified; raises with a one-line message.
TManifest FetchManifest(const TRunContext& Run, THttpClient& Client);

}  // namespace vt
