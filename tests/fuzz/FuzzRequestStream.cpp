// A client's bytes at the page, split anyhow: every request taken has the
// body its head announced, within the bounds; nothing is taken after a
// refusal; and how the bytes are split never changes what is taken or
// refused.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "web/RequestStream.h"

namespace {

struct Taken {
  std::vector<std::string> requests;  // method, path and body of each
  int refused = 0;
};

Taken TakeAll(const char* data, std::size_t size, std::size_t piece) {
  bridge::RequestStream stream;
  Taken taken;
  for (std::size_t at = 0; at < size && taken.refused == 0; at += piece) {
    stream.Append(data + at, std::min(piece, size - at));
    bridge::HttpRequest request;
    for (;;) {
      const bridge::RequestStream::Next next = stream.Take(request);
      if (next == bridge::RequestStream::Next::kNothing) break;
      if (next == bridge::RequestStream::Next::kRefused) {
        taken.refused = stream.Refusal().status;
        if (taken.refused < 400 || taken.refused > 505) std::abort();
        if (stream.Take(request) != bridge::RequestStream::Next::kRefused) std::abort();
        break;
      }
      if (request.body.size() > bridge::RequestStream::kMostBodyBytes) std::abort();
      const auto length = request.Header("content-length");
      if (length ? request.body.size() != std::stoul(std::string(*length))
                 : !request.body.empty()) {
        std::abort();
      }
      if (request.path.empty() || request.path[0] != '/') std::abort();
      taken.requests.push_back(request.method + " " + request.path + " " + request.body);
    }
  }
  return taken;
}

}  // namespace

// The first byte sets the size of the pieces that arrive.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = std::size_t(data[0] % 64) + 1;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const Taken split = TakeAll(bytes, size - 1, piece);
  const Taken whole = TakeAll(bytes, size - 1, size);
  if (split.requests != whole.requests || split.refused != whole.refused) std::abort();
  return 0;
}
