#pragma once
// The platform's HTTP(S) client. One object per thread, kept for all of that thread's
// requests so that connections are reused.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/Stop.h"

namespace vt {

struct THttpSettings {
  std::string UserAgent;
  long ConnectTimeoutMs = 60000;
  long SendTimeoutMs = 60000;
  // Longest wait for the response and for each further piece of its body.
  long ResponseTimeoutMs = 60000;
  long MaxRedirects = 5;
  // Once a stop is requested, the transfer in progress ends within a quarter of a second with
  // THttpStopped, however slowly the server sends, and no further request is sent.
  TStopToken Stop;
};

// Raised when a transfer ends because Stop was requested.
class THttpStopped : public std::runtime_error {
 public:
  THttpStopped() : std::runtime_error("the transfer was stopped") {}
};

// Raised when the connection ends before the body that the response announced is complete.
// Callers that verify what arrived may take it as the end of the body.
class THttpBodyCut : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bytes [From, From + Count) of a resource.
struct THttpRange {
  int64_t From = 0;
  int64_t Count = 0;
};

// Range as the Range header's byte span, "<first>-<last>" (after "bytes="); raises
// std::invalid_argument for an empty or negative range.
inline std::string RangeSpan(const THttpRange& Range) {
  if (Range.From < 0 || Range.Count <= 0)
    throw std::invalid_argument("empty HTTP range");
  return std::to_string(Range.From) + "-" + std::to_string(Range.From + Range.Count - 1);
}

class THttpClient {
 public:
  using TSink = std::function<void(const uint8_t* Data, size_t Size)>;

  virtual ~THttpClient() = default;

  // GETs Url (redirects followed) and returns the final status code. Only the body of a final
  // 200 response reaches Sink, piece by piece; any other body is dropped unread. A transport
  // failure raises std::runtime_error with the client's own message; an exception thrown by
  // Sink ends the transfer and propagates unchanged.
  virtual int Get(const std::string& Url, const TSink& Sink) = 0;
  // Get with a Range header for Range: only the body of a final 206 response reaches Sink. A
  // server that ignores ranges answers 200, whose body is dropped like any other.
  virtual int GetRange(const std::string& Url, const THttpRange& Range, const TSink& Sink) = 0;
  // Seconds that the Retry-After header of the last final response asked for (a server that
  // answers 503 or 429 under load); 0 when it had none, or a date rather than seconds.
  virtual int64_t RetryAfterSeconds() const { return 0; }
};

std::unique_ptr<THttpClient> NewHttpClient(const THttpSettings& Settings);

// Makes a client with the given settings: NewHttpClient, or a stand-in.
using THttpClientFactory = std::function<std::unique_ptr<THttpClient>(const THttpSettings&)>;

}  // namespace vt
