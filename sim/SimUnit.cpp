#include "SimUnit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <sstream>

#include "CodePage.h"

namespace sim {
namespace {

constexpr int kPollSliceMs = 50;  // how soon a blocked thread notices Stop
constexpr int kListenBacklog = 16;
constexpr std::uint8_t kHeaderByte = 0x01;
constexpr std::uint8_t kBadLengthByte = 81;

const char* const kDefaultNames[kdt::kRelayCount] = {"Main feed", "Backup feed", "Monitor"};

struct FaultEntry {
  Fault fault;
  const char* name;
};
constexpr FaultEntry kFaults[] = {
    {Fault::kNone, "none"},
    {Fault::kSilent, "silent"},
    {Fault::kClose, "close"},
    {Fault::kBadLength, "bad-length"},
    {Fault::kBadChecksum, "bad-checksum"},
    {Fault::kPartial, "partial"},
};

// A frame's N+1 bytes in hexadecimal.
std::string Hex(const kdt::FrameBuffer& frame) {
  return kdt::HexText(std::string_view(reinterpret_cast<const char*>(frame.data()), frame[0] + 1u),
                      " ");
}

bool SendAll(int fd, const std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
    if (sent <= 0) {
      if (sent < 0 && errno == EINTR) continue;
      return false;
    }
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool ValidRelay(int relay) {
  return relay >= 1 && relay <= kdt::kRelayCount;
}

}  // namespace

struct SimUnit::Connection {
  int id = 0;
  int fd = -1;
  std::string who;  // "conn N: ", the start of its log lines
  std::thread thread;
  std::atomic<bool> ended{false};  // its thread has finished and can be joined
  int replies = 0;                 // good replies sent on this connection
  bool mute = false;               // fallen silent for good
};

bool ParseFault(std::string_view text, Fault& fault) {
  for (const FaultEntry& entry : kFaults) {
    if (text == entry.name) {
      fault = entry.fault;
      return true;
    }
  }
  return false;
}

const char* FaultName(Fault fault) {
  for (const FaultEntry& entry : kFaults) {
    if (entry.fault == fault) return entry.name;
  }
  return "?";
}

SimUnit::SimUnit(SimOptions options, LogFn log)
    : options_(std::move(options)), log_(std::move(log)) {
  unit_.header = kHeaderByte;
  unit_.model = options_.model;
  for (int r = 0; r < kdt::kRelayCount; ++r) {
    unit_.state[r] = 1;
    unit_.name[r] = kDefaultNames[r];
  }
}

SimUnit::~SimUnit() {
  Stop();
}

bool SimUnit::Start(std::string& error) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) {
    error = std::string("cannot make a socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.address.c_str(), &sa.sin_addr) != 1) {
    error = "not an IPv4 address: " + options_.address;
  } else if (bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
             listen(listener_, kListenBacklog) != 0) {
    error = "cannot listen on " + options_.address + ":" + std::to_string(options_.port) + ": " +
            std::strerror(errno);
  } else {
    socklen_t length = sizeof sa;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &length);
    port_ = ntohs(sa.sin_port);
    Log("listening on " + options_.address + ":" + std::to_string(port_));
    acceptThread_ = std::thread(&SimUnit::AcceptLoop, this);
    return true;
  }
  close(listener_);
  listener_ = -1;
  return false;
}

void SimUnit::Stop() {
  if (stopping_.exchange(true)) return;
  if (acceptThread_.joinable()) acceptThread_.join();
  if (listener_ != -1) close(listener_);
  std::vector<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& conn : connections) {
    if (conn->thread.joinable()) conn->thread.join();
  }
}

void SimUnit::AcceptLoop() {
  while (!stopping_) {
    ReapFinished();
    pollfd pfd{listener_, POLLIN, 0};
    if (poll(&pfd, 1, kPollSliceMs) > 0) Accept();
  }
}

void SimUnit::Accept() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char address[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  std::lock_guard lock(mutex_);
  auto conn = std::make_unique<Connection>();
  conn->id = ++accepted_;
  conn->fd = fd;
  conn->who = "conn " + std::to_string(conn->id) + ": ";
  ++open_;
  Log(conn->who + "opened from " + address + ":" + std::to_string(ntohs(peer.sin_port)));
  Connection& ref = *conn;
  connections_.push_back(std::move(conn));
  ref.thread = std::thread(&SimUnit::Serve, this, std::ref(ref));
  changed_.notify_all();
}

// A unit that serves for hours (Autoconnect against a unit that keeps
// dropping) must not keep a thread and its stack for every connection it
// ever had: those that have ended are joined and freed.
void SimUnit::ReapFinished() {
  std::vector<std::unique_ptr<Connection>> finished;
  {
    std::lock_guard lock(mutex_);
    auto ended = std::stable_partition(connections_.begin(), connections_.end(),
                                       [](const auto& conn) { return !conn->ended; });
    std::move(ended, connections_.end(), std::back_inserter(finished));
    connections_.erase(ended, connections_.end());
  }
  for (auto& conn : finished) conn->thread.join();
}

void SimUnit::Serve(Connection& conn) {
  kdt::FrameBuffer frame;
  while (ReadFrame(conn, frame)) HandleFrame(conn, frame);
  close(conn.fd);
  std::lock_guard lock(mutex_);
  --open_;
  conn.ended = true;
  changed_.notify_all();
}

// Reads one frame: the length byte, then the announced bytes. False when the
// connection is over (closed by the peer, stopped, or an incomplete frame).
bool SimUnit::ReadFrame(Connection& conn, kdt::FrameBuffer& frame) {
  const std::string& who = conn.who;
  std::size_t wanted = 1;
  std::size_t got = 0;
  int silentMs = 0;
  while (got < wanted) {
    if (stopping_) return false;
    pollfd pfd{conn.fd, POLLIN, 0};
    if (poll(&pfd, 1, kPollSliceMs) == 0) {
      silentMs += kPollSliceMs;
      if (got > 0 && silentMs >= kIncompleteFrameMs) {
        Log(who + "incomplete frame: announced " + std::to_string(frame[0]) + " bytes, got " +
            std::to_string(got - 1) + ", then silence; closing");
        return false;
      }
      continue;
    }
    ssize_t n = recv(conn.fd, frame.data() + got, wanted - got, 0);
    if (n <= 0) {
      Log(who + (got == 0 ? "closed by the peer"
                          : "closed by the peer inside a frame of " + std::to_string(frame[0]) +
                                " announced bytes"));
      return false;
    }
    silentMs = 0;
    got += static_cast<std::size_t>(n);
    if (got == 1) wanted = 1 + frame[0];
  }
  return true;
}

void SimUnit::HandleFrame(Connection& conn, const kdt::FrameBuffer& frame) {
  Record(conn.id, frame);
  Apply(conn, frame);
  if (conn.mute) return;
  int delayMs;
  {
    std::lock_guard lock(mutex_);
    delayMs = options_.delayMs;
  }
  if (!SleepUnlessStopping(delayMs)) return;
  if (!Reply(conn)) shutdown(conn.fd, SHUT_RDWR);
}

void SimUnit::Apply(const Connection& conn, const kdt::FrameBuffer& frame) {
  const std::string& who = conn.who;
  const std::size_t length = frame[0];
  if (length < 2) {
    Log(who + "frame too short (" + Hex(frame) + "), answered with the status");
    return;
  }
  if (!kdt::ChecksumValid(frame)) {
    Log(who + "bad checksum (" + Hex(frame) + "), not applied");
    return;
  }
  const std::uint8_t code = frame[1];
  std::lock_guard lock(mutex_);
  if (code == kdt::kCmdPoll) {
    if (options_.logPolls) Log(who + "poll");
  } else if (code == kdt::kCmdGoodbye) {
    Log(who + "goodbye");
  } else if (code == kdt::kCmdSetInput && length == 4) {
    int input = frame[2], relay = frame[3];
    if (!ValidRelay(relay) || (input != 1 && input != 2)) {
      Log(who + "set input " + std::to_string(input) + " on relay " + std::to_string(relay) +
          ": out of range, ignored");
    } else if (kdt::IsLocked(unit_.state[relay - 1])) {
      Log(who + "set input " + std::to_string(input) + " on relay " + std::to_string(relay) +
          ": relay locked, ignored");
    } else {
      unit_.state[relay - 1] = kdt::WithInput(unit_.state[relay - 1], input);
      Log(who + "set input " + std::to_string(input) + " on relay " + std::to_string(relay));
    }
  } else if (code == kdt::kCmdSetName && length == 3 + kdt::kSetNameFieldLength) {
    int relay = frame[2];
    const char* field = reinterpret_cast<const char*>(frame.data() + 3);
    std::string name(field, strnlen(field, kdt::kSetNameFieldLength));
    if (ValidRelay(relay)) {
      unit_.name[relay - 1] = name;
      Log(who + "set name of relay " + std::to_string(relay) + " to \"" + kdt::PrintableText(name) +
          "\"");
    } else {
      Log(who + "set name on relay " + std::to_string(relay) + ": out of range, ignored");
    }
  } else {
    Log(who + "unknown frame (" + Hex(frame) + "), answered with the status");
  }
}

// Sends the reply the fault mode calls for; false to close the connection.
bool SimUnit::Reply(Connection& conn) {
  kdt::ReplyBytes reply;
  Fault fault;
  {
    std::lock_guard lock(mutex_);
    fault = conn.replies >= options_.faultAfter ? options_.fault : Fault::kNone;
    reply = kdt::EncodeReply(unit_, ++replyCounter_);
  }
  const std::string& who = conn.who;
  switch (fault) {
    case Fault::kNone:
      ++conn.replies;
      return SendAll(conn.fd, reply.data(), reply.size());
    case Fault::kSilent:
      Log(who + "falling silent");
      conn.mute = true;
      return true;
    case Fault::kClose:
      Log(who + "closing instead of answering");
      return false;
    case Fault::kBadLength:
      Log(who + "sending a reply with a wrong length byte");
      reply[0] = kBadLengthByte;
      return SendAll(conn.fd, reply.data(), kBadLengthByte + 1);
    case Fault::kBadChecksum:
      Log(who + "sending a reply with a wrong checksum");
      ++reply[kdt::kReplyLength - 1];
      return SendAll(conn.fd, reply.data(), reply.size());
    case Fault::kPartial:
      Log(who + "sending part of a reply, then falling silent");
      conn.mute = true;
      return SendAll(conn.fd, reply.data(), kPartialReplyLength);
  }
  return false;
}

void SimUnit::Record(int connection, const kdt::FrameBuffer& frame) {
  if (!options_.recordFrames) return;
  std::lock_guard lock(mutex_);
  frames_.push_back(
      {connection, std::vector<std::uint8_t>(frame.begin(), frame.begin() + frame[0] + 1)});
  changed_.notify_all();
}

void SimUnit::Log(const std::string& line) const {
  if (log_) log_(line);
}

bool SimUnit::SleepUnlessStopping(int ms) const {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    if (stopping_) return false;
    std::this_thread::sleep_for(std::min(std::chrono::milliseconds(kPollSliceMs),
                                         std::chrono::duration_cast<std::chrono::milliseconds>(
                                             until - std::chrono::steady_clock::now())));
  }
  return !stopping_;
}

void SimUnit::SetInput(int relay, std::uint8_t input) {
  std::lock_guard lock(mutex_);
  unit_.state[relay - 1] = kdt::WithInput(unit_.state[relay - 1], input);
}

void SimUnit::SetName(int relay, std::string name) {
  std::lock_guard lock(mutex_);
  if (name.size() > kdt::kReplyNameFieldLength) name.resize(kdt::kReplyNameFieldLength);
  unit_.name[relay - 1] = std::move(name);
}

void SimUnit::SetLocked(int relay, bool locked) {
  std::lock_guard lock(mutex_);
  unit_.state[relay - 1] = kdt::WithLock(unit_.state[relay - 1], locked);
}

void SimUnit::SetState(int relay, std::uint8_t state) {
  std::lock_guard lock(mutex_);
  unit_.state[relay - 1] = state;
}

void SimUnit::SetModel(std::uint8_t model) {
  std::lock_guard lock(mutex_);
  unit_.model = model;
}

void SimUnit::SetFault(Fault fault, int after) {
  std::lock_guard lock(mutex_);
  options_.fault = fault;
  options_.faultAfter = after;
}

void SimUnit::SetDelay(int delayMs) {
  std::lock_guard lock(mutex_);
  options_.delayMs = delayMs;
}

kdt::UnitStatus SimUnit::Status() const {
  std::lock_guard lock(mutex_);
  return unit_;
}

std::vector<ReceivedFrame> SimUnit::Frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

void SimUnit::ClearFrames() {
  std::lock_guard lock(mutex_);
  frames_.clear();
}

bool SimUnit::WaitForFrames(std::size_t count, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return frames_.size() >= count; });
}

int SimUnit::ConnectionsAccepted() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

bool SimUnit::WaitForConnectionsOpen(int count, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return open_ == count; });
}

}  // namespace sim
