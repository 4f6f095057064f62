#pragma once
// Fetching one small document into memory.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "format/Digest.h"
#include "format/Errors.h"
#include "format/Manifest.h"
#include "platform/Files.h"
#include "platform/Http.h"

namespace vt {

// Runs Request (a call of Get or GetRange) and returns its status. A failure of the transport
// (refused, reset, timed out, a body cut short) raises TServerFault with the client's message;
// a stop, the sink's own exceptions and the local disk's failures pass unchanged.
template <typename TRequest>
int Transported(TRequest&& Request) {
  try {
    return Request();
  } catch (const THttpStopped&) {
    throw;
  } catch (const TUpdateError&) {
    throw;
  } catch (const TFileWriteError&) {
    throw;
  } catch (const TStopped&) {
    throw;
  } catch (const std::runtime_error& e) {
    throw TServerFault(e.what());
  }
}

// The failure of a status other than the one Client's last request wanted, as "<what>: HTTP
// <status>", with the wait its Retry-After asked for.
inline TServerFault StatusFault(const THttpClient& Client, const std::string& What, int Status) {
  return TServerFault(What + ": HTTP " + std::to_string(Status), false, Client.RetryAfterSeconds());
}

// GETs Url into memory; only status 200 passes (StatusFault with the URL otherwise). A body
// that grows past Limit ends the transfer with TooLarge, or with a message naming the URL when
// TooLarge is empty.
TBytes HttpGetBytes(THttpClient& Client, const std::string& Url, int64_t Limit = KMaxManifestBytes,
                    const std::string& TooLarge = {});
// The same, but nothing for a 404: a document the server may not have.
std::optional<TBytes> HttpGetBytesIfThere(THttpClient& Client, const std::string& Url,
                                          int64_t Limit = KMaxManifestBytes,
                                          const std::string& TooLarge = {});

}  // namespace vt
