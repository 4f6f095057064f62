// What the WinHTTP client does itself rather than leave to WinHTTP: redirects (relative ones
// included) and the texts of its failures.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/Http.h"
#include "platform/SysError.h"
#include "support/TestServer.h"

namespace vt {
namespace {

using test::TTestServer;

class WinHttp : public ::testing::Test {
 protected:
  // The body of a GET, or "HTTP <status>" when it is not 200.
  std::string Fetch(const std::string& Path) {
    std::string body;
    const int status = FClient->Get(FServer.Url(Path), [&](const uint8_t* Data, size_t Size) {
      body.append(reinterpret_cast<const char*>(Data), Size);
    });
    return status == 200 ? body : "HTTP " + std::to_string(status);
  }

  template <typename TError = std::runtime_error>
  std::string ErrorOf(const std::string& Path) {
    try {
      Fetch(Path);
    } catch (const TError& error) {
      return error.what();
    }
    return "no error";
  }

  TTestServer FServer;
  std::unique_ptr<THttpClient> FClient = NewHttpClient([] {
    THttpSettings settings;
    settings.UserAgent = "VeltranoLauncher/2";
    settings.ResponseTimeoutMs = 1000;
    return settings;
  }());
};

TEST_F(WinHttp, RelativeRedirectsResolveAgainstTheUrlThatAnswered) {
  FServer.ServeRedirect("/a/b/start", "next?x=1", 302);
  FServer.ServeRedirect("/a/b/next", "../c/then", 307);
  FServer.ServeRedirect("/a/c/then", "/final", 301);
  FServer.ServeRedirect("/final", FServer.Url("done"), 308);
  FServer.Serve("/done", "arrived");
  EXPECT_EQ(Fetch("a/b/start"), "arrived");
  ASSERT_EQ(FServer.RequestsFor("a/b/next").size(), 1u);
  EXPECT_EQ(FServer.RequestsFor("a/b/next")[0].Target, "/a/b/next?x=1");
  EXPECT_EQ(FServer.RequestsFor("a/c/then").size(), 1u);
  // A redirect without a Location is an answer like any other status.
  FServer.ServeStatus("/nowhere", 302);
  EXPECT_EQ(Fetch("nowhere"), "HTTP 302");
}

TEST_F(WinHttp, TooManyRedirectsNameTheLimit) {
  FServer.ServeRedirect("/loop", "loop");
  const std::string message = ErrorOf("loop");
  EXPECT_EQ(message,
            "127.0.0.1:" + std::to_string(FServer.Port()) + ": Maximum (5) redirects followed");
  EXPECT_EQ(FServer.RequestsFor("loop").size(), 6u);
}

TEST_F(WinHttp, FailuresCarryTheServerAndTheSystemsText) {
  const std::string server = "127.0.0.1:" + std::to_string(FServer.Port()) + ": ";
  FServer.SetHandler("/silent", FServer.StallBeforeHeaders());
  EXPECT_EQ(ErrorOf("silent"), server + SystemErrorText(12002));  // ERROR_WINHTTP_TIMEOUT
  // A body that ends short of its announced length is a cut body, after what did arrive.
  FServer.SetHandler("/cut", TTestServer::CutBody("only part", 1000));
  std::string got;
  EXPECT_THROW(FClient->Get(FServer.Url("cut"),
                            [&](const uint8_t* Data, size_t Size) {
                              got.append(reinterpret_cast<const char*>(Data), Size);
                            }),
               THttpBodyCut);
  EXPECT_EQ(got, "only part");
  // Only http and https.
  try {
    FClient->Get("ftp://127.0.0.1/x", [](const uint8_t*, size_t) {});
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("ftp://127.0.0.1/x: ", 0), 0u) << error.what();
  }
}

}  // namespace
}  // namespace vt
