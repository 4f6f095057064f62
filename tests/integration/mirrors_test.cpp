// Several servers with the same tree: each object from any healthy one, a failing one's work
// taken by the others, the manifest from a mirror when the update server is down, and a mirror
// with an old release never believed.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>

#include "format/Chunks.h"
#include "publish/ChunkedObject.h"
#include "publish/Release.h"
#include "support/FakeHttp.h"
#include "support/TestRelease.h"
#include "update/CallQueue.h"
#include "update/DownloadQueue.h"
#include "update/Updater.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

// Hosts of the fakes; a host without one refuses the connection.
class TFakeHosts {
 public:
  test::TFakeHttp& Add(const std::string& Host) { return FHosts[Host]; }
  void Remove(const std::string& Host) { FHosts.erase(Host); }
  static std::string Url(const std::string& Host) { return "https://" + Host + "/"; }

  THttpClientFactory Factory() {
    return [this](const THttpSettings& Settings) -> std::unique_ptr<THttpClient> {
      return std::make_unique<TClient>(*this, Settings);
    };
  }

 private:
  class TClient : public THttpClient {
   public:
    TClient(TFakeHosts& Hosts, THttpSettings Settings) : FHosts(Hosts), FSettings(Settings) {}
    int Get(const std::string& Url, const TSink& Sink) override { return For(Url).Get(Url, Sink); }
    int GetRange(const std::string& Url, const THttpRange& Range, const TSink& Sink) override {
      return For(Url).GetRange(Url, Range, Sink);
    }
    int64_t RetryAfterSeconds() const override { return FLast ? FLast->RetryAfterSeconds() : 0; }

   private:
    THttpClient& For(const std::string& Url) {
      const size_t from = Url.find("://") + 3;
      const std::string host = Url.substr(from, Url.find('/', from) - from);
      const auto found = FHosts.FHosts.find(host);
      if (found == FHosts.FHosts.end())
        throw std::runtime_error("Failed to connect to " + host + ": Connection refused");
      std::unique_ptr<THttpClient>& client = FClients[host];
      if (!client)
        client = found->second.Factory()(FSettings);
      FLast = client.get();
      return *client;
    }
    TFakeHosts& FHosts;
    THttpClient* FLast = nullptr;
    THttpSettings FSettings;
    std::map<std::string, std::unique_ptr<THttpClient>> FClients;
  };
  std::map<std::string, test::TFakeHttp> FHosts;
};

// A view that keeps the sources' reports too.
struct TRun {
  std::string Error;
  std::vector<TSourceReport> Sources;
};

class TSourcesView : public test::TRecordingView {
 public:
  void SourcesUsed(const std::vector<TSourceReport>& Reports) override { Sources = Reports; }
  std::vector<TSourceReport> Sources;
};

class MirrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::BuiltWithDevKey())
      GTEST_SKIP() << "this build trusts another release key";
    Dir = fs::temp_directory_path() /
          ("vt-mirrors-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    for (int i = 0; i < 30; ++i)
      Files["data/f" + std::to_string(i) + ".bin"] = test::RandomBytes(2000 + 97 * i, i + 1);
  }
  void TearDown() override { fs::remove_all(Dir); }

  // Serves the release of Build on Host, with release number Sequence, listing Mirrors.
  std::vector<TRemoteFile> Publish(const std::string& Host, int32_t Build, int64_t Sequence,
                                   const std::vector<std::string>& Mirrors = {}) {
    test::TFakeHttp& http = Hosts.Add(Host);
    std::vector<TRemoteFile> entries = test::PublishRelease(http, Files, Build, false, ChunkFrom);
    TManifestStamp stamp;
    stamp.Sequence = Sequence;
    stamp.Mirrors = Mirrors;
    test::PublishManifest(http,
                          ManifestJson(Build, test::ReleaseListOf(entries, Build), {}, stamp));
    return entries;
  }

  TRun Run(TUpdaterOptions Options = {}) {
    Options.NewClient = Hosts.Factory();
    // A clock that stands still: no source is faster than another, so all share the work.
    Options.SteadySeconds = [] { return 0.0; };
    TSourcesView view;
    TCallQueue queue;
    {
      TUpdater updater(view, queue, Dir.string() + "/", TFakeHosts::Url("main"),
                       std::move(Options));
      updater.Start();
      updater.Wait();
      queue.RunPending();
    }
    EXPECT_EQ(view.Outcomes.size(), 1u);
    return {view.Outcomes.empty() ? "no outcome" : view.Outcomes.back().first, view.Sources};
  }

  void ExpectInstalled() {
    for (const auto& [path, content] : Files)
      EXPECT_EQ(test::ReadAll(Dir / path), content) << path;
  }

  size_t ObjectRequests(const std::string& Host) {
    size_t count = 0;
    for (const test::TFakeRequest& request : Hosts.Add(Host).Requests())
      count += request.Path.starts_with("/o/");
    return count;
  }

  TFakeHosts Hosts;
  fs::path Dir;
  test::TGameFiles Files;
  int64_t ChunkFrom = 0;
};

// One row per kind of failing mirror: how it fails, and whether the update server refuses
// connections too (then the manifest comes from a mirror the folder does not know yet).
TEST_F(MirrorsTest, AFailingMirrorsObjectsComeFromTheOthers) {
  enum class TFault { StatusAfterAThird, NeverAnswers, Damages };
  const struct {
    bool MainRefuses;
    TFault Fault;
    const char* Error;  // in the failing mirror's report
  } cases[] = {
      {true, TFault::StatusAfterAThird, "HTTP 503"},
      {false, TFault::NeverAnswers, "Operation timed out"},
      {false, TFault::Damages, "arrived damaged"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Fault));
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Hosts = {};
    const std::vector<std::string> mirrors = {TFakeHosts::Url("bad"), TFakeHosts::Url("good")};
    const std::vector<TRemoteFile> entries = Publish("main", 1, 1, mirrors);
    Publish("good", 1, 1, mirrors);
    Publish("bad", 1, 1, mirrors);
    test::TFakeHttp& bad = Hosts.Add("bad");
    for (size_t i = 0; i < entries.size(); ++i) {
      const std::string path = test::ObjectPath(entries[i]);
      if (c.Fault == TFault::StatusAfterAThird && i >= entries.size() / 3)
        bad.ServeStatus(path, 503);
      else if (c.Fault == TFault::NeverAnswers)
        bad.ServeFailing(path, "", "Operation timed out after 60000 milliseconds");
      else if (c.Fault == TFault::Damages && i % 2 == 0)
        bad.Serve(path, std::string(static_cast<size_t>(entries[i].Size), 'x'));
    }
    TUpdaterOptions options;
    if (c.MainRefuses) {
      Hosts.Remove("main");
      options.Mirrors = mirrors;
    }
    const TRun run = Run(options);
    ASSERT_EQ(run.Error, "");
    ExpectInstalled();
    ASSERT_EQ(run.Sources.size(), 3u);
    std::map<std::string, TSourceReport> reports;
    for (const TSourceReport& report : run.Sources)
      reports[report.Base] = report;
    const TSourceReport& failing = reports[TFakeHosts::Url("bad") + "o/"];
    EXPECT_GE(failing.Failures, 1);
    EXPECT_NE(failing.LastError.find(c.Error), std::string::npos) << failing.LastError;
    EXPECT_EQ(failing.Damaged, c.Fault == TFault::Damages);
    EXPECT_EQ(reports[TFakeHosts::Url("main") + "o/"].Failures > 0, c.MainRefuses);
    // Set back after its first failures, a failing source costs at most one attempt per
    // worker; the healthy one took the rest.
    EXPECT_LE(failing.Failures, KWorkerCount);
    EXPECT_LE(ObjectRequests("main") + ObjectRequests("good") + ObjectRequests("bad"),
              entries.size() + KWorkerCount);
    EXPECT_GT(reports[TFakeHosts::Url("good") + "o/"].Files, 0);
  }
}

TEST_F(MirrorsTest, TheManifestComesFromAFreshMirrorOnly) {
  const std::vector<std::string> mirrors = {TFakeHosts::Url("old"), TFakeHosts::Url("new")};
  Publish("main", 1, 5, mirrors);
  ASSERT_EQ(Run().Error, "");  // the folder remembers the mirrors and release 5

  // The update server down: one mirror still serves release 4, older than the folder's.
  Files["data/f0.bin"] = "build 2";
  Hosts.Remove("main");
  Publish("old", 1, 4, mirrors);
  Publish("new", 2, 6, mirrors);
  ASSERT_EQ(Run().Error, "");
  ExpectInstalled();

  // Every server stale or down: refused, nothing changed.
  Hosts.Remove("new");
  Files["data/f0.bin"] = "build 3";
  Publish("old", 3, 5, mirrors);
  const std::string error = Run().Error;
  EXPECT_NE(error.find("older release than this game folder already has (release 5, had 6)"),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("(3 servers tried)"), std::string::npos) << error;
  EXPECT_EQ(test::ReadAll(Dir / "data/f0.bin"), "build 2");
}

// A lone server under load: its Retry-After is waited for, and the object asked for again.
TEST_F(MirrorsTest, AServerThatAsksForAWaitGetsIt) {
  const TRemoteFile entry = Publish("main", 1, 1).front();
  test::TFakeHttp& main = Hosts.Add("main");
  const std::string path = test::ObjectPath(entry);
  main.ServeStatus(path, 503, "", 1);
  main.HoldAt(path, [&](const TStopToken&) { main.Serve(path, Files[entry.Path]); });
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Run().Error, "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(main.RequestsFor(path).size(), 2u);
  ExpectInstalled();
}

// A delta update, and a fresh install whose whole download is cut off.
TEST_F(MirrorsTest, AChunkedFileGoesOnFromItsCheckedChunksOnAnotherMirror) {
  for (const bool delta : {true, false}) {
    SCOPED_TRACE(delta ? "delta" : "fresh");
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Hosts = {};
    const std::string old = test::RandomBytes(1 << 20, 7);
    Files = {{"big.pak", old.substr(0, 256 << 10) + test::RandomBytes(1 << 20, 8)}};
    ChunkFrom = 1;
    if (delta)
      test::WriteAll(Dir / "big.pak", old);
    const std::vector<std::string> mirrors = {TFakeHosts::Url("next")};
    const TRemoteFile entry = Publish("main", 1, 1, mirrors).front();
    Publish("next", 1, 1, mirrors);
    const std::vector<uint8_t> stored =
        MakeChunkedObject(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(Files["big.pak"].data()),
                                     Files["big.pak"].size()),
            false)
            .Object;
    const std::string object(stored.begin(), stored.end());
    const std::string path = test::ObjectPath(entry);
    // The update server cuts its object off half way (after answering a delta's probe).
    test::TFakeHttp& main = Hosts.Add("main");
    const auto cut = [&] {
      main.ServeFailing(path, object.substr(0, object.size() / 2), "Connection reset by peer");
    };
    int requests = 0;
    if (delta) {
      main.HoldAt(path, [&](const TStopToken&) {
        if (++requests == 1)
          cut();
      });
    } else {
      cut();
    }
    const TRun run = Run();
    ASSERT_EQ(run.Error, "");
    ExpectInstalled();
    const std::vector<test::TFakeRequest> fromNext = Hosts.Add("next").RequestsFor(path);
    ASSERT_FALSE(fromNext.empty());
    for (const test::TFakeRequest& request : fromNext) {
      ASSERT_TRUE(request.Range);
      // What the update server sent whole was checked and kept: at most its last chunk again.
      EXPECT_GE(request.Range->From, static_cast<int64_t>(object.size() / 2) - KChunkMax);
    }
  }
}

}  // namespace
}  // namespace vt
