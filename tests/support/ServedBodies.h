#pragma once
// Where a test puts the bodies that a run will fetch: the in-process server or the in-memory
// fake client, so that the release builders serve either; and what both share: the rule for
// paths and the log of the requests that came.

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vt::test {

// Path with a leading "/", added when missing.
inline std::string Rooted(const std::string& Path) {
  return !Path.empty() && Path.front() == '/' ? Path : "/" + Path;
}

// The requests that came, in order of arrival; added to from the serving threads.
template <typename TRequest>
class TRequestLog {
 public:
  void Add(TRequest Request) {
    const std::lock_guard<std::mutex> lock(FLock);
    FRequests.push_back(std::move(Request));
  }
  std::vector<TRequest> All() const {
    const std::lock_guard<std::mutex> lock(FLock);
    return FRequests;
  }
  // Those for Path (rooted as above), without their query.
  std::vector<TRequest> For(const std::string& Path) const {
    std::vector<TRequest> found;
    for (TRequest& request : All()) {
      if (request.Path == Rooted(Path))
        found.push_back(std::move(request));
    }
    return found;
  }
  void Clear() {
    const std::lock_guard<std::mutex> lock(FLock);
    FRequests.clear();
  }

 private:
  mutable std::mutex FLock;
  std::vector<TRequest> FRequests;
};

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
