// A test's own HTTP client, on a plain socket of the socket layer, so that a
// test can send exactly what it means (a head of 20 KiB, a request cut off
// half-way, an Origin of another site) and see exactly what comes back:
// each request written whole, each answer read by its Content-Length, or to
// the connection's end; and an event stream read event by event.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "StreamPeer.h"

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

class HttpPeer : public StreamPeer {
 public:
  // Connects to 127.0.0.1:`port`, or from `from` of 127.0.0.0/8.
  explicit HttpPeer(int port, const char* from = "127.0.0.1") : StreamPeer(port, from) {}

  // Reads one answer within the time; status 0 when none came.
  HttpAnswer Read(int timeoutMs = 5000);
  HttpAnswer Exchange(const std::string& request, int timeoutMs = 5000);
  // The next event of a stream (its text up to the blank line), within the
  // time; empty when none came.
  std::string NextEvent(int timeoutMs = 5000);
};

}  // namespace testsupport
