// The one door through which every face's command for a relay goes: it is
// checked once, here, for whatever stands in its way (no such unit, a name
// the unit cannot take, the unit down, the relay locked at the unit, another
// owner's protect), then queued at its unit, and its sender hears of it as
// the command asks (Command::Until): at the unit's reply, or once the unit's
// status shows it or why it never will (the relay became locked, the unit
// was lost), or not at all. A lock at the unit keeps a relay's input as it
// is and lets a rename through, as the console's buttons do.
// What is said after 3 s is only what is known then: a command that has
// not gone to the unit yet is withdrawn and said not done; one that the
// unit answered without showing it is said not done; one with the unit,
// not answered yet, is said pending, and its end is said when it comes
// (the unit's answer, or the loss of its session, which its silence
// time-out bounds).
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <list>
#include <memory>

#include "core/Command.h"
#include "core/Protects.h"
#include "core/Result.h"
#include "core/Units.h"

namespace bridge {

class CommandDoor : public QObject {
 public:
  static constexpr int kShownWithinMs = 3000;
  // The command's end: done (with the unit's reply to it, when it waited
  // for that), or why not; or first pending (Result::Pending), and then
  // its end.
  using Done = std::function<void(const Result& result, const kdt::ReplyBytes* reply)>;

  CommandDoor(const Units& units, const Protects& protects);
  ~CommandDoor() override;

  // What stands in the command's way now; done when nothing does. A name
  // given as text becomes the unit's bytes.
  Result Check(Command& command) const;
  // Checks the command and queues it: refused at once, or taken (the result
  // done), and then `done` is called once.
  Result Submit(Command command, Done done);
  // What waits for the unit's status may be over.
  void UnitChanged(const Unit& unit);

 private:
  struct Waiting;

  Waiting* Wait(const Command& command, Done done);
  bool Waits(const Waiting* waiting) const;
  void Forget(const Waiting* waiting);
  void Answered(Waiting* waiting, bool answered);
  void Settle(Waiting& waiting);
  void TimeUp(Waiting& waiting);
  void Finish(Waiting& waiting, const Result& result);

  const Units& units_;
  const Protects& protects_;
  std::list<std::unique_ptr<Waiting>> waiting_;  // for the unit's status to show them
};

}  // namespace bridge
