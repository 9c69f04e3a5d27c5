// One unit as the bridge serves it: the device session that the console
// uses, started again every second while it is not running (as the
// console's Autoconnect does), every change of its connection and of its
// relays logged in one line, and its shared endpoint when LISTEN is given.
// Commands from everyone who shares it wait in one queue (CommandQueue.h)
// and go to the session one at a time, each as soon as the one before is
// answered, so that a change is known to be its command's doing. Every
// change is an entry of the record of who switched what (LogBook.h). While
// the unit stays down, nothing is logged per attempt: one line when it
// goes, and a reminder every 10 minutes at most.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "BridgeConfig.h"
#include "CommandQueue.h"
#include "Log.h"
#include "LogBook.h"
#include "Protects.h"
#include "SharedEndpoint.h"
#include "UnitThread.h"

namespace bridge {

constexpr int kRetryPeriodMs = 1000;

class SharedUnit : public QObject, private SharedSession {
 public:
  SharedUnit(const UnitConfig& config, bool verbose);
  ~SharedUnit() override;  // the session ends with its goodbye

  const UnitConfig& Config() const { return config_; }
  // A new configuration of the same session (UnitConfig::SameSession): the
  // endpoint takes it, and the session goes on.
  void Reconfigure(const UnitConfig& config);
  // A status of the current connection has come.
  bool Live() const override { return live_; }
  // The first attempt to reach the unit has had its outcome: until then,
  // nothing is known of it, not even that it is down.
  bool Known() const { return known_; }
  // The last status, while live.
  const kdt::UnitStatus& Status() const { return status_; }
  // Why the unit is not live, in words.
  const std::string& DownReason() const { return downReason_; }
  // "192.168.0.200:10001".
  std::string Where() const;

  // Queues a command for the unit (a frame that kdt::ReadClientFrame
  // takes). Its `done` is called once it has its reply or never will,
  // unless it was not queued at all (kUnitDown, kQueueFull, kProtected).
  Submitted Submit(QueuedCommand command, bool newestWins = false) override;

  // Who holds each relay, whose commands alone reach it; the bridge's, for
  // as long as the unit lives.
  void SetProtects(const Protects* protects) { protects_ = protects; }
  const Protect* ProtectOf(int relay) const;
  kdt::ReplyBytes Served(const kdt::ReplyBytes& reply) const override;

  // Called after every change of the connection or of the status, and with
  // each entry of the record (unnumbered) before.
  void SetObserver(std::function<void(const SharedUnit&)> observer);
  void SetRecorder(std::function<void(LogEntry)> recorder);

 private:
  const kdt::ReplyBytes& NewestReply() const override { return session_.LastReply(); }

  void Retry();
  void SendNext();
  void FailWaiting();
  void SessionConnect(kdt::TQmObject* sender, bool connected);
  void SessionDisconnect(kdt::TQmObject* sender, std::int32_t code);
  void SessionStatus(kdt::TQmObject* sender);
  void SessionCommandReply(kdt::TQmObject* sender, std::uint32_t token,
                           const kdt::ReplyBytes& reply);
  void Down(const std::string& what, const std::string& reason);
  void RecordConnection(const std::string& to);
  void RecordRelays(const kdt::UnitStatus& before, const kdt::UnitStatus& now);
  void Record(LogEntry entry);
  std::string CauseOf(std::uint8_t code, int relay) const;
  std::string Reason() const;
  void Say(const std::string& text) const;
  void Changed() const;

  UnitConfig config_;
  const bool verbose_;
  kdt::TQmObject session_;
  std::unique_ptr<SharedEndpoint> endpoint_;
  QTimer retry_;
  bool live_ = false;
  bool known_ = false;
  DownNotice down_;
  kdt::UnitStatus status_;  // of the last status, while live
  std::string downReason_ = "not connected yet";
  CommandQueue waiting_;
  const Protects* protects_ = nullptr;
  struct Sent {
    std::uint32_t token = 0;  // the session's, for its reply
    kdt::ClientFrame what;
    std::function<void(const kdt::ReplyBytes*)> done;
    std::string by;
  };
  std::optional<Sent> sent_;  // with the session, awaiting its reply
  std::uint32_t nextToken_ = 0;
  std::string connection_ = "not connected yet";  // as the record says it
  std::function<void(const SharedUnit&)> observer_;
  std::function<void(LogEntry)> recorder_;
};

// What a status says of its relays, for a log line: "RELAY A INPUT 1
// "Monitor", ...".
std::string RelaysText(const kdt::UnitStatus& status);

}  // namespace bridge
