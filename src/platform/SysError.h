#pragma once

#include <string>
#include <utility>

namespace vt {

// The operating system's message for an error code, with trailing blanks, control characters
// and full stops removed.
std::string SystemErrorText(int Code);

// What an operation made of system calls came to: success, or the system's text for the error
// of the call that failed, taken right after that call so that nothing in between (a clean-up,
// an allocation, a log line) can replace it.
class TSysStatus {
 public:
  // Success.
  TSysStatus() = default;
  // The failure with error code Code (errno, or GetLastError on Windows).
  static TSysStatus Failed(int Code) { return TSysStatus(SystemErrorText(Code)); }

  explicit operator bool() const { return !FFailed; }
  // The system's text; empty on success.
  const std::string& Text() const { return FText; }

 private:
  explicit TSysStatus(std::string Text) : FFailed(true), FText(std::move(Text)) {}

  bool FFailed = false;
  std::string FText;
};

}  // namespace vt
