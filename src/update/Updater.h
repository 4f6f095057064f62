#pragma once
// TUpdater: one update run on its own thread. The steps are functions that take what they need
// and return what they found (Updater.cpp lists them in order); this class owns the thread, the
// stop and the calls to the view.

#include <cstdint>
#include <string>
#include <thread>

#include "platform/Http.h"
#include "platform/Stop.h"
#include "update/CallQueue.h"
#include "update/RunContext.h"
#include "update/UpdateCheck.h"
#include "update/UpdateView.h"
#include "update/UpdaterOptions.h"

namespace vt {

class TSources;

class TUpdater {
 public:
  // View receives the run's reports through Queue, tagged with this object. Dir: the game
  // folder, absolute, ending in the local separator. Url: base URL ending "/".
  TUpdater(TUpdateView& View, TCallQueue& Queue, std::string Dir, std::string Url,
           TUpdaterOptions Options = {});
  // Requests a stop and waits for the thread. Calls it posted may still wait in the queue: the
  // owner discards them (DiscardCalls) before it frees the object.
  ~TUpdater();
  TUpdater(const TUpdater&) = delete;
  TUpdater& operator=(const TUpdater&) = delete;

  // Starts the run on its own thread. Its last act is to post UpdateDone.
  void Start();
  // Asks the run to stop at its next check; never waits.
  void RequestStop();
  // Waits for the thread to end.
  void Wait();
  // Drops the calls this run posted that have not run yet.
  void DiscardCalls();

  // What the run found, once it has ended: the build on the server, and what an update check
  // found.
  int32_t Build() const { return FBuild; }
  const TCheckResult& CheckResult() const { return FCheck; }
  // When the launcher's trust refused the release, which refusal ("signature", "keys",
  // "rollback", "expired"); else empty.
  const std::string& FailureCause() const { return FCause; }

 private:
  void Execute();
  void RunSteps(THttpClient& Client);
  void Report(const std::string& Text, int64_t Done, int64_t Total);
  // Tells the view how each of several sources served the downloads.
  void PostSources(const TSources& Sources);
  void Finish();

  TUpdateView& FView;
  TCallQueue& FCalls;
  // The run's one stop request. Its own rather than the thread's: the clients' settings hold
  // its token before the thread exists, and a stop may be asked for before Start.
  TStopSource FStop;
  const TRunContext FRun;  // after FStop: its clients hold FStop's token
  int32_t FBuild = 0;
  TCheckResult FCheck;
  std::string FError;
  std::string FCause;
  bool FRestart = false;
  std::thread FThread;  // joined by the destructor, before the fields it uses go away
};

}  // namespace vt
