#include "support/FakeHttp.h"

#include <algorithm>
#include <stdexcept>

namespace vt::test {
namespace {

// Bodies reach the sink in pieces of this size, with a stop check between them.
constexpr size_t KPiece = 64 * 1024;

}  // namespace

class TFakeHttp::TClient : public THttpClient {
 public:
  TClient(TFakeHttp& Http, THttpSettings Settings) : FHttp(Http), FSettings(std::move(Settings)) {}

  int Get(const std::string& Url, const TSink& Sink) override {
    return Answer(Url, std::nullopt, Sink);
  }
  int GetRange(const std::string& Url, const THttpRange& Range, const TSink& Sink) override {
    RangeSpan(Range);  // refuses an empty range as the real clients do
    return Answer(Url, Range, Sink);
  }
  int64_t RetryAfterSeconds() const override { return FRetryAfter; }

 private:
  int Answer(const std::string& Url, const std::optional<THttpRange>& Range, const TSink& Sink) {
    if (FSettings.Stop.StopRequested())
      throw THttpStopped();
    TFakeRequest request;
    // "scheme://host/path?query": the path begins at the first "/" after the host.
    const size_t host = Url.find("://");
    const size_t path = Url.find('/', host == std::string::npos ? 0 : host + 3);
    std::string target = path == std::string::npos ? "/" : Url.substr(path);
    if (const size_t mark = target.find('?'); mark != std::string::npos) {
      request.Query = target.substr(mark + 1);
      target.resize(mark);
    }
    request.Path = target;
    request.Range = Range;
    request.UserAgent = FSettings.UserAgent;
    const TAnswer answer = FHttp.Take(std::move(request));
    FRetryAfter = answer.RetryAfter;
    if (answer.Hold) {
      answer.Hold(FSettings.Stop);
      if (FSettings.Stop.StopRequested())
        throw THttpStopped();
    }
    if (answer.Status != 200 || !answer.Body)
      return answer.Status;
    const std::string& body = *answer.Body;
    size_t from = 0, end = body.size();
    if (Range) {
      if (static_cast<uint64_t>(Range->From) >= body.size())
        return 416;
      from = static_cast<size_t>(Range->From);
      end = from + std::min<size_t>(static_cast<size_t>(Range->Count), body.size() - from);
    }
    for (size_t at = from; at < end; at += KPiece) {
      if (at > from && FSettings.Stop.StopRequested())
        throw THttpStopped();
      Sink(reinterpret_cast<const uint8_t*>(body.data()) + at, std::min(KPiece, end - at));
    }
    return Ended(answer, Sink, Range ? 206 : 200);
  }

  int Ended(const TAnswer& Answer, const TSink& Sink, int Status) {
    switch (Answer.End) {
      case TEnd::Complete:
        return Status;
      case TEnd::Cut:
        throw THttpBodyCut("the connection ended early");
      case TEnd::Fail:
        throw std::runtime_error(Answer.Failure);
      case TEnd::Never:
        break;
    }
    const std::string filler(KPiece, 'x');
    for (;;) {
      if (FSettings.Stop.StopRequested())
        throw THttpStopped();
      Sink(reinterpret_cast<const uint8_t*>(filler.data()), filler.size());
    }
  }

  TFakeHttp& FHttp;
  const THttpSettings FSettings;
  int64_t FRetryAfter = 0;  // of the last answer
};

void TDoor::Pass() {
  std::unique_lock lock(FLock);
  ++FArrivals;
  FSignal.notify_all();
  FSignal.wait(lock, [this] { return FOpen; });
}

void TDoor::Open() {
  std::lock_guard lock(FLock);
  FOpen = true;
  FSignal.notify_all();
}

size_t TDoor::Arrivals() const {
  std::lock_guard lock(FLock);
  return FArrivals;
}

bool TDoor::WaitForArrivals(size_t Count, std::chrono::milliseconds Timeout) const {
  std::unique_lock lock(FLock);
  return FSignal.wait_for(lock, Timeout, [&] { return FArrivals >= Count; });
}

void TFakeHttp::Serve(const std::string& Path, std::string Body) {
  ServeStatus(Path, 200, std::move(Body));
}

void TFakeHttp::ServeStatus(const std::string& Path, int Status, std::string Body,
                            int64_t RetryAfter) {
  SetAnswer(Path,
            {Status, std::make_shared<const std::string>(std::move(Body)), {}, {}, {}, RetryAfter});
}

void TFakeHttp::ServeCut(const std::string& Path, std::string Sent) {
  SetAnswer(Path, {200, std::make_shared<const std::string>(std::move(Sent)), {}, TEnd::Cut, {}});
}

void TFakeHttp::ServeFailing(const std::string& Path, std::string Sent, std::string Message) {
  SetAnswer(Path, {200,
                   std::make_shared<const std::string>(std::move(Sent)),
                   {},
                   TEnd::Fail,
                   std::move(Message)});
}

void TFakeHttp::ServeEndless(const std::string& Path) {
  SetAnswer(Path, {200, std::make_shared<const std::string>(), {}, TEnd::Never, {}});
}

void TFakeHttp::SetAnswer(const std::string& Path, TAnswer Answer) {
  std::lock_guard lock(FLock);
  TAnswer& answer = FAnswers[Rooted(Path)];
  Answer.Hold = std::move(answer.Hold);  // a hold stays until it is replaced
  answer = std::move(Answer);
}

void TFakeHttp::HoldAt(const std::string& Path, THold Hold) {
  std::lock_guard lock(FLock);
  FAnswers[Rooted(Path)].Hold = std::move(Hold);
}

THttpClientFactory TFakeHttp::Factory() {
  return [this](const THttpSettings& Settings) -> std::unique_ptr<THttpClient> {
    return std::make_unique<TClient>(*this, Settings);
  };
}

std::vector<TFakeRequest> TFakeHttp::Requests() const {
  return FLog.All();
}

std::vector<TFakeRequest> TFakeHttp::RequestsFor(const std::string& Path) const {
  return FLog.For(Path);
}

void TFakeHttp::ClearRequests() {
  FLog.Clear();
}

TFakeHttp::TAnswer TFakeHttp::Take(TFakeRequest Request) {
  std::lock_guard lock(FLock);
  const auto found = FAnswers.find(Request.Path);
  // Logged under the same lock: once a test sees the request, its answer is settled.
  FLog.Add(std::move(Request));
  return found == FAnswers.end() ? TAnswer{} : found->second;
}

}  // namespace vt::test
