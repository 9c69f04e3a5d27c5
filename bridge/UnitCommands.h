// Commands that are over once the unit's status shows them, as kdt212ctl
// waits for its own: the page's, and each switch of a salvo. One is refused
// before it goes when something stands in its way (the unit is down, the
// relay is locked at the unit or protected by someone else), and ends when
// the status shows it, when the relay becomes locked, when the unit is lost,
// or after 3 s. Each outcome is named in the words the page shows.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommandQueue.h"

namespace bridge {

class SharedUnit;

class UnitCommands : public QObject {
 public:
  static constexpr int kCommandTimeMs = 3000;

  enum class Outcome { kShown, kNotConnected, kLocked, kProtected, kQueueFull, kLost, kTimedOut };
  struct Result {
    Outcome outcome = Outcome::kShown;
    std::string text;  // why it is not shown: "RELAY A is locked at the unit"
  };
  struct Request {
    std::string unit;
    int relay = 0;
    std::optional<int> input;  // or else the name
    std::string name;          // in the unit's bytes
    CommandSource source = 0;
    std::string by, owner;  // as QueuedCommand has them
  };
  using Done = std::function<void(const Result&)>;

  UnitCommands();
  ~UnitCommands() override;

  // `done` is called once, at once when the command cannot go.
  void Send(Request request, Done done);

  void UnitsChanged(const std::vector<SharedUnit*>& units) { units_ = units; }
  const std::vector<SharedUnit*>& Units() const { return units_; }
  void UnitChanged(const SharedUnit& unit);
  SharedUnit* Find(const std::string& id) const;

 private:
  struct Pending;

  void Answered(Pending* key, bool answered);
  void Settle(Pending& pending);
  void Finish(Pending& pending, Outcome outcome, const std::string& text = {});

  std::vector<SharedUnit*> units_;
  std::list<std::unique_ptr<Pending>> pending_;
};

// What stands in the way of a command of `owner` for the relay now, as a
// refusal; nothing when the command may go.
std::optional<UnitCommands::Result> Obstacle(const SharedUnit& unit, int relay,
                                             const std::string& owner);

}  // namespace bridge
