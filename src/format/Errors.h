#pragma once
// The engine's exception types. Every failure is one line of plain English; the update thread
// catches std::exception in one place and shows what() after "Update failed: ".

#include <stdexcept>
#include <string>
#include <utility>

namespace vt {

// A message of the engine itself: starts with a small letter, no closing full stop.
class TUpdateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A release that the launcher's trust refuses: not signed as it must be, older than one already
// verified, or past its expiry. Cause names which, for programs ("signature", "keys",
// "rollback", "expired").
class TTrustRefused : public TUpdateError {
 public:
  TTrustRefused(std::string Cause, const std::string& Message)
      : TUpdateError(Message), FCause(std::move(Cause)) {}
  const std::string& Cause() const { return FCause; }

 private:
  std::string FCause;
};

// A file whose object (or a chunk of it, or its chunk index) did not pass its check.
inline TUpdateError ArrivedDamaged(const std::string& Path) {
  return TUpdateError(Path + " arrived damaged - try again");
}

// Raised where long work (hashing, inflating) sees that its run was asked to stop.
class TStopped : public std::runtime_error {
 public:
  TStopped() : std::runtime_error("stopped") {}
};

// A JSON value that cannot be read as the wanted type ("conversion error").
class TJsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vt
