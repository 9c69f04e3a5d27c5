// The front panel of the simulated unit: one command line at a time, each a
// change made as if at the unit itself, or a question about its state.
#include "PanelCommands.h"

#include <charconv>
#include <sstream>

namespace sim {
namespace {

// A relay as the operator names it: 1 to 3, or its letter (relay 1 is C).
bool ParseRelay(const std::string& text, int& relay) {
  if (text.size() == 1 && kdt::RelayOfLetter(text[0]) != 0) {
    relay = kdt::RelayOfLetter(text[0]);
    return true;
  }
  return ParseNumber(text, relay) && relay >= 1 && relay <= kdt::kRelayCount;
}

std::string Describe(const kdt::UnitStatus& status) {
  std::ostringstream out;
  out << "model " << int(status.model);
  for (int r = kdt::kRelayCount; r >= 1; --r) {
    std::uint8_t state = status.state[r - 1];
    out << "\n"
        << kdt::RelayLabel(r) << " (" << r << "): INPUT " << (state & kdt::kStateInputMask)
        << ((state & kdt::kStateLocked) != 0 ? ", locked" : "") << ", state 0x" << std::hex
        << int(state) << std::dec << ", name \"" << status.name[r - 1] << "\"";
  }
  return out.str();
}

std::string RestOfLine(std::istringstream& in) {
  std::string rest;
  std::getline(in >> std::ws, rest);
  return rest;
}

}  // namespace

bool ParseNumber(std::string_view text, int& value) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

const char* PanelHelp() {
  return "commands: input R 1|2, name R TEXT, lock R on|off, state R BYTE, model N,\n"
         "          fault none|silent|close|bad-length|bad-checksum|partial [AFTER],\n"
         "          delay MS, status, help, quit   (R is 1-3 or A, B, C)";
}

bool RunPanelCommand(SimUnit& unit, std::string_view line, std::string& reply) {
  std::istringstream in{std::string(line)};
  std::string verb, a, b;
  in >> verb;
  int relay = 0, value = 0;
  if (verb == "input" && in >> a >> b && ParseRelay(a, relay) && ParseNumber(b, value) &&
      (value == 1 || value == 2)) {
    unit.SetInput(relay, static_cast<std::uint8_t>(value));
  } else if (verb == "name" && in >> a && ParseRelay(a, relay)) {
    unit.SetName(relay, RestOfLine(in));
  } else if (verb == "lock" && in >> a >> b && ParseRelay(a, relay) && (b == "on" || b == "off")) {
    unit.SetLocked(relay, b == "on");
  } else if (verb == "state" && in >> a >> b && ParseRelay(a, relay) && ParseNumber(b, value) &&
             value >= 0 && value <= 255) {
    unit.SetState(relay, static_cast<std::uint8_t>(value));
  } else if (verb == "model" && in >> a && ParseNumber(a, value) && value >= 0 && value <= 255) {
    unit.SetModel(static_cast<std::uint8_t>(value));
  } else if (verb == "fault" && in >> a) {
    Fault fault;
    int after = 0;
    if (!ParseFault(a, fault) || (in >> b && !ParseNumber(b, after))) {
      reply = "unknown fault: " + std::string(line);
      return false;
    }
    unit.SetFault(fault, after);
  } else if (verb == "delay" && in >> a && ParseNumber(a, value) && value >= 0) {
    unit.SetDelay(value);
  } else if (verb == "help") {
    reply = PanelHelp();
    return true;
  } else if (verb != "status") {
    reply = "cannot read: " + std::string(line) + "\n" + PanelHelp();
    return false;
  }
  reply = Describe(unit.Status());
  return true;
}

}  // namespace sim
