#include "web/RequestStream.h"

#include <algorithm>
#include <cctype>

namespace bridge {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeadEnd = "\r\n\r\n";
// More digits than this are a length far beyond any body the page takes.
constexpr std::size_t kMostLengthDigits = 9;

// A token's characters (RFC 9110, 5.6.2): a method's, a field name's.
bool IsTokenCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
  return !text.empty() && std::ranges::all_of(text, IsTokenCharacter);
}

// A field's value may hold any byte but a control character (a tab aside).
bool IsValueText(std::string_view value) {
  return std::ranges::none_of(value, [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t') || byte == 0x7f;
  });
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::ranges::transform(lower, lower.begin(),
                         [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); });
  return lower;
}

// The elements of a comma-separated field value, trimmed.
std::vector<std::string_view> ListOf(std::string_view value) {
  std::vector<std::string_view> elements;
  for (std::size_t start = 0; start <= value.size();) {
    std::size_t comma = value.find(',', start);
    if (comma == std::string_view::npos) comma = value.size();
    elements.push_back(TrimSpaces(value.substr(start, comma - start)));
    start = comma + 1;
  }
  return elements;
}

// A line end that is not CR LF: a bare CR, or a bare LF.
bool HasBareLineEnd(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return true;
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] != '\n') return true;
  }
  return false;
}

}  // namespace

std::optional<std::string_view> HttpRequest::Header(std::string_view lowerName) const {
  for (const auto& [name, value] : headers) {
    if (name == lowerName) return value;
  }
  return std::nullopt;
}

RequestStream::Next RequestStream::Refuse(int status, std::string why) {
  refusal_ = {status, std::move(why)};
  return Next::kRefused;
}

bool RequestStream::Begun() const {
  return !waiting_.empty();
}

bool RequestStream::InsideHead() const {
  return !waiting_.empty() && waiting_.find(kHeadEnd) == std::string::npos;
}

RequestStream::Next RequestStream::Take(HttpRequest& request) {
  if (refusal_.status != 0) return Next::kRefused;
  // Empty lines before a request are taken for nothing (RFC 9112, 2.2).
  while (waiting_.starts_with(kLineEnd)) waiting_.erase(0, kLineEnd.size());
  const std::size_t end = waiting_.find(kHeadEnd);
  const std::string_view head = std::string_view(waiting_).substr(0, end);
  // With the line end that closes its last line, so that a CR before it
  // counts as bare however the bytes came.
  const std::size_t checked = end == std::string::npos ? end : end + kLineEnd.size();
  if (HasBareLineEnd(std::string_view(waiting_).substr(0, checked))) {
    return Refuse(400, "a line ends without CR LF");
  }
  if (end == std::string::npos && waiting_.size() > kMostHeadBytes) {
    return Refuse(431, "its request's head is over 16 KiB");
  }
  if (end == std::string::npos) return Next::kNothing;
  if (end + kHeadEnd.size() > kMostHeadBytes) {
    return Refuse(431, "its request's head is over 16 KiB");
  }
  HttpRequest taken;
  if (ReadHead(head, taken) == Next::kRefused) return Next::kRefused;
  std::size_t length = 0;
  if (const auto declared = taken.Header("content-length")) {
    const std::string_view digits = ListOf(*declared).front();
    if (digits.size() > kMostLengthDigits) {
      return Refuse(413, "its request's body is over 16 KiB");
    }
    length = std::stoul(std::string(digits));
  }
  if (length > kMostBodyBytes) {
    return Refuse(413, "its request's body is over 16 KiB");
  }
  const std::size_t whole = end + kHeadEnd.size() + length;
  if (waiting_.size() < whole) return Next::kNothing;
  taken.body = waiting_.substr(end + kHeadEnd.size(), length);
  waiting_.erase(0, whole);
  request = std::move(taken);
  return Next::kRequest;
}

RequestStream::Next RequestStream::ReadHead(std::string_view head, HttpRequest& request) {
  const std::size_t lineEnd = std::min(head.find(kLineEnd), head.size());
  const std::string_view line = head.substr(0, lineEnd);
  const std::size_t first = line.find(' '), second = line.find(' ', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos ||
      line.find(' ', second + 1) != std::string_view::npos) {
    return Refuse(400, "its request line is not METHOD PATH HTTP/1.1");
  }
  request.method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (!IsToken(request.method) || !target.starts_with('/') ||
      !std::ranges::all_of(target, [](char c) { return c > ' ' && c < 0x7f; })) {
    return Refuse(400, "its request line is not METHOD PATH HTTP/1.1");
  }
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return version.starts_with("HTTP/")
               ? Refuse(505, "it speaks HTTP other than 1.1")
               : Refuse(400, "its request line is not METHOD PATH HTTP/1.1");
  }
  request.minorVersion = version.back() - '0';
  request.path = target.substr(0, target.find_first_of("?#"));
  if (const std::size_t mark = target.find('?'); mark != std::string_view::npos) {
    request.query = target.substr(mark + 1, target.find('#', mark) - mark - 1);
  }

  for (std::size_t start = lineEnd + kLineEnd.size(); start < head.size();) {
    const std::size_t end = std::min(head.find(kLineEnd, start), head.size());
    const std::string_view field = head.substr(start, end - start);
    start = end + kLineEnd.size();
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos || !IsToken(field.substr(0, colon))) {
      return Refuse(400, "a field of its head is not NAME: VALUE");
    }
    const std::string_view value = TrimSpaces(field.substr(colon + 1));
    if (!IsValueText(value)) {
      return Refuse(400, "a field of its head holds a control character");
    }
    request.headers.emplace_back(Lower(field.substr(0, colon)), value);
  }
  return CheckFraming(request);
}

// How long the body is must be beyond doubt: a proxy in front that reads it
// otherwise would pass a second request hidden in this one's body.
RequestStream::Next RequestStream::CheckFraming(HttpRequest& request) {
  int hosts = 0;
  std::optional<std::string_view> length;
  bool chunked = false;
  for (const auto& [name, value] : request.headers) {
    if (name == "host") ++hosts;
    if (name == "transfer-encoding") chunked = true;
    if (name == "connection") {
      for (std::string_view option : ListOf(value)) {
        if (Lower(option) == "close") request.keepAlive = false;
      }
    }
    if (name != "content-length") continue;
    for (std::string_view digits : ListOf(value)) {
      if (digits.empty() ||
          !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) {
        return Refuse(400, "its Content-Length is not a number");
      }
      if (length && *length != digits) {
        return Refuse(400, "it gives two different Content-Lengths");
      }
      length = digits;
    }
  }
  if (chunked && length) {
    return Refuse(400, "it gives both Content-Length and Transfer-Encoding");
  }
  if (chunked) return Refuse(411, "its body comes without its Content-Length");
  if (hosts > 1 || (hosts == 0 && request.minorVersion == 1)) {
    return Refuse(400, "an HTTP/1.1 request names one Host");
  }
  if (request.minorVersion == 0) request.keepAlive = false;
  return Next::kRequest;
}

}  // namespace bridge
