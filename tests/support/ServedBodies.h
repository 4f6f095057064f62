#pragma once
// Where a test puts the bodies that a run will fetch: the in-process server or the in-memory
// fake client, so that the release builders serve either.

#include <cstdint>
#include <string>
#include <vector>

namespace vt::test {

class TServedBodies {
 public:
  virtual ~TServedBodies() = default;
  // Answers GETs of Path (a leading "/" is added when missing) with 200 and Body.
  virtual void Serve(const std::string& Path, std::string Body) = 0;
  void Serve(const std::string& Path, const std::vector<uint8_t>& Body) {
    Serve(Path, std::string(Body.begin(), Body.end()));
  }
};

}  // namespace vt::test
