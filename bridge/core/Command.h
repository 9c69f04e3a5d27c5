// One command for a relay of a unit, whichever door it came through: what
// it sets (an input, or a name), who sent it, and how its sender hears of
// it. The core checks it once (CommandDoor.h) and the unit's session alone
// turns it into the unit's frame. Free of Qt.
#pragma once

#include <cstdint>
#include <string>

#include "UnitFrames.h"
#include "core/Owner.h"

namespace bridge {

// Who sends commands, for their turns: a client of an endpoint, the hub, a
// user of the page, a take. Never reused while the bridge runs.
using CommandSource = std::uint64_t;
CommandSource NewCommandSource();

struct Command {
  enum class What { kInput, kName };
  // How its sender hears of it.
  enum class Until {
    // When the unit has answered it, with that answer: a client of the
    // unit's endpoint passes the unit's own reply on.
    kAnswered,
    // When the unit's status shows it, or why it never will (the relay
    // became locked, the unit was lost, 3 s went by): the page, a take.
    kShown,
    // Nobody waits: a newer one of its source for the same relay and kind
    // takes its place while it waits for its turn (the hub, whose newest
    // value is all that counts).
    kNewestWins,
  };
  // How a name is given.
  enum class NameIn {
    kText,  // UTF-8, as a person types it: the name rule applies (RelayName.h)
    // The unit's own bytes, as a client of the endpoint sends them: any
    // name the unit reports may go back as it is.
    kUnitBytes,
  };

  // Named as it is built: Command{.unit = "studio", .relay = 3, ...}.
  std::string unit{};
  int relay = 0;  // 1 to 3
  What what = What::kInput;
  int input = 0;       // kInput: 1 or 2
  std::string name{};  // kName: as `nameIn` says; the unit's bytes once checked
  NameIn nameIn = NameIn::kText;
  Cause by;
  CommandSource source = 0;
  Until until = Until::kShown;

  // The same relay, and the same kind of change.
  bool SameTarget(const Command& other) const;
  // The unit's frame for it; the name must be the unit's bytes.
  kdt::Frame Frame() const;
};

}  // namespace bridge
