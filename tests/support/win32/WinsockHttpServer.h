#pragma once
// For the Windows test build only: the part of cpp-httplib's server interface that the test
// server uses, on Winsock. Debian's cpp-httplib keeps its implementation in a Linux shared
// library, so it cannot be cross-compiled; this stands in for it under the same names. One
// thread per connection, HTTP/1.1 with keep-alive, fixed-length and chunked bodies.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {

struct ci {
  bool operator()(const std::string& A, const std::string& B) const {
    return _stricmp(A.c_str(), B.c_str()) < 0;
  }
};
using Headers = std::multimap<std::string, std::string, ci>;

struct Request {
  std::string method;
  std::string path;    // percent-decoded, without the query
  std::string target;  // as sent
  Headers headers;
  int remote_port = -1;
};

struct DataSink {
  // False when the client has gone away.
  std::function<bool(const char* Data, size_t Size)> write;
};

using ContentProvider = std::function<bool(size_t Offset, size_t Length, DataSink& Sink)>;
using ChunkedContentProvider = std::function<bool(size_t Offset, DataSink& Sink)>;

struct Response {
  int status = -1;
  Headers headers;
  std::string body;
  size_t content_length = 0;
  ContentProvider provider;
  ChunkedContentProvider chunked;

  void set_header(const std::string& Name, const std::string& Value) {
    headers.emplace(Name, Value);
  }
  void set_content(const std::string& Body, const char* Type) {
    body = Body;
    headers.erase("Content-Type");
    set_header("Content-Type", Type);
  }
  void set_redirect(const std::string& Url, int Status = 302) {
    set_header("Location", Url);
    status = Status >= 300 && Status < 400 ? Status : 302;
  }
  void set_content_provider(size_t Length, const char* Type, ContentProvider Provider) {
    content_length = Length;
    provider = std::move(Provider);
    set_header("Content-Type", Type);
  }
  void set_chunked_content_provider(const char* Type, ChunkedContentProvider Provider) {
    chunked = std::move(Provider);
    set_header("Content-Type", Type);
  }
};

// Only so that the test server's choice of pool compiles: every connection gets a thread.
class TaskQueue {
 public:
  virtual ~TaskQueue() = default;
};
class ThreadPool : public TaskQueue {
 public:
  explicit ThreadPool(size_t) {}
};

class Server {
 public:
  using Handler = std::function<void(const Request&, Response&)>;

  std::function<TaskQueue*()> new_task_queue;

  Server() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Server() {
    stop();
    ::WSACleanup();
  }

  void set_keep_alive_timeout(int Seconds) { FKeepAliveMs = Seconds * 1000; }
  void set_keep_alive_max_count(size_t Count) { FKeepAliveMax = Count; }
  void set_tcp_nodelay(bool On) { FNoDelay = On; }
  void Get(const std::string& Pattern, Handler Route) {
    FRoutes.emplace_back(std::regex(Pattern), std::move(Route));
  }

  int bind_to_any_port(const std::string& Host) {
    FListener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, Host.c_str(), &address.sin_addr);
    int size = sizeof address;
    if (FListener == INVALID_SOCKET ||
        ::bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(FListener, SOMAXCONN) != 0 ||
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return -1;
    }
    return ntohs(address.sin_port);
  }

  bool listen_after_bind() {
    FRunning = true;
    for (;;) {
      sockaddr_in peer{};
      int size = sizeof peer;
      const SOCKET client = ::accept(FListener, reinterpret_cast<sockaddr*>(&peer), &size);
      if (client == INVALID_SOCKET)
        break;
      std::lock_guard<std::mutex> lock(FLock);
      if (FStopped) {
        ::closesocket(client);
        break;
      }
      FClients.push_back(client);
      FThreads.emplace_back([this, client, port = ntohs(peer.sin_port)] { Serve(client, port); });
    }
    return true;
  }

  bool is_running() const { return FRunning; }

  void stop() {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (FStopped)
        return;
      FStopped = true;
      if (FListener != INVALID_SOCKET)
        ::closesocket(FListener);
      // Wakes every connection thread blocked in recv or send.
      for (SOCKET client : FClients)
        ::shutdown(client, SD_BOTH);
      threads.swap(FThreads);
    }
    for (std::thread& thread : threads)
      thread.join();
    FRunning = false;
  }

 private:
  static bool SendAll(SOCKET Socket, const char* Data, size_t Size) {
    while (Size > 0) {
      const int sent = ::send(Socket, Data, static_cast<int>(Size < 65536 ? Size : 65536), 0);
      if (sent <= 0)
        return false;
      Data += sent;
      Size -= static_cast<size_t>(sent);
    }
    return true;
  }

  static std::string Decode(const std::string& Text) {
    std::string out;
    for (size_t i = 0; i < Text.size(); ++i) {
      if (Text[i] == '%' && i + 2 < Text.size() && std::isxdigit(Text[i + 1]) &&
          std::isxdigit(Text[i + 2])) {
        out += static_cast<char>(std::stoi(Text.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += Text[i];
      }
    }
    return out;
  }

  static const char* Reason(int Status) {
    switch (Status) {
      case 200:
        return "OK";
      case 204:
        return "No Content";
      case 206:
        return "Partial Content";
      case 301:
        return "Moved Permanently";
      case 302:
        return "Found";
      case 304:
        return "Not Modified";
      case 307:
        return "Temporary Redirect";
      case 308:
        return "Permanent Redirect";
      case 404:
        return "Not Found";
      case 500:
        return "Internal Server Error";
      case 503:
        return "Service Unavailable";
      default:
        return "Status";
    }
  }

  // Reads one request head into Head; false at the end of the connection or its idle limit.
  bool ReadHead(SOCKET Client, std::string& Pending, std::string& Head) {
    for (;;) {
      const size_t end = Pending.find("\r\n\r\n");
      if (end != std::string::npos) {
        Head = Pending.substr(0, end + 2);
        Pending.erase(0, end + 4);
        return true;
      }
      char buffer[4096];
      const int got = ::recv(Client, buffer, sizeof buffer, 0);
      if (got <= 0)
        return false;
      Pending.append(buffer, static_cast<size_t>(got));
    }
  }

  static bool Parse(const std::string& Head, Request& Out) {
    size_t lineEnd = Head.find("\r\n");
    const std::string line = Head.substr(0, lineEnd);
    const size_t first = line.find(' ');
    const size_t second = line.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos)
      return false;
    Out.method = line.substr(0, first);
    Out.target = line.substr(first + 1, second - first - 1);
    Out.path = Decode(Out.target.substr(0, Out.target.find('?')));
    for (size_t start = lineEnd + 2; start < Head.size(); start = lineEnd + 2) {
      lineEnd = Head.find("\r\n", start);
      const std::string header = Head.substr(start, lineEnd - start);
      const size_t colon = header.find(':');
      if (colon == std::string::npos)
        continue;
      const size_t value = header.find_first_not_of(' ', colon + 1);
      Out.headers.emplace(header.substr(0, colon),
                          value == std::string::npos ? "" : header.substr(value));
    }
    return true;
  }

  // One "bytes=a-b" range of a body whose status the handler left to the server becomes a 206,
  // as cpp-httplib does it.
  static void ApplyRange(const Request& Req, Response& Res) {
    const auto range = Req.headers.find("Range");
    unsigned long long from = 0, to = 0;
    if (range == Req.headers.end() || Res.status >= 0 || Res.provider || Res.chunked ||
        std::sscanf(range->second.c_str(), "bytes=%llu-%llu", &from, &to) != 2 || from > to ||
        from >= Res.body.size()) {
      return;
    }
    to = std::min<unsigned long long>(to, Res.body.size() - 1);
    Res.set_header("Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(to) +
                                        "/" + std::to_string(Res.body.size()));
    Res.body = Res.body.substr(from, to - from + 1);
    Res.status = 206;
  }

  // Sends the response; false when the connection must close after it.
  bool Respond(SOCKET Client, Response& Res, bool KeepAlive) {
    if (Res.status < 0)
      Res.status = 200;
    std::string head = "HTTP/1.1 " + std::to_string(Res.status) + " " + Reason(Res.status) + "\r\n";
    for (const auto& [name, value] : Res.headers)
      head += name + ": " + value + "\r\n";
    if (Res.chunked)
      head += "Transfer-Encoding: chunked\r\n";
    else
      head +=
          "Content-Length: " + std::to_string(Res.provider ? Res.content_length : Res.body.size()) +
          "\r\n";
    head += KeepAlive ? "Connection: Keep-Alive\r\n\r\n" : "Connection: close\r\n\r\n";
    if (!SendAll(Client, head.data(), head.size()))
      return false;
    DataSink sink;
    size_t offset = 0;
    if (Res.chunked) {
      sink.write = [&](const char* Data, size_t Size) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", Size);
        offset += Size;
        return SendAll(Client, size, std::strlen(size)) && SendAll(Client, Data, Size) &&
               SendAll(Client, "\r\n", 2);
      };
      while (Res.chunked(offset, sink)) {
      }
      return false;  // an unended chunked body only ends with the connection
    }
    if (Res.provider) {
      sink.write = [&](const char* Data, size_t Size) {
        offset += Size;
        return SendAll(Client, Data, Size);
      };
      while (offset < Res.content_length) {
        if (!Res.provider(offset, Res.content_length - offset, sink))
          return false;  // the provider gave up: close short of the promised length
      }
      return KeepAlive;
    }
    return SendAll(Client, Res.body.data(), Res.body.size()) && KeepAlive;
  }

  void Serve(SOCKET Client, int Port) {
    if (FNoDelay) {
      BOOL on = TRUE;
      ::setsockopt(Client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    DWORD idle = static_cast<DWORD>(FKeepAliveMs);
    ::setsockopt(Client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&idle),
                 sizeof idle);
    std::string pending;
    std::string head;
    for (size_t count = 1; ReadHead(Client, pending, head); ++count) {
      Request request;
      if (!Parse(head, request))
        break;
      request.remote_port = Port;
      Response response;
      for (const auto& [pattern, handler] : FRoutes) {
        if (std::regex_match(request.path, pattern)) {
          handler(request, response);
          break;
        }
      }
      ApplyRange(request, response);
      const bool keepAlive = count < FKeepAliveMax;
      if (!Respond(Client, response, keepAlive))
        break;
    }
    ::shutdown(Client, SD_BOTH);
    std::lock_guard<std::mutex> lock(FLock);
    for (SOCKET& socket : FClients) {
      if (socket == Client)
        socket = INVALID_SOCKET;
    }
    ::closesocket(Client);
  }

  std::vector<std::pair<std::regex, Handler>> FRoutes;
  SOCKET FListener = INVALID_SOCKET;
  std::atomic<bool> FRunning{false};
  bool FStopped = false;
  std::mutex FLock;
  std::vector<SOCKET> FClients;
  std::vector<std::thread> FThreads;
  int FKeepAliveMs = 5000;
  size_t FKeepAliveMax = 100;
  bool FNoDelay = false;
};

}  // namespace httplib
