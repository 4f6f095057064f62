#pragma once
// Where a run fetches from: the update server and its mirrors. Every object is named by its
// hash and checked on arrival, so any copy serves; the manifest is checked as strictly from a
// mirror as from the server.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/Errors.h"
#include "format/Manifest.h"
#include "update/RunContext.h"
#include "update/UpdateView.h"

namespace vt {

// The longest Retry-After that a transfer with no other source waits for, in seconds.
constexpr double KMaxRestWait = 60;

// Bases of the servers with the whole tree, in the order a run asks them for the manifest: the
// update server, the mirrors the folder remembers from its last verified manifest, then the
// run's own (Options.Mirrors; before all the others when Options.MirrorsFirst). Each once.
std::vector<std::string> TreeServers(const TRunContext& Run,
                                     const std::vector<std::string>& Signed);

// The object stores of Release, read from the tree at ServedFrom: its objects base on every
// server of Trees (the same URL everywhere when the base is a URL of its own), then its object
// mirrors. Each once.
std::vector<std::string> ObjectStores(const TManifest& Release, const std::string& ServedFrom,
                                      const std::vector<std::string>& Trees);

// Where the steps after the manifest fetch from: the trees (the one that served the manifest
// first, then TreeServers with the mirrors Taken lists) and the object stores of Taken.
struct TReleaseSources {
  std::vector<std::string> Trees;
  std::vector<std::string> Objects;
};
TReleaseSources SourcesOf(const TRunContext& Run, const TManifest& Taken,
                          const std::string& ServedFrom);

// The sources of the download step, shared by its workers. Each transfer asks Pick for a
// source and tells how it ended. A source that fails is set back for the rest of the run: the
// others take its work, and it is asked again only for what no other could serve. The healthy
// ones share the workers by the rate each has delivered: the next transfer goes where the rate
// per transfer would be highest, so a source much slower than the best keeps none.
class TSources {
 public:
  // Seconds on a steady clock (empty: the system's); tests pass their own.
  using TClock = std::function<double()>;

  explicit TSources(std::vector<std::string> Bases, TClock Clock = {});

  size_t Count() const { return FSources.size(); }
  const std::string& Base(size_t Source) const { return FSources[Source].Report.Base; }

  // The source for the next transfer of an item, none of Tried (those that failed it or could
  // not serve it) and, when Ranges, none known to ignore range requests; nothing when none is
  // left. The transfer must end with Ended, Failed or Refused.
  std::optional<size_t> Pick(const std::vector<size_t>& Tried, bool Ranges = false);
  // Bytes of a transfer from Source arrived.
  void Received(size_t Source, int64_t Bytes);
  void Ended(size_t Source, bool Served);
  void Failed(size_t Source, const TServerFault& Fault);
  // Source answered a range request (or the probe) with the whole object, or with the range.
  void AnswersRanges(size_t Source, bool Answers);
  // The source, of those resting after a Retry-After, whose rest ends first, with the seconds
  // left of it; nothing when none rests. A resting source is never picked.
  std::optional<std::pair<size_t, double>> NextRested() const;
  // Its rest is over: it may be picked again.
  void Rested(size_t Source);

  std::vector<TSourceReport> Reports() const;

 private:
  struct TSource {
    TSourceReport Report;
    int32_t Active = 0;
    double Busy = 0;       // seconds with a transfer in hand, before BusySince
    double BusySince = 0;  // when Active last rose from 0
    bool SetBack = false;
    std::optional<bool> Ranges;
    double RestEnds = -1;  // while it rests after a Retry-After; -1: it does not
  };
  // Bytes a second while it had transfers in hand; 0 before it delivered any.
  double RateLocked(const TSource& Source, double Now) const;
  void EndLocked(TSource& Source);

  TClock FClock;
  mutable std::mutex FLock;
  std::vector<TSource> FSources;
};

// Runs Attempt(source) on sources picked from Sources until one serves: Attempt returns true
// when it did, false when the source cannot serve it that way (it is not asked again for this
// item, and nothing failed). A TServerFault sets that source back and the next one is tried.
// When no source is left but one rests after a Retry-After of at most KMaxRestWait seconds,
// it is waited for and asked again, a few times at most; then the last fault is raised (or a
// TServerFault when every source rested). False when the sources left declined. Any other
// exception ends the transfer and passes unchanged, as does a fault once Stop is requested; a
// stop during a wait raises TStopped.
bool FromSources(TSources& Sources, bool Ranges, const TStopToken& Stop,
                 const std::function<bool(size_t Source)>& Attempt);

}  // namespace vt
