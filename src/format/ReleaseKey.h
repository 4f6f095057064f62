#pragma once
// Values fixed when the launcher is built (CMake cache variables).

namespace vt {

// The publisher's P-256 public key: X and Y as 64 lowercase hex digits each.
extern const char* const KReleaseKeyX;
extern const char* const KReleaseKeyY;
// The root of trust: its public keys and how many of them must sign a keys document.
struct TBuiltInKey {
  const char* X;
  const char* Y;
};
extern const TBuiltInKey KRootKeys[];
extern const int KRootKeyCount;
extern const int KRootThreshold;
// The built-in base URL of the update server (HTTPS, ends in "/").
extern const char* const KDefaultUpdateUrl;
// Host of the game's download site, named when this launcher is too old for a manifest.
extern const char* const KDownloadHost;

}  // namespace vt
