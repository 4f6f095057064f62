#include "update/Updater.h"

#include <utility>

#include "format/Paths.h"
#include "update/Delta.h"

namespace vt {
namespace {

// Every client of the run cuts its transfer short when the run is asked to stop.
TUpdaterOptions WithStop(TUpdaterOptions Options, const TStopToken& Stop) {
  Options.Client.Stop = Stop;
  Options.Worker.Stop = Stop;
  return Options;
}

}  // namespace

TUpdater::TUpdater(TUpdateView& Form, TCallQueue& Queue, std::string Dir, std::string Url,
                   TUpdaterOptions Options)
    : FForm(Form),
      FCalls(Queue),
      FDir(std::move(Dir)),
      FUrl(std::move(Url)),
      FOptions(WithStop(std::move(Options), FStop.Token())) {}

TUpdater::~TUpdater() {
  RequestStop();
  Wait();
}

void TUpdater::Start() {
  FThread = std::thread([this] { Execute(); });
}

void TUpdater::RequestStop() {
  FStop.RequestStop();
}

void TUpdater::Wait() {
  if (FThread.joinable())
    FThread.join();
}

bool TUpdater::StopRequested() const {
  return FStop.StopRequested();
}

std::string TUpdater::LocalPath(std::string_view Path) const {
  return JoinLocalPath(FDir, Path);
}

void TUpdater::Report(const std::string& Text, int64_t Done, int64_t Total) {
  TUpdateView& view = FForm;
  FCalls.Post(this, [&view, Text, Done, Total] { view.ShowProgress(Text, Done, Total); });
}

void TUpdater::Throttle(size_t Bytes) const {
  if (FOptions.RateLimit)
    FOptions.RateLimit->Take(static_cast<int64_t>(Bytes), [this] { return StopRequested(); });
}

}  // namespace vt
