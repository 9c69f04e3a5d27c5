// One unit as the bridge serves it: the device session that the console
// uses, started again every second while it is not running (as the
// console's Autoconnect does), and the commands of everyone who shares it,
// which wait in one queue (CommandQueue.h) and go to the session one at a
// time, each as soon as the one before is answered, so that a change is
// known to be its command's doing. The commands come checked, through the
// core's one door (CommandDoor.h). Every change of its connection and of
// its relays is an entry of the record (Record.h); while the unit stays
// down, nothing is said per attempt: one entry when it goes, and a reminder
// in the log every 10 minutes at most.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>

#include "UnitThread.h"
#include "config/UnitConfig.h"
#include "core/CommandQueue.h"
#include "core/DownNotice.h"
#include "core/Record.h"

namespace bridge {

constexpr int kRetryPeriodMs = 1000;

class Unit : public QObject {
 public:
  // `changed` is called after every change of its connection or status.
  Unit(const UnitConfig& config, Record& record, std::function<void(const Unit&)> changed);
  ~Unit() override;  // the session ends with its goodbye

  const UnitConfig& Config() const { return config_; }
  const std::string& Id() const { return config_.id; }
  // A new configuration of the same session (UnitConfig::SameSession).
  void Reconfigure(const UnitConfig& config) { config_ = config; }
  // A status of the current connection has come.
  bool Live() const { return live_; }
  // The first attempt to reach the unit has had its outcome: until then,
  // nothing is known of it, not even that it is down.
  bool Known() const { return known_; }
  // The last status: while live, the unit's now; while down, what it last
  // showed, as of LostAt().
  const kdt::UnitStatus& Status() const { return status_; }
  // When the current connection began, while live (as entries give times).
  const std::string& ConnectedSince() const { return connectedSince_; }
  // When the last connection was lost; empty while live, or when the unit
  // has never been reached (and Status() says nothing).
  const std::string& LostAt() const { return lostAt_; }
  // The session's newest reply that differed from the one before, while
  // live: what a poll of the unit would be answered with now.
  const kdt::ReplyBytes& NewestReply() const { return session_.LastReply(); }
  // Why the unit is not live, in words.
  const std::string& DownReason() const { return downReason_; }
  // "192.168.0.200:10001".
  std::string Where() const;

  // Queues a command that the core has checked for this unit.
  CommandQueue::Added Queue(QueuedCommand queued);
  // Takes back a command that has not gone to the unit yet: true when it
  // had not, and never will.
  bool Withdraw(std::uint64_t id) { return waiting_.Withdraw(id); }

 private:
  void Retry();
  void SendNext();
  void FailWaiting();
  void SessionConnect(kdt::TQmObject* sender, bool connected);
  void SessionDisconnect(kdt::TQmObject* sender, std::int32_t code);
  void SessionStatus(kdt::TQmObject* sender);
  void SessionCommandReply(kdt::TQmObject* sender, std::uint32_t token,
                           const kdt::ReplyBytes& reply);
  void Down(const std::string& what, const std::string& reason);
  void RecordConnection(const std::string& to, const std::string& line);
  void RecordRelays(const kdt::UnitStatus& before, const kdt::UnitStatus& now);
  std::string CauseOf(Command::What what, int relay) const;
  std::string LabelOf(int input) const;
  std::string Reason() const;
  void Say(const std::string& text) const;

  UnitConfig config_;
  Record& record_;
  const std::function<void(const Unit&)> changed_;
  kdt::TQmObject session_;
  QTimer retry_;
  bool live_ = false;
  bool known_ = false;
  DownNotice down_;
  kdt::UnitStatus status_;  // of the last status, while live
  std::string downReason_ = "not connected yet";
  std::string connectedSince_, lostAt_;
  CommandQueue waiting_;
  struct Sent {
    std::uint32_t token = 0;  // the session's, for its reply
    QueuedCommand queued;
  };
  std::optional<Sent> sent_;  // with the session, awaiting its reply
  std::uint32_t nextToken_ = 0;
  std::string connection_ = "not connected yet";  // as the record says it
};

// What a status says of its relays, for a log line: "RELAY A INPUT 1
// "Monitor", ...".
std::string RelaysText(const kdt::UnitStatus& status);

}  // namespace bridge
