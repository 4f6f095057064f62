// Client settings of the engine's threads, and fetching one small document into memory.

#include <string>

#include "format/Errors.h"
#include "format/Text.h"
#include "update/ClientSettings.h"
#include "update/HttpGetBytes.h"

namespace vt {

THttpSettings WorkerHttpSettings() {
  // The client's defaults: 60 s to connect, to send and to wait for data; 5 redirects.
  THttpSettings settings;
  settings.UserAgent = KUserAgent;
  return settings;
}

THttpSettings UpdateThreadHttpSettings() {
  // Shorter waits: this client fetches only small documents.
  THttpSettings settings = WorkerHttpSettings();
  settings.ConnectTimeoutMs = 10000;
  settings.ResponseTimeoutMs = 30000;
  return settings;
}

std::optional<TBytes> HttpGetBytesIfThere(THttpClient& Client, const std::string& Url,
                                          int64_t Limit, const std::string& TooLarge) {
  TBytes body;
  const int status = Transported([&] {
    return Client.Get(Url, [&](const uint8_t* Data, size_t Size) {
      // Checked before growing, so a hostile endless body costs at most Limit bytes.
      if (static_cast<int64_t>(Size) > Limit - static_cast<int64_t>(body.size())) {
        throw TServerFault(!TooLarge.empty() ? TooLarge
                                             : Url + ": the response is larger than " +
                                                   MegabytesText(Limit) + " MB");
      }
      body.insert(body.end(), Data, Data + Size);
    });
  });
  constexpr int KNotFound = 404;
  if (status == KNotFound)
    return std::nullopt;
  if (status != 200)
    throw StatusFault(Client, Url, status);
  return body;
}

TBytes HttpGetBytes(THttpClient& Client, const std::string& Url, int64_t Limit,
                    const std::string& TooLarge) {
  if (std::optional<TBytes> body = HttpGetBytesIfThere(Client, Url, Limit, TooLarge))
    return std::move(*body);
  throw StatusFault(Client, Url, 404);
}

}  // namespace vt
