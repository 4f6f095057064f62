// The curl client and HttpGetBytes against a real server on 127.0.0.1.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "format/Errors.h"
#include "format/Manifest.h"
#include "format/Text.h"
#include "platform/Http.h"
#include "support/TestServer.h"
#include "update/ClientSettings.h"
#include "update/HttpGetBytes.h"
#include "update/Progress.h"

namespace vt {
namespace {

using test::TTestServer;

// Short waits so that time-out cases end in about a second.
THttpSettings QuickSettings() {
  THttpSettings settings = UpdateThreadHttpSettings();
  settings.ConnectTimeoutMs = 2000;
  settings.ResponseTimeoutMs = 1000;
  return settings;
}

// The message of the transport failure that F raises; fails the test when it raises an engine
// error of its own instead, because a transport failure must pass through with the client's
// message, marked as the server's fault so that another server may be tried.
template <typename TCall>
std::string TransportError(TCall F) {
  try {
    F();
  } catch (const TServerFault& error) {
    EXPECT_FALSE(error.Damaged()) << error.what();
    return error.what();
  } catch (const TUpdateError& error) {
    ADD_FAILURE() << "an engine error instead of the client's: " << error.what();
    return error.what();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  ADD_FAILURE() << "no error raised";
  return {};
}

template <typename TCall>
std::string EngineError(TCall F) {
  try {
    F();
  } catch (const TUpdateError& error) {
    return error.what();
  } catch (const std::exception& error) {
    ADD_FAILURE() << "not an engine error: " << error.what();
    return error.what();
  }
  ADD_FAILURE() << "no error raised";
  return {};
}

std::string Text(const TBytes& Bytes) {
  return std::string(Bytes.begin(), Bytes.end());
}

class HttpTest : public ::testing::Test {
 protected:
  TBytes Fetch(const std::string& Path, int64_t Limit = KMaxManifestBytes,
               const std::string& TooLarge = {}) {
    return HttpGetBytes(*FClient, FServer.Url(Path), Limit, TooLarge);
  }

  // Declared first so that it outlives the client and its kept-alive connection.
  TTestServer FServer;
  std::unique_ptr<THttpClient> FClient = NewHttpClient(QuickSettings());
};

TEST_F(HttpTest, OnlyStatus200Passes) {
  FServer.Serve("/version", "manifest body");
  FServer.Serve("/empty", "");
  EXPECT_EQ(Text(Fetch("version?t=17")), "manifest body");
  EXPECT_TRUE(Fetch("empty").empty());

  for (int status : {204, 206, 304, 404, 500}) {
    const std::string path = "/s" + std::to_string(status);
    FServer.ServeStatus(path, status, status == 204 || status == 304 ? "" : "error page");
    const std::string url = FServer.Url(path) + "?t=1700000000";
    EXPECT_EQ(EngineError([&] { HttpGetBytes(*FClient, url); }),
              url + ": HTTP " + std::to_string(status));
  }
  // A path nobody serves, and the client still works after the refused responses.
  EXPECT_EQ(EngineError([&] { Fetch("missing"); }), FServer.Url("missing") + ": HTTP 404");
  EXPECT_EQ(Text(Fetch("version")), "manifest body");
}

TEST_F(HttpTest, ErrorBodyIsNeverReadToItsEnd) {
  FServer.SetHandler("/endless500", FServer.Endless(500));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(EngineError([&] { Fetch("endless500"); }), FServer.Url("endless500") + ": HTTP 500");

  // A redirect whose body never ends: curl would read it to keep the connection.
  FServer.SetHandler("/endless302", [&](const httplib::Request& Request, httplib::Response& Res) {
    FServer.Endless(302)(Request, Res);
    Res.set_header("Location", FServer.Url("never"));
  });
  EXPECT_EQ(EngineError([&] { Fetch("endless302"); }), FServer.Url("endless302") + ": HTTP 302");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(FServer.RequestsFor("never").empty());
}

TEST_F(HttpTest, SendsOurUserAgentAndNoHeaderOfItsOwnBeyondIt) {
  FServer.Serve("/version", "x");
  Fetch("version?t=42");
  const auto requests = FServer.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const test::TRecordedRequest& request = requests[0];
  EXPECT_EQ(request.Method, "GET");
  EXPECT_EQ(request.Target, "/version?t=42");
  EXPECT_EQ(request.Query, "t=42");
  EXPECT_EQ(request.Header("User-Agent"), "VeltranoLauncher/2");
  EXPECT_FALSE(request.HasHeader("Accept-Encoding"));
  // Host and Accept (curl) or Connection (WinHTTP) are the client library's own and always
  // sent; anything else would be ours.
  for (const auto& [name, value] : request.Headers) {
    EXPECT_TRUE(name == "Host" || name == "User-Agent" || name == "Accept" || name == "Connection")
        << "unexpected header " << name << ": " << value;
  }
}

TEST_F(HttpTest, FollowsFiveRedirectsAndRefusesTheSixth) {
  FServer.Serve("/target", "arrived");
  // Each hop carries a body, together past the bound on dropped bodies, which must count
  // per response.
  const std::string hopBody(700 * 1024, 'r');
  for (int hop = 1; hop <= 6; ++hop) {
    const std::string next = hop == 1 ? "target" : "r/" + std::to_string(hop - 1);
    const int status = hop == 1 ? 301 : hop % 2 == 0 ? 302 : 307;
    FServer.SetHandler(
        "r/" + std::to_string(hop),
        // The body by value: the server's threads outlive this frame's view of it.
        [this, hopBody, next, status](const httplib::Request&, httplib::Response& Response) {
          Response.set_redirect(FServer.Url(next), status);
          Response.set_content(hopBody, "text/html");
        });
  }
  EXPECT_EQ(Text(Fetch("r/5")), "arrived");
  EXPECT_EQ(FServer.RequestsFor("target").size(), 1u);

  const std::string message = TransportError([&] { Fetch("r/6"); });
  EXPECT_NE(message.find("redirect"), std::string::npos) << message;
  EXPECT_EQ(FServer.RequestsFor("target").size(), 1u);
}

TEST_F(HttpTest, RedirectToAnotherSchemeIsRefused) {
  FServer.ServeRedirect("/to-file", "file:///etc/passwd");
  FServer.ServeRedirect("/to-ftp", "ftp://127.0.0.1/version");
  EXPECT_FALSE(TransportError([&] { Fetch("to-file"); }).empty());
  EXPECT_FALSE(TransportError([&] { Fetch("to-ftp"); }).empty());
}

TEST(HttpClientTest, RefusedConnectionGivesTheClientsMessage) {
  int port = 0;
  {
    TTestServer closed;
    port = closed.Port();
  }
  auto client = NewHttpClient(QuickSettings());
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/version";
  const std::string message = TransportError([&] { HttpGetBytes(*client, url); });
  EXPECT_NE(message.find(std::to_string(port)), std::string::npos) << message;
  EXPECT_EQ(message.find("HTTP"), std::string::npos) << message;
}

TEST_F(HttpTest, StalledServerTimesOut) {
  FServer.SetHandler("/half", FServer.Stall("x", 100));
  FServer.SetHandler("/silent", FServer.StallBeforeHeaders());
  for (const char* path : {"half", "silent"}) {
    const auto start = std::chrono::steady_clock::now();
    const std::string message = TransportError([&] { Fetch(path); });
    const auto waited = std::chrono::steady_clock::now() - start;
    // In the client library's words: curl's or WinHTTP's.
    EXPECT_TRUE(message.find("too slow") != std::string::npos ||
                message.find("timed out") != std::string::npos)
        << path << ": " << message;
    EXPECT_GE(waited, std::chrono::milliseconds(900)) << path;
    EXPECT_LT(waited, std::chrono::seconds(5)) << path;
  }
}

TEST_F(HttpTest, CutBodyIsATransportError) {
  FServer.SetHandler("/cut", TTestServer::CutBody("only part", 1000));
  EXPECT_FALSE(TransportError([&] { Fetch("cut"); }).empty());
}

TEST_F(HttpTest, SizeLimitEndsTheBody) {
  FServer.Serve("/exact", std::string(1000, 'a'));
  EXPECT_EQ(Fetch("exact", 1000).size(), 1000u);
  EXPECT_TRUE(EngineError([&] {
                Fetch("exact", 999);
              }).starts_with(FServer.Url("exact") + ": the response is larger than "));

  FServer.SetHandler("/endless", FServer.Endless());
  EXPECT_EQ(EngineError([&] { Fetch("endless", 1024 * 1024, "the file list is damaged"); }),
            "the file list is damaged");
  EXPECT_EQ(EngineError([&] { Fetch("endless"); }), FServer.Url("endless") +
                                                        ": the response is larger than " +
                                                        MegabytesText(KMaxManifestBytes) + " MB");
}

TEST_F(HttpTest, KeepsTheConnectionBetweenRequests) {
  FServer.Serve("/a", "1");
  FServer.Serve("/b", "2");
  Fetch("a");
  Fetch("b");
  const auto requests = FServer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  ASSERT_GT(requests[0].RemotePort, 0);
  EXPECT_EQ(requests[0].RemotePort, requests[1].RemotePort);
}

TEST_F(HttpTest, SinkExceptionPropagatesUnchanged) {
  struct TStop : std::exception {
    const char* what() const noexcept override { return "stopped by the sink"; }
  };
  FServer.Serve("/data", std::string(200000, 'd'));
  int calls = 0;
  EXPECT_THROW(FClient->Get(FServer.Url("data"),
                            [&](const uint8_t*, size_t) {
                              ++calls;
                              throw TStop();
                            }),
               TStop);
  EXPECT_EQ(calls, 1);

  size_t received = 0;
  EXPECT_EQ(
      FClient->Get(FServer.Url("data"), [&](const uint8_t*, size_t Size) { received += Size; }),
      200);
  EXPECT_EQ(received, 200000u);
}

// Later integration tests serve whole published trees; exact paths and longer prefixes must
// win over a folder mounted at the root.
TEST_F(HttpTest, TestServerServesAFolderTree) {
  struct TTempDir {
    std::filesystem::path Path;
    ~TTempDir() { std::filesystem::remove_all(Path); }
  } temp{std::filesystem::temp_directory_path() / ("vt-http-" + std::to_string(FServer.Port()))};
  const std::filesystem::path& dir = temp.Path;
  std::filesystem::create_directories(dir / "o" / "ab");
  std::ofstream(dir / "o" / "ab" / "abcd", std::ios::binary) << "object";
  std::ofstream(dir / "version", std::ios::binary) << "from the folder";

  FServer.ServeDirectory("/", dir);
  EXPECT_EQ(Text(Fetch("o/ab/abcd")), "object");
  EXPECT_EQ(Text(Fetch("version")), "from the folder");
  EXPECT_EQ(EngineError([&] { Fetch("o/ab/none"); }), FServer.Url("o/ab/none") + ": HTTP 404");
  EXPECT_EQ(EngineError([&] { Fetch("o/ab"); }), FServer.Url("o/ab") + ": HTTP 404");

  FServer.Serve("version", "exact");
  FServer.SetPrefixHandler("/o/", TTestServer::CutBody("x", 10));
  EXPECT_EQ(Text(Fetch("version")), "exact");
  EXPECT_FALSE(TransportError([&] { Fetch("o/ab/abcd"); }).empty());
}

}  // namespace
}  // namespace vt
