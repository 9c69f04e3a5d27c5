#include "core/Command.h"

#include "Relays.h"

namespace bridge {

CommandSource NewCommandSource() {
  static CommandSource last = 0;
  return ++last;
}

bool Command::SameTarget(const Command& other) const {
  return unit == other.unit && relay == other.relay && what == other.what;
}

kdt::Frame Command::Frame() const {
  return what == What::kInput ? kdt::SetInputFrame(std::uint8_t(input), std::uint8_t(relay))
                              : kdt::SetNameFrame(std::uint8_t(relay), name);
}

}  // namespace bridge
