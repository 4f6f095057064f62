#pragma once
// How a run is set up, and what a check-only run finds.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Http.h"
#include "update/ClientSettings.h"
#include "update/RateLimit.h"

namespace vt {

// 16 random bytes in hex: an install's own draw for rollouts, made once and kept in its memory.
std::string RandomInstallId();

struct TUpdaterOptions {
  THttpSettings Client = UpdateThreadHttpSettings();
  THttpSettings Worker = WorkerHttpSettings();
  // Makes the run's HTTP clients (the update thread's and each worker's); tests pass one that
  // answers from memory.
  THttpClientFactory NewClient = NewHttpClient;
  // Seconds of the local clock, for the manifest requests' one-time value.
  std::function<int64_t()> Clock = LocalClockSeconds;
  // Seconds of a steady clock, by which the download sources' rates are measured; empty: the
  // system's.
  std::function<double()> SteadySeconds;
  // Unix seconds, UTC, against which a release's expiry is checked.
  std::function<int64_t()> UtcNow = UtcClockSeconds;
  // Full path of the running launcher; its entry in the list is replaced specially only when
  // this is the game folder's own "vtlaunch.exe". Empty for programs that are not the launcher.
  std::string SelfPath;
  // The channel to follow from now on ("beta"); empty: the one the game folder follows, stable
  // when it has followed none.
  std::string Channel;
  // Bases of servers with the same tree that the operator or player adds (a LAN cache), each
  // ending in "/": asked after the update server and the mirrors its manifest lists, or
  // before them all when MirrorsFirst.
  std::vector<std::string> Mirrors;
  bool MirrorsFirst = false;
  // Take the newest release even while it rolls out to a share of installs only.
  bool SkipRollout = false;
  // Draws the install's identifier for rollouts the first time one needs it; tests seed it.
  std::function<std::string()> NewInstallId = RandomInstallId;
  // Trust no record: every listed file is hashed, as if "installed.json" named none of them.
  bool Verify = false;
  // Run the update check instead (RunUpdateCheck): nothing on disk is made, changed or removed.
  bool CheckOnly = false;
  // Shared by the workers, so that all of them together stay under its rate; null: no limit.
  std::shared_ptr<TRateLimit> RateLimit;
  // When another run holds the game folder's lock: false fails at once ("another update of this
  // game folder is running - try again when it has finished"); true waits for it, reporting
  // that once, until the lock is free or a stop is requested.
  bool WaitForLock = false;
  // Fetch only the changed chunks of a file whose entry has chunk data and whose old version or
  // interrupted ".part" is on disk. False: every file travels as its whole object.
  bool UseChunks = true;
};

}  // namespace vt
