// One unit as the bridge serves it: the device session that the console
// uses, started again every second while it is not running (as the
// console's Autoconnect does), every change of its connection and of its
// relays logged in one line, and its shared endpoint when LISTEN is given.
// While the unit stays down, nothing is logged per attempt: one line when
// it goes, and a reminder every 10 minutes at most.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "BridgeConfig.h"
#include "SharedEndpoint.h"
#include "UnitThread.h"

namespace bridge {

constexpr int kRetryPeriodMs = 1000;
constexpr qint64 kDownReminderMs = 10 * 60 * 1000;

class SharedUnit : public QObject, private SharedSession {
 public:
  SharedUnit(const UnitConfig& config, bool verbose);
  ~SharedUnit() override;  // the session ends with its goodbye

  const UnitConfig& Config() const { return config_; }
  // A status of the current connection has come.
  bool Live() const override { return live_; }
  // The last status, while live.
  const kdt::UnitStatus& Status() const { return status_; }
  // Why the unit is not live, in words.
  const std::string& DownReason() const { return downReason_; }
  // "192.168.0.200:10001".
  std::string Where() const;

  // Commands for the unit; false, and nothing sent, unless it is live.
  bool SendInput(int relay, int input);
  bool SendName(int relay, const std::string& bytes);

  // Called after every change of the connection or of the status.
  void SetObserver(std::function<void(const SharedUnit&)> observer);

 private:
  const kdt::ReplyBytes& NewestReply() const override { return session_.LastReply(); }
  bool QueueCommand(const kdt::Frame& frame, std::uint32_t token) override;

  void Retry();
  void SessionConnect(kdt::TQmObject* sender, bool connected);
  void SessionDisconnect(kdt::TQmObject* sender, std::int32_t code);
  void SessionStatus(kdt::TQmObject* sender);
  void SessionCommandReply(kdt::TQmObject* sender, std::uint32_t token,
                           const kdt::ReplyBytes& reply);
  void Down(const std::string& what, const std::string& reason);
  std::string Reason() const;
  void Say(const std::string& text) const;
  void Changed() const;

  const UnitConfig config_;
  kdt::TQmObject session_;
  std::unique_ptr<SharedEndpoint> endpoint_;
  QTimer retry_;
  bool live_ = false;
  bool downSaid_ = false;   // the line for the unit going down is out
  QElapsedTimer reminded_;  // since that line or the last reminder
  kdt::UnitStatus status_;  // of the last status, while live
  std::string downReason_ = "not connected yet";
  std::function<void(const SharedUnit&)> observer_;
};

// What a status says of its relays, for a log line: "RELAY A INPUT 1
// "Monitor", ..." and what changed from one to the next.
std::string RelaysText(const kdt::UnitStatus& status);
std::string ChangesText(const kdt::UnitStatus& before, const kdt::UnitStatus& now, int relay);

}  // namespace bridge
