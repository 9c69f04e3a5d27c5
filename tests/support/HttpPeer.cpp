#include "HttpPeer.h"

#include <algorithm>
#include <chrono>

namespace testsupport {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

}  // namespace

std::string HttpAnswer::Header(const std::string& name) const {
  const auto found = headers.find(Lower(name));
  return found == headers.end() ? std::string() : found->second;
}

std::string HttpRequestText(const std::string& method, const std::string& path,
                            const std::vector<std::string>& headers, const std::string& body) {
  std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (const std::string& header : headers) text += header + "\r\n";
  if (!body.empty() || method == "POST") {
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return text + "\r\n" + body;
}

HttpAnswer HttpPeer::Read(int timeoutMs) {
  const auto until = MsFromNow(timeoutMs);
  HttpAnswer answer;
  std::size_t headEnd;
  while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!Fill(MsLeft(until))) return answer;
  }
  const std::string head = buffer_.substr(0, headEnd);
  buffer_.erase(0, headEnd + 4);
  answer.status = std::atoi(head.c_str() + head.find(' ') + 1);
  for (std::size_t at = head.find("\r\n"); at != std::string::npos;) {
    const std::size_t end = head.find("\r\n", at + 2);
    const std::string line = head.substr(at + 2, end == std::string::npos ? end : end - at - 2);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      answer.headers[Lower(line.substr(0, colon))] =
          line.substr(line.find_first_not_of(' ', colon + 1));
    }
    at = end;
  }
  const std::string length = answer.Header("content-length");
  if (length.empty()) return answer;  // a stream: its events are read by NextEvent
  const std::size_t size = std::stoul(length);
  while (buffer_.size() < size) {
    if (!Fill(MsLeft(until))) break;
  }
  answer.body = buffer_.substr(0, size);
  buffer_.erase(0, std::min(size, buffer_.size()));
  return answer;
}

HttpAnswer HttpPeer::Exchange(const std::string& request, int timeoutMs) {
  return Send(request) ? Read(timeoutMs) : HttpAnswer();
}

std::string HttpPeer::NextEvent(int timeoutMs) {
  const auto until = MsFromNow(timeoutMs);
  std::size_t end;
  while ((end = buffer_.find("\n\n")) == std::string::npos) {
    if (!Fill(MsLeft(until))) return {};
  }
  std::string event = buffer_.substr(0, end);
  buffer_.erase(0, end + 2);
  return event;
}

}  // namespace testsupport
