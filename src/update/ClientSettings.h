#pragma once
// How the engine's HTTP clients are set up.

#include "platform/Http.h"

namespace vt {

// User-Agent of every request: "VeltranoLauncher/" and the protocol number.
constexpr const char* KUserAgent = "VeltranoLauncher/2";

// Client settings of the update thread (short waits: it fetches only small documents) and of
// each download worker.
THttpSettings UpdateThreadHttpSettings();
THttpSettings WorkerHttpSettings();

}  // namespace vt
