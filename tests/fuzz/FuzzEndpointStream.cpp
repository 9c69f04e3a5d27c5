// A client's byte stream at the bridge's endpoint, split anyhow: every frame
// taken is one the console could have sent, nothing is taken after a frame
// that is not valid, and the replies that a unit answering them gives have
// the reply's form and say what the frames did.
#include <cstdint>
#include <cstdlib>

#include "endpoint/ClientStream.h"

namespace {

// The unit a client talks to through the endpoint, as far as its replies go.
class ModelUnit {
 public:
  ModelUnit() {
    status_.model = kdt::kModelKdt212;
    status_.state = {1, 1, 1};
  }
  kdt::ReplyBytes Answer(const kdt::ClientFrame& read) {
    if (read.code == kdt::kCmdSetInput) {
      status_.state[read.relay - 1] = kdt::WithInput(status_.state[read.relay - 1], read.input);
    } else if (read.code == kdt::kCmdSetName) {
      status_.name[read.relay - 1] = read.name;
    }
    return kdt::EncodeReply(status_);
  }
  const kdt::UnitStatus& Status() const { return status_; }

 private:
  kdt::UnitStatus status_;
};

void CheckReply(const kdt::ReplyBytes& reply, const kdt::UnitStatus& expected) {
  if (reply[0] != kdt::kReplyLengthByte || !kdt::ChecksumValid(reply)) std::abort();
  const kdt::UnitStatus decoded = kdt::DecodeReply(reply);
  if (decoded.state != expected.state || decoded.name != expected.name) std::abort();
}

}  // namespace

// The first byte sets how the rest is split into the pieces that arrive.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = std::size_t(data[0] % 32) + 1;
  ++data;
  --size;
  bridge::ClientStream stream;
  ModelUnit unit;
  for (std::size_t at = 0; at < size; at += piece) {
    stream.Append(reinterpret_cast<const char*>(data + at), std::min(piece, size - at));
    kdt::Frame frame;
    kdt::ClientFrame read;
    for (;;) {
      const bridge::ClientStream::Next next = stream.Take(frame, read);
      if (next == bridge::ClientStream::Next::kNothing) break;
      if (next == bridge::ClientStream::Next::kInvalid) {
        if (kdt::ReadClientFrame(frame, read)) std::abort();
        return 0;  // the client is closed: nothing more of it is read
      }
      if (frame.size() != std::size_t(frame[0]) + 1 || read.relay < 0 || read.relay > 3) {
        std::abort();
      }
      CheckReply(unit.Answer(read), unit.Status());
      if (read.code == kdt::kCmdGoodbye) return 0;
    }
    if (stream.Flooded()) return 0;
  }
  return 0;
}
