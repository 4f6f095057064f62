// THttpClient on WinHTTP: one session per client, kept for all of its requests so that WinHTTP's
// connection pool reuses the connection to the update server. Redirects are followed here
// rather than by WinHTTP, which would read a redirect's body to its end, however long.

#include <windows.h>
// after windows.h, whose types they use
#include <shlwapi.h>
#include <winhttp.h>

#include <cwchar>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Http.h"
#include "platform/SysError.h"
#include "platform/WideWin32.h"

namespace vt {
namespace {

// A redirect's body is read (so that the connection can be kept) up to this many bytes; past
// them the redirect is not followed and its status is the answer, as with the curl client.
constexpr int64_t KMaxDroppedBodyBytes = 1024 * 1024;
constexpr DWORD KPieceSize = 64 * 1024;

struct TInternetCloser {
  void operator()(HINTERNET Handle) const { ::WinHttpCloseHandle(Handle); }
};
using TInternet = std::unique_ptr<void, TInternetCloser>;

// A request handle that a stop request closes from the stopping thread: closing is how WinHTTP
// cuts a blocked synchronous call short (it then fails, and the stop is seen). Whoever closes
// first closes; the other does nothing. After a stop the owner makes no further call on it.
class TStoppableRequest {
 public:
  TStoppableRequest(HINTERNET Handle, const TStopToken& Stop)
      : FHandle(Handle), FOnStop(Stop, [this] { Close(); }) {}
  ~TStoppableRequest() { Close(); }
  TStoppableRequest(const TStoppableRequest&) = delete;
  TStoppableRequest& operator=(const TStoppableRequest&) = delete;

  HINTERNET Handle() const { return FHandle; }
  void Close() {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FClosed)
      ::WinHttpCloseHandle(FHandle);
    FClosed = true;
  }

 private:
  std::mutex FLock;
  const HINTERNET FHandle;
  bool FClosed = false;
  TStopCallback FOnStop;  // last: it may run at once, and uses the fields above
};

// The parts of a URL that WinHTTP's calls take.
struct TTarget {
  std::wstring Host;
  INTERNET_PORT Port = 0;
  std::wstring PathAndQuery;
  bool Secure = false;
  std::string Name;  // "host:port", for messages
};

[[noreturn]] void RaiseCode(const std::string& Where, DWORD Code) {
  throw std::runtime_error(Where + ": " + SystemErrorText(static_cast<int>(Code)));
}

// Wine's WinHTTP passes on the socket's own time-out code; it is WinHTTP's time-out all the same.
DWORD LastHttpError() {
  const DWORD code = ::GetLastError();
  return code == WSAETIMEDOUT ? ERROR_WINHTTP_TIMEOUT : code;
}

[[noreturn]] void RaiseLast(const std::string& Where) {
  RaiseCode(Where, LastHttpError());
}

// A failed read: a connection that ends short of the announced body is a cut body, which the
// caller may take as its end; a time-out or anything else is a transport failure.
[[noreturn]] void RaiseRead(const TTarget& Target, bool Short) {
  const DWORD code = LastHttpError();
  if (Short && code != ERROR_WINHTTP_TIMEOUT)
    throw THttpBodyCut(Target.Name + ": " + SystemErrorText(static_cast<int>(code)));
  RaiseCode(Target.Name, code);
}

// Only http and https: WinHttpCrackUrl refuses every other scheme.
TTarget Crack(const std::string& Url) {
  const std::wstring url = Wide(Url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts))
    RaiseLast(Url);
  TTarget target;
  target.Host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.Port = parts.nPort;
  target.PathAndQuery.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  target.PathAndQuery.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (target.PathAndQuery.empty())
    target.PathAndQuery = L"/";
  target.Secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  target.Name = Utf8(target.Host) + ":" + std::to_string(target.Port);
  return target;
}

// A header of the response as text; empty when it is absent.
std::wstring Header(HINTERNET Request, DWORD Query,
                    const wchar_t* Name = WINHTTP_HEADER_NAME_BY_INDEX) {
  DWORD size = 0;
  ::WinHttpQueryHeaders(Request, Query, Name, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
    return {};
  std::wstring text(size / sizeof(wchar_t), L'\0');
  if (!::WinHttpQueryHeaders(Request, Query, Name, text.data(), &size, WINHTTP_NO_HEADER_INDEX))
    return {};
  text.resize(size / sizeof(wchar_t));
  return text;
}

// The announced length of the body; -1 when there is none (or no number WinHTTP would take).
int64_t ContentLength(HINTERNET Request) {
  const std::wstring text = Header(Request, WINHTTP_QUERY_CONTENT_LENGTH);
  wchar_t* end = nullptr;
  const long long length = std::wcstoll(text.c_str(), &end, 10);
  return text.empty() || *end != L'\0' || length < 0 ? -1 : length;
}

bool IsRedirect(DWORD Status) {
  return Status == 301 || Status == 302 || Status == 303 || Status == 307 || Status == 308;
}

// Location resolved against the URL that answered with it.
std::string Resolve(const std::string& Base, const std::wstring& Location) {
  const std::wstring base = Wide(Base);
  std::wstring joined(base.size() + Location.size() + 64, L'\0');
  DWORD size = static_cast<DWORD>(joined.size());
  HRESULT result = ::UrlCombineW(base.c_str(), Location.c_str(), joined.data(), &size, 0);
  if (result == E_POINTER) {  // size now holds the length it needs
    joined.resize(size + 1);
    size = static_cast<DWORD>(joined.size());
    result = ::UrlCombineW(base.c_str(), Location.c_str(), joined.data(), &size, 0);
  }
  if (FAILED(result))
    return Utf8(Location);  // cracking it then names the problem
  joined.resize(size);
  return Utf8(joined);
}

class TWinHttpClient final : public THttpClient {
 public:
  explicit TWinHttpClient(const THttpSettings& Settings);

  int Get(const std::string& Url, const TSink& Sink) override;
  int GetRange(const std::string& Url, const THttpRange& Range, const TSink& Sink) override;
  int64_t RetryAfterSeconds() const override { return FRetryAfter; }

 private:
  // Headers: extra request headers, each line ending in CR LF; empty for none.
  int Transfer(const std::string& Url, const std::wstring& Headers, DWORD Wanted,
               const TSink& Sink);
  std::unique_ptr<TStoppableRequest> Request(const TTarget& Target, const std::wstring& Headers);
  // Reads the body: into Sink, or (no Sink) dropped up to Limit bytes. False when the body
  // went on past Limit.
  bool ReadBody(HINTERNET Request, const TTarget& Target, const TSink* Sink, int64_t Limit);
  // Raises THttpStopped once a stop is requested: a failed call after a stop is its doing.
  void ThrowIfStopped() const;

  THttpSettings FSettings;
  TInternet FSession;
  std::vector<uint8_t> FBuffer;
  int64_t FRetryAfter = 0;  // of the last final response
};

TWinHttpClient::TWinHttpClient(const THttpSettings& Settings)
    : FSettings(Settings), FBuffer(KPieceSize) {
  const std::wstring agent = Wide(Settings.UserAgent);
  // The system's proxy configuration (automatic where the system has it, Windows 8.1 on).
  FSession.reset(::WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!FSession) {
    FSession.reset(::WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  }
  if (!FSession)
    RaiseLast("cannot create an HTTP client");
  // Name lookup has no limit of its own; the receive time-out bounds the wait for the
  // response and for each further piece of its body alike.
  if (!::WinHttpSetTimeouts(FSession.get(), 0, Settings.ConnectTimeoutMs, Settings.SendTimeoutMs,
                            Settings.ResponseTimeoutMs)) {
    RaiseLast("cannot set the HTTP time-outs");
  }
  DWORD response = static_cast<DWORD>(Settings.ResponseTimeoutMs);
  ::WinHttpSetOption(FSession.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response,
                     sizeof response);
}

void TWinHttpClient::ThrowIfStopped() const {
  if (FSettings.Stop.StopRequested())
    throw THttpStopped();
}

std::unique_ptr<TStoppableRequest> TWinHttpClient::Request(const TTarget& Target,
                                                           const std::wstring& Headers) {
  ThrowIfStopped();
  // WinHTTP keeps the connection in the session's pool after the handles are closed.
  TInternet connect(::WinHttpConnect(FSession.get(), Target.Host.c_str(), Target.Port, 0));
  if (!connect)
    RaiseLast(Target.Name);
  HINTERNET handle = ::WinHttpOpenRequest(connect.get(), L"GET", Target.PathAndQuery.c_str(),
                                          nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          Target.Secure ? WINHTTP_FLAG_SECURE : 0);
  if (handle == nullptr)
    RaiseLast(Target.Name);
  auto request = std::make_unique<TStoppableRequest>(handle, FSettings.Stop);
  // Redirects are ours to follow; cookies and logons are no part of an update.
  DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
  ::WinHttpSetOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
  if (!::WinHttpSendRequest(handle,
                            Headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : Headers.c_str(),
                            static_cast<DWORD>(Headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !::WinHttpReceiveResponse(handle, nullptr)) {
    ThrowIfStopped();
    RaiseLast(Target.Name);
  }
  return request;
}

int TWinHttpClient::Get(const std::string& Url, const TSink& Sink) {
  return Transfer(Url, {}, 200, Sink);
}

int TWinHttpClient::GetRange(const std::string& Url, const THttpRange& Range, const TSink& Sink) {
  const std::string header = "Range: bytes=" + RangeSpan(Range) + "\r\n";
  return Transfer(Url, std::wstring(header.begin(), header.end()), 206, Sink);
}

int TWinHttpClient::Transfer(const std::string& Url, const std::wstring& Headers, DWORD Wanted,
                             const TSink& Sink) {
  std::string url = Url;
  for (long redirects = 0;; ++redirects) {
    const TTarget target = Crack(url);
    const std::unique_ptr<TStoppableRequest> stoppable = Request(target, Headers);
    const HINTERNET request = stoppable->Handle();
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
      ThrowIfStopped();
      RaiseLast(target.Name);
    }
    // Seconds only: a date in its place is taken as none.
    DWORD after = 0;
    size = sizeof after;
    FRetryAfter =
        ::WinHttpQueryHeaders(request, WINHTTP_QUERY_RETRY_AFTER | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &after, &size, WINHTTP_NO_HEADER_INDEX)
            ? static_cast<int64_t>(after)
            : 0;
    if (status == Wanted) {
      ReadBody(request, target, &Sink, 0);
      return static_cast<int>(status);
    }
    const std::wstring location = Header(request, WINHTTP_QUERY_LOCATION);
    // Any other body is dropped: unread, unless a redirect's short body lets us keep the
    // connection.
    if (!IsRedirect(status) || location.empty() ||
        !ReadBody(request, target, nullptr, KMaxDroppedBodyBytes)) {
      return static_cast<int>(status);
    }
    if (redirects >= FSettings.MaxRedirects) {
      throw std::runtime_error(target.Name + ": Maximum (" +
                               std::to_string(FSettings.MaxRedirects) + ") redirects followed");
    }
    url = Resolve(url, location);
  }
}

bool TWinHttpClient::ReadBody(HINTERNET Request, const TTarget& Target, const TSink* Sink,
                              int64_t Limit) {
  const int64_t length = ContentLength(Request);
  int64_t received = 0;
  for (;;) {
    // Looked at before each piece as well, since a Wine whose close of the handle does not
    // wake a blocked call still stops a flowing transfer here.
    ThrowIfStopped();
    // Waiting for data first and then reading only what is there: Wine's WinHttpReadData
    // otherwise waits to fill the whole buffer, and loses what it had when the wait times out.
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(Request, &available)) {
      ThrowIfStopped();
      RaiseRead(Target, received < length);
    }
    DWORD got = 0;
    if (available > 0 &&
        !::WinHttpReadData(Request, FBuffer.data(), available < KPieceSize ? available : KPieceSize,
                           &got)) {
      ThrowIfStopped();
      RaiseRead(Target, received < length);
    }
    if (got == 0) {
      if (received < length) {
        throw THttpBodyCut(Target.Name + ": the connection closed with " +
                           std::to_string(length - received) + " bytes of the body missing");
      }
      return true;
    }
    received += got;
    if (Sink == nullptr && received > Limit)
      return false;
    if (Sink != nullptr)
      (*Sink)(FBuffer.data(), got);
  }
}

}  // namespace

std::unique_ptr<THttpClient> NewHttpClient(const THttpSettings& Settings) {
  return std::make_unique<TWinHttpClient>(Settings);
}

}  // namespace vt
