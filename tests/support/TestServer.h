#pragma once
// An HTTP server on 127.0.0.1 inside the test process, for tests that talk to a real server:
// static bodies, whole folders, chosen status codes, redirects and injected faults (cut,
// stalled and endless bodies), with a log of every request it received.

#ifdef _WIN32
#include "support/win32/WinsockHttpServer.h"
#else
#include <httplib.h>
#endif

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/ServedBodies.h"

namespace vt::test {

// One request as the server received it.
struct TRecordedRequest {
  std::string Method;
  std::string Path;          // decoded path, e.g. "/version"
  std::string Query;         // text after "?", empty when none
  std::string Target;        // the request target as sent, query included
  httplib::Headers Headers;  // only those the client sent (names compare without case)
  int RemotePort = -1;       // the client's side of the connection

  bool HasHeader(const std::string& Name) const { return Headers.count(Name) != 0; }
  std::string Header(const std::string& Name) const;
};

class TTestServer : public TServedBodies {
 public:
  using THandler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Starts listening on a free port; the server runs until the object is destroyed.
  TTestServer();
  ~TTestServer();
  TTestServer(const TTestServer&) = delete;
  TTestServer& operator=(const TTestServer&) = delete;

  int Port() const { return FPort; }
  // "http://127.0.0.1:PORT/".
  std::string BaseUrl() const;
  // BaseUrl() followed by Path without its leading "/".
  std::string Url(const std::string& Path) const;

  // All setters may be called while the server runs; a path given without a leading "/" gets
  // one. Exact paths win over prefixes, and the longest prefix wins among prefixes; anything
  // else is a 404 with an empty body.
  using TServedBodies::Serve;
  void Serve(const std::string& Path, std::string Body) override;
  void ServeStatus(const std::string& Path, int Status, std::string Body = {});
  void ServeRedirect(const std::string& Path, const std::string& Location, int Status = 302);
  // Files under Dir at Prefix + their relative path, read at each request.
  void ServeDirectory(const std::string& Prefix, const std::filesystem::path& Dir);
  void SetHandler(const std::string& Path, THandler Handler);
  void SetPrefixHandler(const std::string& Prefix, THandler Handler);
  void Remove(const std::string& Path);

  // Faults, to pass to SetHandler or SetPrefixHandler.
  // Promises Promised bytes, sends Sent and closes the connection.
  static THandler CutBody(std::string Sent, size_t Promised);
  // Promises Promised bytes, sends Sent and then nothing until the server stops.
  THandler Stall(std::string Sent, size_t Promised);
  // Sends no response at all until the server stops.
  THandler StallBeforeHeaders();
  // A chunked body of Status that never ends, until the client goes away or the server stops.
  THandler Endless(int Status = 200);
  // Body with its length announced, sent at BytesPerSecond in tenths of a second's worth (a
  // byte at least), until it is whole, the client goes away or the server stops.
  THandler Throttled(std::string Body, size_t BytesPerSecond);

  // Every request so far, in the order they arrived.
  std::vector<TRecordedRequest> Requests() const;
  // The requests for one path.
  std::vector<TRecordedRequest> RequestsFor(const std::string& Path) const;
  void ClearRequests();

 private:
  void Dispatch(const httplib::Request& Request, httplib::Response& Response);
  THandler FindHandler(const std::string& Path) const;
  void Record(const httplib::Request& Request);
  // Waits until the destructor begins; stalled handlers return then.
  void WaitForStop();
  // Waits for Time, or less when the destructor begins; false then.
  bool SleepUnlessStopping(std::chrono::nanoseconds Time);

  httplib::Server FServer;
  std::thread FThread;
  int FPort = -1;

  mutable std::mutex FLock;
  std::map<std::string, THandler> FExact;
  std::map<std::string, THandler> FPrefixes;
  TRequestLog<TRecordedRequest> FLog;

  std::mutex FStopLock;
  std::condition_variable FStopSignal;
  std::atomic<bool> FStopping{false};
};

}  // namespace vt::test
