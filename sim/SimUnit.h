// A simulated KDT-212 unit: a TCP server that keeps one shared unit state for
// all its connections and answers every frame with one status reply.
//
// What it does with frames the real unit would not get from the console:
// a frame with a bad checksum is not applied, and one with an unknown command
// code changes nothing; both are logged and still answered with the status,
// because the console waits for exactly one reply per frame. A frame that
// stops before its announced length is complete is given up after
// kIncompleteFrameMs of silence: logged, and the connection closed.
//
// Byte 1 of every reply counts the unit's replies, so consecutive replies
// always differ there; the console must not take that for a change.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UnitFrames.h"

namespace sim {

// Misbehaviour on request. Each starts after `faultAfter` good replies on a
// connection, counted per connection.
enum class Fault {
  kNone,
  kSilent,       // read frames, never answer again
  kClose,        // close the connection instead of answering
  kBadLength,    // announce 81 bytes and send 81
  kBadChecksum,  // a reply with its checksum off by one
  kPartial,      // send the first 40 bytes of a reply, then fall silent
};

bool ParseFault(std::string_view text, Fault& fault);
const char* FaultName(Fault fault);

struct SimOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 10001;  // 0 picks a free port; Port() tells which
  Fault fault = Fault::kNone;
  int faultAfter = 0;
  int delayMs = 0;        // wait this long before every reply
  int switchDelayMs = 0;  // and this much more before a switch's: relays that settle slowly
  std::uint8_t model = kdt::kModelKdt212;
  bool logPolls = false;      // polls come back to back: off, they flood the log
  bool recordFrames = false;  // keep every received frame for tests
};

struct ReceivedFrame {
  int connection = 0;
  std::vector<std::uint8_t> bytes;
};

constexpr int kIncompleteFrameMs = 2000;
constexpr std::size_t kPartialReplyLength = 40;

class SimUnit {
 public:
  using LogFn = std::function<void(const std::string&)>;

  explicit SimUnit(SimOptions options, LogFn log = {});
  ~SimUnit();
  SimUnit(const SimUnit&) = delete;
  SimUnit& operator=(const SimUnit&) = delete;

  // Binds and starts serving; false with a reason when the address is taken.
  bool Start(std::string& error);
  // Closes the listener and every connection and waits for their threads.
  void Stop();
  std::uint16_t Port() const { return port_; }

  // The front panel: changes as if made at the unit itself. Relays are 1 to 3.
  void SetInput(int relay, std::uint8_t input);
  void SetName(int relay, std::string name);
  void SetLocked(int relay, bool locked);
  void SetState(int relay, std::uint8_t state);
  void SetModel(std::uint8_t model);
  void SetFault(Fault fault, int after);
  void SetDelay(int delayMs);
  void SetSwitchDelay(int delayMs);
  kdt::UnitStatus Status() const;

  std::vector<ReceivedFrame> Frames() const;
  void ClearFrames();
  // Waits until at least `count` frames have been recorded.
  bool WaitForFrames(std::size_t count, int timeoutMs) const;
  int ConnectionsAccepted() const;
  bool WaitForConnectionsOpen(int count, int timeoutMs) const;

 private:
  struct Connection;

  void AcceptLoop();
  void Accept();
  void ReapFinished();
  void Serve(Connection& conn);
  bool ReadFrame(Connection& conn, kdt::FrameBuffer& frame);
  bool HandleFrame(Connection& conn, const kdt::FrameBuffer& frame);
  void Apply(const Connection& conn, const kdt::FrameBuffer& frame);
  bool Reply(Connection& conn);
  void Record(int connection, const kdt::FrameBuffer& frame);
  void Log(const std::string& line) const;
  bool SleepUnlessStopping(int ms) const;

  SimOptions options_;
  LogFn log_;
  std::uint16_t port_ = 0;
  tcp::Socket listener_ = tcp::kInvalidSocket;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;

  mutable std::mutex mutex_;  // guards everything below
  mutable std::condition_variable changed_;
  kdt::UnitStatus unit_;
  std::uint8_t replyCounter_ = 0;
  std::vector<ReceivedFrame> frames_;
  std::vector<std::unique_ptr<Connection>> connections_;  // open, or ended and not yet joined
  int accepted_ = 0;
  int open_ = 0;
};

}  // namespace sim
