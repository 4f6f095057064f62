#pragma once
// What every step of one run may use: the game folder, the server's base URL, the run's options,
// its stop and its channel to the view. Set before the first step, only read afterwards, by
// any thread of the run.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "format/Paths.h"
#include "platform/Stop.h"
#include "update/UpdaterOptions.h"

namespace vt {

// Posts one status line with its counts to the view and returns at once.
using TReport = std::function<void(const std::string& Text, int64_t Done, int64_t Total)>;

struct TRunContext {
  std::string Dir;          // the game folder: absolute, ending in the local separator
  std::string Url;          // the update server's base URL, ending in "/"
  TUpdaterOptions Options;  // its clients' settings carry Stop
  TStopToken Stop;
  TReport OnReport;

  // The game folder's local name for a relative path of the list or the record.
  std::string LocalPath(std::string_view Path) const { return JoinLocalPath(Dir, Path); }
  void Report(const std::string& Text, int64_t Done, int64_t Total) const {
    OnReport(Text, Done, Total);
  }
  bool StopRequested() const { return Stop.StopRequested(); }
};

}  // namespace vt
