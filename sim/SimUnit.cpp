#include "SimUnit.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <sstream>

#include "CodePage.h"
#include "TcpSockets.h"

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
  return kdt::FrameHex({frame.data(), frame[0] + 1u});
}

// The socket is a blocking one: every byte goes, or the connection has.
bool SendAll(tcp::Socket s, const std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    int sent = 0;
    if (!tcp::SockSend(s, data, int(length), sent)) return false;
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
  tcp::Socket socket = tcp::kInvalidSocket;
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
  if (!tcp::IsDottedQuad(options_.address)) {
    error = "not an IPv4 address: " + options_.address;
    return false;
  }
  if (!tcp::SockListen(listener_, options_.address, options_.port, kListenBacklog)) {
    error = "cannot listen on " + options_.address + ":" + std::to_string(options_.port) + ": " +
            tcp::SockErrorText(tcp::SockLastError(), 0);
    return false;
  }
  port_ = std::uint16_t(tcp::SockLocalPort(listener_));
  Log("listening on " + options_.address + ":" + std::to_string(port_));
  acceptThread_ = std::thread(&SimUnit::AcceptLoop, this);
  return true;
}

void SimUnit::Stop() {
  if (stopping_.exchange(true)) return;
  if (acceptThread_.joinable()) acceptThread_.join();
  tcp::SockClose(listener_);
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
    if (tcp::SockWaitReadable(listener_, kPollSliceMs)) Accept();
  }
}

void SimUnit::Accept() {
  tcp::Socket socket = tcp::kInvalidSocket;
  if (!tcp::SockAccept(listener_, socket)) return;
  tcp::SockSetNoDelay(socket);
  std::uint32_t address = 0;
  int port = 0;
  tcp::SockPeerName(socket, address, port);
  const std::string peer = tcp::DottedText(address) + ":" + std::to_string(port);
  std::lock_guard lock(mutex_);
  auto conn = std::make_unique<Connection>();
  conn->id = ++accepted_;
  conn->socket = socket;
  conn->who = "conn " + std::to_string(conn->id) + ": ";
  ++open_;
  Log(conn->who + "opened from " + peer);
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
  while (ReadFrame(conn, frame) && HandleFrame(conn, frame)) {
  }
  tcp::SockShutdownClose(conn.socket);
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
    if (!tcp::SockWaitReadable(conn.socket, kPollSliceMs)) {
      silentMs += kPollSliceMs;
      if (got > 0 && silentMs >= kIncompleteFrameMs) {
        Log(who + "incomplete frame: announced " + std::to_string(frame[0]) + " bytes, got " +
            std::to_string(got - 1) + ", then silence; closing");
        return false;
      }
      continue;
    }
    int n = 0;
    if (!tcp::SockRecv(conn.socket, frame.data() + got, int(wanted - got), n)) {
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

// False when the connection is to end.
bool SimUnit::HandleFrame(Connection& conn, const kdt::FrameBuffer& frame) {
  Record(conn.id, frame);
  Apply(conn, frame);
  if (conn.mute) return true;
  int delayMs;
  {
    std::lock_guard lock(mutex_);
    delayMs = options_.delayMs;
    if (frame[0] >= 2 && frame[1] == kdt::kCmdSetInput) delayMs += options_.switchDelayMs;
  }
  return SleepUnlessStopping(delayMs) && Reply(conn);
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
      return SendAll(conn.socket, reply.data(), reply.size());
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
      return SendAll(conn.socket, reply.data(), kBadLengthByte + 1);
    case Fault::kBadChecksum:
      Log(who + "sending a reply with a wrong checksum");
      ++reply[kdt::kReplyLength - 1];
      return SendAll(conn.socket, reply.data(), reply.size());
    case Fault::kPartial:
      Log(who + "sending part of a reply, then falling silent");
      conn.mute = true;
      return SendAll(conn.socket, reply.data(), kPartialReplyLength);
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

void SimUnit::SetSwitchDelay(int delayMs) {
  std::lock_guard lock(mutex_);
  options_.switchDelayMs = delayMs;
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
