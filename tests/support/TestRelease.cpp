#include "support/TestRelease.h"

#include "publish/Release.h"
#include "update/Digest.h"

namespace vt::test {

const TSigningKey& DevKey() {
  static const TSigningKey key = TSigningKey::Load(VT_SOURCE_DIR "/keys/dev-release-key.pem");
  return key;
}

void PublishManifest(TTestServer& Server, const std::string& ManifestText) {
  const std::vector<uint8_t> bytes(ManifestText.begin(), ManifestText.end());
  Server.Serve("/version", ManifestText);
  Server.Serve("/version.sig", DevKey().Sign(bytes));
}

TRemoteFile PublishList(TTestServer& Server, const std::string& ListText, bool Compress,
                        int32_t Build, const std::string& Path) {
  const std::vector<uint8_t> bytes(ListText.begin(), ListText.end());
  TRemoteFile list{Path, static_cast<int64_t>(bytes.size()), Sha256Hex(bytes), 0};
  if (Compress) {
    const std::vector<uint8_t> z = ZlibCompress(bytes);
    list.ZSize = static_cast<int64_t>(z.size());
    Server.Serve("/" + Path, z);
  } else {
    Server.Serve("/" + Path, ListText);
  }
  PublishManifest(Server, ManifestJson(Build, list));
  return list;
}

}  // namespace vt::test
