#include "update/RunToEnd.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "update/CallQueue.h"
#include "update/Updater.h"

namespace vt {
namespace {

// How often the caller's thread looks at Interrupted: a signal handler cannot wake it.
constexpr auto KPollInterval = std::chrono::milliseconds(100);

// Passes the reports on and keeps the run's end.
class TEndWatch : public TUpdateView {
 public:
  explicit TEndWatch(TUpdateView& View) : FView(View) {}
  void ShowProgress(const std::string& Text, int64_t Done, int64_t Total) override {
    FView.ShowProgress(Text, Done, Total);
  }
  void SourcesUsed(const std::vector<TSourceReport>& Sources) override {
    FView.SourcesUsed(Sources);
  }
  void UpdateDone(const std::string& Error, bool Restart) override {
    FFinished = true;
    FError = Error;
    FView.UpdateDone(Error, Restart);
  }
  bool Finished() const { return FFinished; }
  const std::string& Error() const { return FError; }

 private:
  TUpdateView& FView;
  bool FFinished = false;
  std::string FError;
};

}  // namespace

TRunEnd RunToEnd(TUpdateView& View, const std::string& Dir, const std::string& Url,
                 TUpdaterOptions Options, const std::function<bool()>& Interrupted,
                 const std::function<void()>& Tick) {
  std::mutex lock;
  std::condition_variable wake;
  bool posted = false;
  TCallQueue queue([&] {
    std::lock_guard guard(lock);
    posted = true;
    wake.notify_one();
  });
  TEndWatch watch(View);
  TUpdater updater(watch, queue, Dir, Url, std::move(Options));
  updater.Start();
  while (!watch.Finished()) {
    {
      std::unique_lock guard(lock);
      wake.wait_for(guard, KPollInterval, [&] { return posted; });
      posted = false;
    }
    if (Interrupted && Interrupted()) {
      updater.RequestStop();
      updater.Wait();
      // Its reports still waiting would reach a view that has moved on.
      updater.DiscardCalls();
      return {TRunEnd::TOutcome::Stopped, {}, 0, {}, {}};
    }
    queue.RunPending();
    if (Tick)
      Tick();
  }
  updater.Wait();
  if (!watch.Error().empty())
    return {TRunEnd::TOutcome::Failed, watch.Error(), 0, {}, updater.FailureCause()};
  return {TRunEnd::TOutcome::Finished, {}, updater.Build(), updater.CheckResult(), {}};
}

}  // namespace vt
