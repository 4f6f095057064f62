#pragma once
// Fetching one small document into memory.

#include <cstdint>
#include <optional>
#include <string>

#include "format/Digest.h"
#include "format/Manifest.h"
#include "platform/Http.h"

namespace vt {

// GETs Url into memory; only status 200 passes ("%s: HTTP %d" with the URL otherwise). A body
// that grows past Limit ends the transfer with TooLarge, or with a message naming the URL when
// TooLarge is empty.
TBytes HttpGetBytes(THttpClient& Client, const std::string& Url, int64_t Limit = KMaxManifestBytes,
                    const std::string& TooLarge = {});
// The same, but nothing for a 404: a document the server may not have.
std::optional<TBytes> HttpGetBytesIfThere(THttpClient& Client, const std::string& Url,
                                          int64_t Limit = KMaxManifestBytes,
                                          const std::string& TooLarge = {});

}  // namespace vt
