#include "support/TestServer.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace vt::test {
namespace {

constexpr const char* KOctets = "application/octet-stream";

// Headers that cpp-httplib adds to a request itself; the client never sent them.
bool IsServerHeader(const std::string& Name) {
  return Name == "REMOTE_ADDR" || Name == "REMOTE_PORT" || Name == "LOCAL_ADDR" ||
         Name == "LOCAL_PORT";
}

// The file at Relative under Dir; false when it is missing or Relative would leave Dir.
bool ReadTreeFile(const std::filesystem::path& Dir, const std::string& Relative,
                  std::string& Body) {
  const std::filesystem::path relative =
      std::filesystem::path(Relative).relative_path();  // "/a/b" and "a/b" alike
  for (const auto& part : relative) {
    if (part == "..")
      return false;
  }
  const std::filesystem::path file = Dir / relative;
  if (relative.empty() || !std::filesystem::is_regular_file(file))
    return false;
  std::ifstream in(file, std::ios::binary);
  if (!in)
    return false;
  Body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

std::string TRecordedRequest::Header(const std::string& Name) const {
  const auto found = Headers.find(Name);
  return found == Headers.end() ? std::string() : found->second;
}

TTestServer::TTestServer() {
  // Idle kept-alive connections hold a server thread; a short wait keeps shutdown quick.
  FServer.set_keep_alive_timeout(1);
  FServer.set_keep_alive_max_count(1000);
  // Headers and body go out in separate writes; Nagle would hold the body back.
  FServer.set_tcp_nodelay(true);
  // Stalled handlers hold a thread each; leave room for them beside the download workers.
  FServer.new_task_queue = [] { return new httplib::ThreadPool(16); };
  FServer.Get(".*", [this](const httplib::Request& Request, httplib::Response& Response) {
    Dispatch(Request, Response);
  });
  FPort = FServer.bind_to_any_port("127.0.0.1");
  if (FPort <= 0)
    throw std::runtime_error("the test server cannot bind to 127.0.0.1");
  FThread = std::thread([this] { FServer.listen_after_bind(); });
  // stop() does nothing until the accept loop has started, so the destructor needs it started.
  while (!FServer.is_running())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TTestServer::~TTestServer() {
  {
    std::lock_guard<std::mutex> lock(FStopLock);
    FStopping = true;
  }
  FStopSignal.notify_all();
  FServer.stop();
  FThread.join();
}

std::string TTestServer::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(FPort) + "/";
}

std::string TTestServer::Url(const std::string& Path) const {
  return BaseUrl() + Rooted(Path).substr(1);
}

void TTestServer::Serve(const std::string& Path, std::string Body) {
  ServeStatus(Path, 200, std::move(Body));
}

void TTestServer::ServeStatus(const std::string& Path, int Status, std::string Body) {
  SetHandler(
      Path, [Status, Body = std::move(Body)](const httplib::Request&, httplib::Response& Response) {
        // Left unset for 200, so that a range request gets its 206 as from a static server.
        if (Status != 200)
          Response.status = Status;
        Response.set_content(Body, KOctets);
      });
}

void TTestServer::ServeRedirect(const std::string& Path, const std::string& Location, int Status) {
  SetHandler(Path, [Location, Status](const httplib::Request&, httplib::Response& Response) {
    Response.set_redirect(Location, Status);
  });
}

void TTestServer::ServeDirectory(const std::string& Prefix, const std::filesystem::path& Dir) {
  const std::string prefix = Rooted(Prefix);
  SetPrefixHandler(prefix,
                   [prefix, Dir](const httplib::Request& Request, httplib::Response& Response) {
                     std::string body;
                     if (!ReadTreeFile(Dir, Request.path.substr(prefix.size()), body)) {
                       Response.status = 404;
                       return;
                     }
                     Response.set_content(body, KOctets);
                   });
}

void TTestServer::SetHandler(const std::string& Path, THandler Handler) {
  std::lock_guard<std::mutex> lock(FLock);
  FExact[Rooted(Path)] = std::move(Handler);
}

void TTestServer::SetPrefixHandler(const std::string& Prefix, THandler Handler) {
  std::lock_guard<std::mutex> lock(FLock);
  FPrefixes[Rooted(Prefix)] = std::move(Handler);
}

void TTestServer::Remove(const std::string& Path) {
  std::lock_guard<std::mutex> lock(FLock);
  FExact.erase(Rooted(Path));
  FPrefixes.erase(Rooted(Path));
}

TTestServer::THandler TTestServer::CutBody(std::string Sent, size_t Promised) {
  return [Sent = std::move(Sent), Promised](const httplib::Request&, httplib::Response& Response) {
    Response.set_content_provider(
        Promised, KOctets, [Sent](size_t, size_t, httplib::DataSink& Sink) {
          Sink.write(Sent.data(), Sent.size());
          return false;  // the server closes the connection short of what it promised
        });
  };
}

TTestServer::THandler TTestServer::Stall(std::string Sent, size_t Promised) {
  return [this, Sent = std::move(Sent), Promised](const httplib::Request&,
                                                  httplib::Response& Response) {
    Response.set_content_provider(Promised, KOctets,
                                  [this, Sent](size_t, size_t, httplib::DataSink& Sink) {
                                    Sink.write(Sent.data(), Sent.size());
                                    WaitForStop();
                                    return false;
                                  });
  };
}

TTestServer::THandler TTestServer::StallBeforeHeaders() {
  return [this](const httplib::Request&, httplib::Response& Response) {
    WaitForStop();
    Response.status = 503;
  };
}

TTestServer::THandler TTestServer::Endless(int Status) {
  return [this, Status](const httplib::Request&, httplib::Response& Response) {
    Response.status = Status;
    Response.set_chunked_content_provider(KOctets, [this](size_t, httplib::DataSink& Sink) {
      static const std::string chunk(64 * 1024, 'x');
      return !FStopping && Sink.write(chunk.data(), chunk.size());
    });
  };
}

TTestServer::THandler TTestServer::Throttled(std::string Body, size_t BytesPerSecond) {
  auto body = std::make_shared<const std::string>(std::move(Body));
  return [this, body, BytesPerSecond](const httplib::Request&, httplib::Response& Response) {
    Response.set_content_provider(
        body->size(), KOctets,
        [this, body, BytesPerSecond](size_t Offset, size_t, httplib::DataSink& Sink) {
          const size_t slice =
              std::min(std::max<size_t>(BytesPerSecond / 10, 1), body->size() - Offset);
          return Sink.write(body->data() + Offset, slice) &&
                 SleepUnlessStopping(std::chrono::nanoseconds(std::chrono::seconds(1)) *
                                     static_cast<int64_t>(slice) /
                                     static_cast<int64_t>(BytesPerSecond));
        });
  };
}

std::vector<TRecordedRequest> TTestServer::Requests() const {
  return FLog.All();
}

std::vector<TRecordedRequest> TTestServer::RequestsFor(const std::string& Path) const {
  return FLog.For(Path);
}

void TTestServer::ClearRequests() {
  FLog.Clear();
}

void TTestServer::Dispatch(const httplib::Request& Request, httplib::Response& Response) {
  Record(Request);
  if (const THandler handler = FindHandler(Request.path)) {
    handler(Request, Response);
  } else {
    Response.status = 404;
  }
}

TTestServer::THandler TTestServer::FindHandler(const std::string& Path) const {
  std::lock_guard<std::mutex> lock(FLock);
  if (const auto exact = FExact.find(Path); exact != FExact.end())
    return exact->second;
  // Reverse order meets a longer prefix before any shorter one that begins it.
  for (auto prefix = FPrefixes.rbegin(); prefix != FPrefixes.rend(); ++prefix) {
    if (Path.starts_with(prefix->first))
      return prefix->second;
  }
  return nullptr;
}

void TTestServer::Record(const httplib::Request& Request) {
  TRecordedRequest request;
  request.Method = Request.method;
  request.Path = Request.path;
  request.Target = Request.target;
  if (const size_t mark = Request.target.find('?'); mark != std::string::npos) {
    request.Query = Request.target.substr(mark + 1);
  }
  for (const auto& [name, value] : Request.headers) {
    if (!IsServerHeader(name))
      request.Headers.emplace(name, value);
  }
  request.RemotePort = Request.remote_port;
  FLog.Add(std::move(request));
}

void TTestServer::WaitForStop() {
  std::unique_lock<std::mutex> lock(FStopLock);
  FStopSignal.wait(lock, [this] { return FStopping.load(); });
}

bool TTestServer::SleepUnlessStopping(std::chrono::nanoseconds Time) {
  std::unique_lock<std::mutex> lock(FStopLock);
  return !FStopSignal.wait_for(lock, Time, [this] { return FStopping.load(); });
}

}  // namespace vt::test
