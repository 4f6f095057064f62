#pragma once
// A run's context for tests that drive its steps one at a time: a stop of its own, clients from
// the given options, and the lines the steps report, kept in order whichever thread reports.

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "update/RunContext.h"

namespace vt::test {

class TStepRun {
 public:
  struct TLine {
    std::string Text;
    int64_t Done = 0, Total = 0;
  };

  // Dir: the game folder ending in the local separator; Url: the base URL ending in "/".
  TStepRun(std::string Dir, std::string Url, TUpdaterOptions Options = {}) {
    Options.Client.Stop = FStop.Token();
    Options.Worker.Stop = FStop.Token();
    Run = {std::move(Dir), std::move(Url), std::move(Options), FStop.Token(),
           [this](const std::string& Text, int64_t Done, int64_t Total) {
             const std::lock_guard<std::mutex> lock(FLock);
             FLines.push_back({Text, Done, Total});
           }};
  }
  TStepRun(const TStepRun&) = delete;
  TStepRun& operator=(const TStepRun&) = delete;

  void RequestStop() { FStop.RequestStop(); }
  std::vector<TLine> Lines() const {
    const std::lock_guard<std::mutex> lock(FLock);
    return FLines;
  }

 private:
  TStopSource FStop;
  mutable std::mutex FLock;
  std::vector<TLine> FLines;

 public:
  TRunContext Run;  // after what it refers to
};

}  // namespace vt::test
