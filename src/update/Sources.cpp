#include "update/Sources.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace vt {

namespace {

// A source this many times slower than the best gets no transfer of its own.
constexpr double KSlowFactor = 4;

void AddOnce(std::vector<std::string>& Bases, const std::string& Base) {
  if (std::find(Bases.begin(), Bases.end(), Base) == Bases.end())
    Bases.push_back(Base);
}

double SteadyClockSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::vector<std::string> TreeServers(const TRunContext& Run,
                                     const std::vector<std::string>& Signed) {
  std::vector<std::string> bases;
  if (Run.Options.MirrorsFirst) {
    for (const std::string& base : Run.Options.Mirrors)
      AddOnce(bases, base);
  }
  AddOnce(bases, Run.Url);
  for (const std::string& base : Signed)
    AddOnce(bases, base);
  for (const std::string& base : Run.Options.Mirrors)
    AddOnce(bases, base);
  return bases;
}

std::vector<std::string> ObjectStores(const TManifest& Release, const std::string& ServedFrom,
                                      const std::vector<std::string>& Trees) {
  std::vector<std::string> stores;
  // ReadManifest joined a relative base with the server it came from; a store of its own
  // (another host) keeps its URL on every server.
  const bool below = Release.Objects.starts_with(ServedFrom);
  const std::string path = below ? Release.Objects.substr(ServedFrom.size()) : std::string();
  AddOnce(stores, Release.Objects);
  for (const std::string& tree : Trees)
    AddOnce(stores, below ? tree + path : Release.Objects);
  for (const std::string& base : Release.ObjectMirrors)
    AddOnce(stores, base);
  return stores;
}

TReleaseSources SourcesOf(const TRunContext& Run, const TManifest& Taken,
                          const std::string& ServedFrom) {
  TReleaseSources sources;
  sources.Trees.push_back(ServedFrom);
  for (const std::string& base : TreeServers(Run, Taken.Mirrors))
    AddOnce(sources.Trees, base);
  sources.Objects = ObjectStores(Taken, ServedFrom, sources.Trees);
  return sources;
}

TSources::TSources(std::vector<std::string> Bases, TClock Clock)
    : FClock(Clock ? std::move(Clock) : TClock(SteadyClockSeconds)) {
  FSources.resize(Bases.size());
  for (size_t i = 0; i < Bases.size(); ++i)
    FSources[i].Report.Base = std::move(Bases[i]);
}

double TSources::RateLocked(const TSource& Source, double Now) const {
  const double busy = Source.Busy + (Source.Active > 0 ? Now - Source.BusySince : 0.0);
  if (Source.Report.Bytes == 0 || busy <= 0)
    return 0;
  return static_cast<double>(Source.Report.Bytes) / busy;
}

std::optional<size_t> TSources::Pick(const std::vector<size_t>& Tried, bool Ranges) {
  const std::lock_guard<std::mutex> lock(FLock);
  const double now = FClock();
  double best = 0;
  for (const TSource& source : FSources)
    best = std::max(best, RateLocked(source, now));
  std::optional<size_t> picked;
  double pickedScore = -1;
  // The healthy sources first; one set back only for what no healthy one is left to serve.
  for (const bool setBack : {false, true}) {
    for (size_t i = 0; i < FSources.size(); ++i) {
      const TSource& source = FSources[i];
      if (source.SetBack != setBack || source.RestEnds >= 0 ||
          std::find(Tried.begin(), Tried.end(), i) != Tried.end() ||
          (Ranges && source.Ranges == false))
        continue;
      const double rate = RateLocked(source, now);
      // Every healthy source keeps a transfer in hand unless it is much slower than the best
      // (one not measured yet included, to be measured by); beyond that the next goes where
      // the rate per transfer would be highest, one not measured counting as the best.
      const bool keepsOne = source.Active == 0 && (rate == 0 || rate * KSlowFactor >= best);
      const double score = keepsOne ? std::numeric_limits<double>::infinity()
                                    : (rate > 0 ? rate : std::max(best, 1.0)) / (source.Active + 1);
      if (score > pickedScore) {
        picked = i;
        pickedScore = score;
      }
    }
    if (picked)
      break;
  }
  if (picked) {
    TSource& source = FSources[*picked];
    if (source.Active++ == 0)
      source.BusySince = now;
  }
  return picked;
}

void TSources::Received(size_t Source, int64_t Bytes) {
  const std::lock_guard<std::mutex> lock(FLock);
  FSources[Source].Report.Bytes += Bytes;
}

void TSources::EndLocked(TSource& Source) {
  if (--Source.Active == 0)
    Source.Busy += FClock() - Source.BusySince;
}

void TSources::Ended(size_t Source, bool Served) {
  const std::lock_guard<std::mutex> lock(FLock);
  TSource& source = FSources[Source];
  EndLocked(source);
  if (Served)
    ++source.Report.Files;
}

void TSources::Failed(size_t Source, const TServerFault& Fault) {
  const std::lock_guard<std::mutex> lock(FLock);
  TSource& source = FSources[Source];
  EndLocked(source);
  source.SetBack = true;
  ++source.Report.Failures;
  source.Report.Damaged = source.Report.Damaged || Fault.Damaged();
  source.Report.LastError = Fault.what();
  if (Fault.RetryAfter() > 0)
    source.RestEnds = FClock() + static_cast<double>(Fault.RetryAfter());
}

std::optional<std::pair<size_t, double>> TSources::NextRested() const {
  const std::lock_guard<std::mutex> lock(FLock);
  const double now = FClock();
  std::optional<std::pair<size_t, double>> next;
  for (size_t i = 0; i < FSources.size(); ++i) {
    const double left = FSources[i].RestEnds - now;
    if (FSources[i].RestEnds >= 0 && (!next || left < next->second))
      next = {i, std::max(left, 0.0)};
  }
  return next;
}

void TSources::Rested(size_t Source) {
  const std::lock_guard<std::mutex> lock(FLock);
  FSources[Source].RestEnds = -1;
}

void TSources::AnswersRanges(size_t Source, bool Answers) {
  const std::lock_guard<std::mutex> lock(FLock);
  FSources[Source].Ranges = Answers;
}

std::vector<TSourceReport> TSources::Reports() const {
  const std::lock_guard<std::mutex> lock(FLock);
  std::vector<TSourceReport> reports;
  for (const TSource& source : FSources)
    reports.push_back(source.Report);
  return reports;
}

bool FromSources(TSources& Sources, bool Ranges, const TStopToken& Stop,
                 const std::function<bool(size_t Source)>& Attempt) {
  // Waits for a resting source, at most this many for one item.
  constexpr int KMaxRests = 3;
  std::vector<size_t> tried;
  std::exception_ptr fault;
  int rests = 0;
  for (;;) {
    const std::optional<size_t> source = Sources.Pick(tried, Ranges);
    if (!source) {
      const std::optional<std::pair<size_t, double>> resting = Sources.NextRested();
      if (resting && resting->second <= KMaxRestWait && rests++ < KMaxRests) {
        if (Stop.WaitFor(std::chrono::milliseconds(static_cast<int64_t>(resting->second * 1000))))
          throw TStopped();
        Sources.Rested(resting->first);
        std::erase(tried, resting->first);
        continue;
      }
      if (fault)
        std::rethrow_exception(fault);
      // Nothing was tried: the sources left rest longer than a transfer waits.
      if (resting)
        throw TServerFault("every server asked to be left alone for more than a minute");
      return false;
    }
    try {
      const bool served = Attempt(*source);
      Sources.Ended(*source, served);
      if (served)
        return true;
    } catch (const TServerFault& e) {
      Sources.Failed(*source, e);
      if (Stop.StopRequested())
        throw;
      fault = std::current_exception();
    } catch (...) {
      Sources.Ended(*source, false);
      throw;
    }
    tried.push_back(*source);
  }
}

}  // namespace vt
