// The manifest step. Nothing local is read or changed before the manifest's signature has been
// checked.

#include "update/FetchManifest.h"

#include <string>

#include "format/Digest.h"
#include "format/Errors.h"
#include "format/Manifest.h"
#include "update/HttpGetBytes.h"

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

}  // namespace

TManifest FetchManifest(const TRunContext& Run, THttpClient& Client) {
  Run.Report("Checking for updates...", 0, 0);
  // One value for both requests, so a cache cannot pair a fresh manifest with a stale signature.
  const std::string query = "?t=" + std::to_string(Run.Options.Clock());
  const TBytes manifest = HttpGetBytes(Client, Run.Url + "version" + query);
  const TBytes signature = HttpGetBytes(Client, Run.Url + "version.sig" + query);
  if (!VerifySignature(manifest, AsciiText(signature)))
    throw TUpdateError(KNotSignedError);
  return ReadManifest(manifest, Run.Url);
}

}  // namespace vt
