#pragma once
// The engine's exception types. Every failure is one line of plain English; the update thread
// catches std::exception in one place and shows what() after "Update failed: ".

#include <cstdint>
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

// A failure of the server that answered (refused, cut off, timed out, an HTTP status, bytes
// that fail their check), not of this computer: another copy of the same object may serve.
class TServerFault : public TUpdateError {
 public:
  explicit TServerFault(const std::string& Message, bool Damaged = false, int64_t RetryAfter = 0)
      : TUpdateError(Message), FDamaged(Damaged), FRetryAfter(RetryAfter) {}
  // The bytes came, but not the right ones.
  bool Damaged() const { return FDamaged; }
  // Seconds the server asked to be left alone for (Retry-After); 0: it did not say.
  int64_t RetryAfter() const { return FRetryAfter; }

 private:
  bool FDamaged;
  int64_t FRetryAfter;
};

// A file whose object (or a chunk of it, or its chunk index) did not pass its check.
inline TServerFault ArrivedDamaged(const std::string& Path) {
  return TServerFault(Path + " arrived damaged - try again", true);
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
