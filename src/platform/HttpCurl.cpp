// THttpClient on libcurl: one easy handle per client, kept for all of its requests so that
// curl's connection cache reuses the connection to the update server. It runs in a multi handle
// of its own, whose wait a stop request can wake at once: curl_easy_perform would look at a
// stop only once a second while a server sends nothing.

#include <curl/curl.h>

#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/Http.h"

namespace vt {
namespace {

// A non-200 response may carry a body, which is dropped unread, but a hostile server could
// hide an endless body behind a redirect, which curl itself reads to its end so that it can
// keep the connection. Past this many bytes of a non-200 body the transfer ends.
constexpr curl_off_t KMaxDroppedBodyBytes = 1024 * 1024;

void InitCurlOnce() {
  // curl_global_init is not thread-safe, and clients are made on several threads. A failure
  // leaves the flag unset, so the next client tries again. There is no matching cleanup:
  // clients on other threads may outlive any point where it would be safe.
  static std::once_flag once;
  std::call_once(once, [] {
    const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK)
      throw std::runtime_error(curl_easy_strerror(code));
  });
}

std::string TrimRight(std::string Text) {
  while (!Text.empty() && static_cast<unsigned char>(Text.back()) <= ' ')
    Text.pop_back();
  return Text;
}

struct TEasyDeleter {
  void operator()(CURL* Handle) const { curl_easy_cleanup(Handle); }
};

struct TMultiDeleter {
  void operator()(CURLM* Handle) const { curl_multi_cleanup(Handle); }
};

void CheckMulti(CURLMcode Code) {
  if (Code != CURLM_OK)
    throw std::runtime_error(curl_multi_strerror(Code));
}

// The easy handle's membership of the multi handle for one transfer.
class TTransfer {
 public:
  TTransfer(CURLM* Multi, CURL* Easy) : FMulti(Multi), FEasy(Easy) {
    CheckMulti(curl_multi_add_handle(Multi, Easy));
  }
  ~TTransfer() { curl_multi_remove_handle(FMulti, FEasy); }
  TTransfer(const TTransfer&) = delete;
  TTransfer& operator=(const TTransfer&) = delete;

 private:
  CURLM* FMulti;
  CURL* FEasy;
};

class TCurlClient final : public THttpClient {
 public:
  explicit TCurlClient(const THttpSettings& Settings);
  TCurlClient(const TCurlClient&) = delete;
  TCurlClient& operator=(const TCurlClient&) = delete;

  int Get(const std::string& Url, const TSink& Sink) override;
  int GetRange(const std::string& Url, const THttpRange& Range, const TSink& Sink) override;
  int64_t RetryAfterSeconds() const override;

 private:
  int Transfer(const std::string& Url, const std::string& Range, const TSink& Sink);
  template <typename T>
  void SetOption(CURLoption Option, T Value);
  long ResponseCode() const;
  CURLcode Perform();
  size_t Write(const char* Data, size_t Size);
  bool TooMuchDropped(curl_off_t Received) const;

  static size_t OnWrite(char* Data, size_t Size, size_t Count, void* Self);
  static int OnProgress(void* Self, curl_off_t DownTotal, curl_off_t DownNow, curl_off_t UpTotal,
                        curl_off_t UpNow);

  TStopToken FStop;
  std::unique_ptr<CURLM, TMultiDeleter> FMulti;
  std::unique_ptr<CURL, TEasyDeleter> FHandle;
  char FErrorText[CURL_ERROR_SIZE] = {};
  // State of the request in progress.
  const TSink* FSink = nullptr;
  long FWanted = 200;       // the status whose body reaches the sink
  long FDroppedStatus = 0;  // another response, whose transfer we ended on purpose
  std::exception_ptr FSinkError;
};

template <typename T>
void TCurlClient::SetOption(CURLoption Option, T Value) {
  const CURLcode code = curl_easy_setopt(FHandle.get(), Option, Value);
  if (code != CURLE_OK)
    throw std::runtime_error(curl_easy_strerror(code));
}

TCurlClient::TCurlClient(const THttpSettings& Settings) : FStop(Settings.Stop) {
  InitCurlOnce();
  FMulti.reset(curl_multi_init());
  FHandle.reset(curl_easy_init());
  if (!FMulti || !FHandle)
    throw std::runtime_error("cannot create an HTTP client");
  SetOption(CURLOPT_ERRORBUFFER, FErrorText);
  // Otherwise curl times out name lookups with SIGALRM, which is unsafe with threads.
  SetOption(CURLOPT_NOSIGNAL, 1L);
  SetOption(CURLOPT_USERAGENT, Settings.UserAgent.c_str());
  SetOption(CURLOPT_CONNECTTIMEOUT_MS, Settings.ConnectTimeoutMs);
  // curl has no per-receive time-out; the nearest is its stall limit: fewer than 1 byte/s over
  // the whole seconds given ends the transfer, whether it waits for the response or for more
  // of its body. curl averages the speed over the last five seconds, so a stall that follows
  // body data is noticed up to five seconds late. It has no send time-out either: a GET's request
  // fits in the socket buffer, and the same stall limit catches a connection that stops moving in
  // any direction, so SendTimeoutMs has nothing left to bound.
  if (Settings.ResponseTimeoutMs > 0) {
    SetOption(CURLOPT_LOW_SPEED_LIMIT, 1L);
    SetOption(CURLOPT_LOW_SPEED_TIME, (Settings.ResponseTimeoutMs + 999) / 1000);
  }
  SetOption(CURLOPT_FOLLOWLOCATION, 1L);
  SetOption(CURLOPT_MAXREDIRS, Settings.MaxRedirects);
  // A redirect must not lead to file://, ftp:// or any other scheme curl knows.
  SetOption(CURLOPT_PROTOCOLS_STR, "http,https");
  SetOption(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  SetOption(CURLOPT_WRITEFUNCTION, &TCurlClient::OnWrite);
  SetOption(CURLOPT_WRITEDATA, static_cast<void*>(this));
  SetOption(CURLOPT_XFERINFOFUNCTION, &TCurlClient::OnProgress);
  SetOption(CURLOPT_XFERINFODATA, static_cast<void*>(this));
  SetOption(CURLOPT_NOPROGRESS, 0L);
}

int TCurlClient::Get(const std::string& Url, const TSink& Sink) {
  return Transfer(Url, {}, Sink);
}

int TCurlClient::GetRange(const std::string& Url, const THttpRange& Range, const TSink& Sink) {
  return Transfer(Url, RangeSpan(Range), Sink);
}

int TCurlClient::Transfer(const std::string& Url, const std::string& Range, const TSink& Sink) {
  FSink = &Sink;
  FWanted = Range.empty() ? 200 : 206;
  FDroppedStatus = 0;
  FSinkError = nullptr;
  FErrorText[0] = '\0';
  SetOption(CURLOPT_URL, Url.c_str());
  SetOption(CURLOPT_RANGE, Range.empty() ? nullptr : Range.c_str());
  CURLcode code = CURLE_OK;
  try {
    code = Perform();
  } catch (...) {
    FSink = nullptr;
    throw;
  }
  FSink = nullptr;
  if (FSinkError)
    std::rethrow_exception(std::exchange(FSinkError, nullptr));
  if (FDroppedStatus != 0)
    return static_cast<int>(FDroppedStatus);
  if (code != CURLE_OK) {
    std::string text = TrimRight(FErrorText);
    if (text.empty())
      text = curl_easy_strerror(code);
    if (code == CURLE_PARTIAL_FILE)
      throw THttpBodyCut(text);
    throw std::runtime_error(text);
  }
  return static_cast<int>(ResponseCode());
}

CURLcode TCurlClient::Perform() {
  if (FStop.StopRequested())
    throw THttpStopped();
  CURLM* multi = FMulti.get();
  const TTransfer transfer(multi, FHandle.get());
  const TStopCallback wake(FStop, [multi] { curl_multi_wakeup(multi); });
  for (;;) {
    int running = 0;
    CheckMulti(curl_multi_perform(multi, &running));
    if (running == 0)
      break;
    // The transfer is cut where it stands; its connection is not kept.
    if (FStop.StopRequested())
      throw THttpStopped();
    CheckMulti(curl_multi_poll(multi, nullptr, 0, 1000, nullptr));
  }
  int left = 0;
  while (const CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == FHandle.get())
      return message->data.result;
  }
  return CURLE_FAILED_INIT;  // only a guard: curl reports every transfer it has finished
}

int64_t TCurlClient::RetryAfterSeconds() const {
  curl_off_t seconds = 0;
  curl_easy_getinfo(FHandle.get(), CURLINFO_RETRY_AFTER, &seconds);
  return seconds > 0 ? static_cast<int64_t>(seconds) : 0;
}

long TCurlClient::ResponseCode() const {
  long status = 0;
  curl_easy_getinfo(FHandle.get(), CURLINFO_RESPONSE_CODE, &status);
  return status;
}

size_t TCurlClient::Write(const char* Data, size_t Size) {
  const long status = ResponseCode();
  if (status != FWanted) {
    // Nobody reads this body, so stop here rather than let an endless one run on.
    FDroppedStatus = status;
    return 0;
  }
  try {
    (*FSink)(reinterpret_cast<const uint8_t*>(Data), Size);
  } catch (...) {
    // Unwinding through curl's C frames is undefined; carry the exception past them.
    FSinkError = std::current_exception();
    return 0;
  }
  return Size;
}

bool TCurlClient::TooMuchDropped(curl_off_t Received) const {
  if (Received <= KMaxDroppedBodyBytes)
    return false;
  const long status = ResponseCode();
  return status != 0 && status != FWanted;
}

size_t TCurlClient::OnWrite(char* Data, size_t Size, size_t Count, void* Self) {
  return static_cast<TCurlClient*>(Self)->Write(Data, Size * Count);
}

int TCurlClient::OnProgress(void* Self, curl_off_t, curl_off_t DownNow, curl_off_t, curl_off_t) {
  auto* client = static_cast<TCurlClient*>(Self);
  if (!client->TooMuchDropped(DownNow))
    return 0;
  client->FDroppedStatus = client->ResponseCode();
  return 1;
}

}  // namespace

std::unique_ptr<THttpClient> NewHttpClient(const THttpSettings& Settings) {
  return std::make_unique<TCurlClient>(Settings);
}

}  // namespace vt
