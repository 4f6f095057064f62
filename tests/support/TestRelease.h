#pragma once
// Signed releases for tests: manifests signed with the development key, file lists and
// objects served by a TTestServer or the in-memory TFakeHttp.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "format/RemoteFile.h"
#include "publish/Signer.h"
#include "support/TestServer.h"
#include "update/Updater.h"

namespace vt::test {

// The committed development key, which default builds trust.
const TSigningKey& DevKey();
// A key made once per run of the tests, which no build trusts.
const TSigningKey& Key();
// True when this build trusts DevKey(); tests that sign with it skip otherwise.
bool BuiltWithDevKey();

// Serves ManifestText at /version and its dev-key signature at /version.sig.
void PublishManifest(TServedBodies& Server, const std::string& ManifestText);

// Serves the list text at /Path (zlib-compressed when Compress) and a signed manifest that
// describes it; returns the list's description.
TRemoteFile PublishList(TServedBodies& Server, const std::string& ListText, bool Compress,
                        int32_t Build = 1, const std::string& Path = "lists/files.json");

// A game build for tests: relative path to content.
using TGameFiles = std::map<std::string, std::string>;

// Serves Files as objects under /o/ (zlib-compressed when Compress), a compressed list and a
// signed manifest for Build; returns the list's entries in the order served. Files of at least
// ChunkFrom bytes (when it is above 0) get chunk data as vtpublish pack writes it: the object
// as a chunk store, its chunk index under /o/ and "c" in the entry.
std::vector<TRemoteFile> PublishRelease(TServedBodies& Server, const TGameFiles& Files,
                                        int32_t Build, bool Compress, int64_t ChunkFrom = 0);

// The list PublishRelease serves for Entries of Build, as its manifest describes it.
TRemoteFile ReleaseListOf(const std::vector<TRemoteFile>& Entries, int32_t Build);

// The URL path of an entry's chunk index ("/o/cd/cd...ci"); the entry must have one.
std::string ChunkIndexPath(const TRemoteFile& File);

// Data deflated with the given zlib window bits: 15 is a zlib stream, 15 + 16 gzip, -15 raw
// deflate; for showing which forms the engine refuses.
std::vector<uint8_t> DeflateAs(const std::vector<uint8_t>& Data, int WindowBits);

// Size pseudo-random bytes, the same for the same Seed.
std::string RandomBytes(size_t Size, uint32_t Seed);

// The whole content of a file ("" when it cannot be read).
std::string ReadAll(const std::filesystem::path& Path);
// Writes Content to Path, making its folders.
void WriteAll(const std::filesystem::path& Path, const std::string& Content);

// The object URL path of an entry, as the engine asks for it ("/o/ab/ab...[.z]").
std::string ObjectPath(const TRemoteFile& File);

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

// Runs one whole update in Dir from Server and returns once its thread has ended, with every
// posted call run.
struct TRunResult {
  std::string Error;
  bool Restart = false;
  bool Finished = false;  // UpdateDone arrived
  std::vector<TRecordingView::TLine> Lines;
};
TRunResult RunUpdate(const std::string& Dir, const std::string& Url, TUpdaterOptions Options = {});

// Whole update runs in a fresh game folder of each test's own, against a test server. Skipped
// where the build trusts another release key than the development key that signs here.
class TReleaseRunTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // One run in Dir from Server.
  TRunResult Run(TUpdaterOptions Options = {});
  // Paths of the object requests since the last ClearRequests.
  std::vector<std::string> ObjectRequests() const;

  TTestServer Server;
  std::filesystem::path Dir;
};

}  // namespace vt::test
