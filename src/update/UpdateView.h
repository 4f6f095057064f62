#pragma once

#include <cstdint>
#include <string>

namespace vt {

// What a run reports to, on the main thread: the launcher window, or a console loop.
class TUpdateView {
 public:
  virtual ~TUpdateView() = default;
  virtual void ShowProgress(const std::string& Text, int64_t Done, int64_t Total) = 0;
  virtual void UpdateDone(const std::string& Error, bool Restart) = 0;
};

}  // namespace vt
