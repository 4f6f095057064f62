#pragma once
// One file fetched as its whole object: received beside its target, verified and moved over it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "format/RemoteFile.h"
#include "platform/Http.h"
#include "platform/Stop.h"
#include "update/Placing.h"
#include "update/RateLimit.h"

namespace vt {

// What a transfer needs besides its client: the run's stop, its rate cap and where its bytes
// are counted.
struct TTransfer {
  TStopToken Stop;
  TRateLimit* RateLimit = nullptr;                   // shared by the run's transfers; null: none
  std::function<void(int64_t Received)> OnReceived;  // may be empty

  // Bytes more arrived, Received in all so far: counts them, then holds the transfer back
  // while the rate cap is spent (early on a stop).
  void Arrived(int64_t Received, size_t Bytes) const;
};

// Fetches File's object from the store at Objects into Target's candidate (through the
// compressed name when it is compressed), verifies size and SHA-256, and has Placer move it
// over Target.
void DownloadFile(THttpClient& Client, const std::string& Objects, const TRemoteFile& File,
                  const std::string& Target, const TTransfer& Transfer, TPlacer& Placer);

}  // namespace vt
