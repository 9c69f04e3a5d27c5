// What one client of the page sends, taken request by request from the
// bytes as they come, split anyhow: HTTP/1.1 (and 1.0) as RFC 9112 reads it,
// strictly, so that the bridge and a proxy in front of it can never see two
// different requests in the same bytes. A request is handed on only whole
// and only if it is sound; anything else is refused with the status that
// says why, and nothing after it is read:
// - 400: a head that is not HTTP (a bare CR or LF, a field without its
//   colon, or with blanks before it, a folded line, a control character in
//   a value), no Host or two, a Content-Length that is not a number or two
//   that differ, a Content-Length beside a Transfer-Encoding;
// - 411: a body in chunks (a Transfer-Encoding alone): the page's requests
//   give their length;
// - 431 and 413: a head, or a body, over 16 KiB;
// - 505: an HTTP other than 1.0 and 1.1.
// What a client sends ahead of an answer (pipelined) waits here for its
// turn. Free of Qt.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bridge {

struct HttpRequest {
  std::string method;  // "GET", as sent
  std::string path;    // "/api/units", without the query
  std::string query;   // what follows the "?", as sent
  int minorVersion = 1;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  // The connection stays open for the next request: HTTP/1.1 without
  // "Connection: close".
  bool keepAlive = true;

  // The value of the field (its first line), if it was sent.
  std::optional<std::string_view> Header(std::string_view lowerName) const;
};

struct HttpRefusal {
  int status = 0;
  std::string why;  // in words, for the answer and the log
};

class RequestStream {
 public:
  static constexpr std::size_t kMostHeadBytes = 16 * 1024;
  static constexpr std::size_t kMostBodyBytes = 16 * 1024;

  enum class Next {
    kNothing,  // no whole request yet
    kRequest,  // `request` holds the next one
    kRefused,  // Refusal() says why; nothing more is taken
  };

  void Append(const char* data, std::size_t length) { waiting_.append(data, length); }
  Next Take(HttpRequest& request);
  const HttpRefusal& Refusal() const { return refusal_; }
  // Part of a request has come, not the whole of it.
  bool Begun() const;
  // Part of a head has come, and not its end.
  bool InsideHead() const;

 private:
  Next Refuse(int status, std::string why);
  Next ReadHead(std::string_view head, HttpRequest& request);
  Next CheckFraming(HttpRequest& request);

  std::string waiting_;
  HttpRefusal refusal_;
};

}  // namespace bridge
