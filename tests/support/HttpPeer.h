// A test's own HTTP client, on a plain socket of the socket layer, so that a
// test can send exactly what it means (a head of 20 KiB, a request cut off
// half-way, an Origin of another site) and see exactly what comes back:
// each request written whole, each answer read by its Content-Length, or to
// the connection's end; and an event stream read event by event.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "TcpSockets.h"

namespace testsupport {

struct HttpAnswer {
  int status = 0;                              // 0: no answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string Header(const std::string& name) const;
};

// "POST /api/login HTTP/1.1" with Host, the headers given, and the body
// with its Content-Length.
std::string HttpRequestText(const std::string& method, const std::string& path,
                            const std::vector<std::string>& headers = {},
                            const std::string& body = {});

class HttpPeer {
 public:
  // Connects to 127.0.0.1:`port`, or from `from` of 127.0.0.0/8.
  explicit HttpPeer(int port, const char* from = "127.0.0.1");
  ~HttpPeer();
  HttpPeer(const HttpPeer&) = delete;
  HttpPeer& operator=(const HttpPeer&) = delete;

  bool Connected() const { return socket_ != tcp::kInvalidSocket; }
  bool Send(const std::string& bytes);
  // Reads one answer within the time; status 0 when none came.
  HttpAnswer Read(int timeoutMs = 5000);
  HttpAnswer Exchange(const std::string& request, int timeoutMs = 5000);
  // The next event of a stream (its text up to the blank line), within the
  // time; empty when none came.
  std::string NextEvent(int timeoutMs = 5000);
  // The server has ended the connection (or reset it) within the time.
  bool ClosedWithin(int timeoutMs);
  // The same, with what came before the end that no Read() took: of a
  // connection that must carry one answer only, nothing.
  bool ClosedAfter(std::string& more, int timeoutMs);
  tcp::Socket Handle() const { return socket_; }

 private:
  bool Fill(int timeoutMs);

  tcp::Socket socket_ = tcp::kInvalidSocket;
  std::string buffer_;
};

}  // namespace testsupport
