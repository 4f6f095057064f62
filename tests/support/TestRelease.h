#pragma once
// Signed releases for tests: manifests signed with the development key, file lists and
// objects served by a TTestServer.

#include <string>
#include <vector>

#include "publish/Signer.h"
#include "support/TestServer.h"
#include "update/RemoteFile.h"
#include "update/Updater.h"

namespace vt::test {

// The committed development key, which default builds trust.
const TSigningKey& DevKey();

// Serves ManifestText at /version and its dev-key signature at /version.sig.
void PublishManifest(TTestServer& Server, const std::string& ManifestText);

// Serves the list text at /Path (zlib-compressed when Compress) and a signed manifest that
// describes it; returns the list's description.
TRemoteFile PublishList(TTestServer& Server, const std::string& ListText, bool Compress,
                        int32_t Build = 1, const std::string& Path = "lists/files.json");

// Collects what a run reports, as the window would see it.
class TRecordingView : public TUpdateView {
 public:
  struct TLine {
    std::string Text;
    int64_t Done, Total;
  };
  void ShowProgress(const std::string& Text, int64_t Done, int64_t Total) override {
    Lines.push_back({Text, Done, Total});
  }
  void UpdateDone(const std::string& Error, bool Restart) override {
    Outcomes.push_back({Error, Restart});
  }
  std::vector<TLine> Lines;
  std::vector<std::pair<std::string, bool>> Outcomes;
};

// The message of what Step raises, or "" when it returns.
template <typename TStep>
std::string ErrorOf(TStep&& Step) {
  try {
    Step();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

}  // namespace vt::test
