#pragma once
// An in-memory stand-in for the HTTP clients of a run: bodies and status codes by path, a log of
// the requests, and holds that keep a request waiting until the test lets it go. No sockets: the
// steps' unit tests and the window-logic tests run without a server.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Http.h"
#include "support/ServedBodies.h"

namespace vt::test {

struct TFakeRequest {
  std::string Path;   // "/version"
  std::string Query;  // text after "?", empty when none
  std::optional<THttpRange> Range;
  std::string UserAgent;  // of the client that asked
};

// A door that held requests wait at until the test opens it.
class TDoor {
 public:
  // Counts the arrival, then waits until the door is open.
  void Pass();
  void Open();
  size_t Arrivals() const;
  // True once Count requests have arrived; false when Timeout passes first.
  bool WaitForArrivals(size_t Count,
                       std::chrono::milliseconds Timeout = std::chrono::seconds(20)) const;

 private:
  mutable std::mutex FLock;
  mutable std::condition_variable FSignal;
  size_t FArrivals = 0;
  bool FOpen = false;
};

class TFakeHttp : public TServedBodies {
 public:
  // Runs on the requesting thread before the answer; Stop is the client's stop token. A stop
  // asked for meanwhile ends the request with THttpStopped, as it would a real transfer.
  using THold = std::function<void(const TStopToken& Stop)>;

  // Any scheme and host reach the same fake; this one is for tests that need a URL.
  static std::string BaseUrl() { return "https://updates.test/"; }

  using TServedBodies::Serve;
  void Serve(const std::string& Path, std::string Body) override;
  // Anything but 200 answers without a body reaching the sink, as the real clients do;
  // RetryAfter: the seconds its Retry-After header asks for.
  void ServeStatus(const std::string& Path, int Status, std::string Body = {},
                   int64_t RetryAfter = 0);
  // Sends Sent, then the connection ends early: THttpBodyCut, as the real clients raise it.
  void ServeCut(const std::string& Path, std::string Sent);
  // Sends Sent, then the transfer fails with Message (a time-out, a reset).
  void ServeFailing(const std::string& Path, std::string Sent, std::string Message);
  // A 200 body that never ends.
  void ServeEndless(const std::string& Path);
  void HoldAt(const std::string& Path, THold Hold);

  // Makes clients that answer from this object, which must outlive them.
  THttpClientFactory Factory();

  std::vector<TFakeRequest> Requests() const;
  std::vector<TFakeRequest> RequestsFor(const std::string& Path) const;
  void ClearRequests();

 private:
  class TClient;
  // How a body ends after its bytes.
  enum class TEnd { Complete, Cut, Fail, Never };
  struct TAnswer {
    int Status = 404;
    std::shared_ptr<const std::string> Body;
    THold Hold;
    TEnd End = TEnd::Complete;
    std::string Failure;  // the message when End is Fail
    int64_t RetryAfter = 0;
  };
  void SetAnswer(const std::string& Path, TAnswer Answer);
  // Logs the request and returns what Path is answered with.
  TAnswer Take(TFakeRequest Request);

  mutable std::mutex FLock;
  std::map<std::string, TAnswer> FAnswers;
  TRequestLog<TFakeRequest> FLog;
};

}  // namespace vt::test
