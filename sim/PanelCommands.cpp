// The front panel of the simulated unit: one command line at a time, each a
// change made as if at the unit itself, or a question about its state.
#include "PanelCommands.h"

#include <algorithm>
#include <charconv>
#include <sstream>

#include "CodePage.h"

namespace sim {
namespace {

bool ParseRelay(const std::string& text, int& relay) {
  relay = kdt::ParseRelay(text);
  return relay != 0;
}

std::string Describe(const kdt::UnitStatus& status) {
  std::ostringstream out;
  out << "model " << int(status.model);
  for (int r : kdt::kRelaysLeftToRight) {
    std::uint8_t state = status.state[r - 1];
    out << "\n"
        << kdt::RelayLabel(r) << " (" << r << "): INPUT " << kdt::InputBits(state)
        << (kdt::IsLocked(state) ? ", locked" : "") << ", state 0x" << std::hex << int(state)
        << std::dec << ", name \"" << kdt::PrintableText(status.name[r - 1]) << "\"";
  }
  return out.str();
}

std::string RestOfLine(std::istringstream& in) {
  std::string rest;
  std::getline(in >> std::ws, rest);
  return rest;
}

// "3C 62 3E" or "3C623E": the bytes as they stand, for tests of hostile names.
bool HexBytes(std::string_view text, std::string& bytes) {
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, value, 16);
    if (ec != std::errc() || end != digits.data() + i + 2) return false;
    bytes += static_cast<char>(value);
  }
  return true;
}

// The name typed at the panel, in the terminal's UTF-8, as the unit's bytes in
// its code page; or with --hex, raw bytes. False with a one-line reason.
bool NameBytes(std::string_view text, std::string& bytes, std::string& problem) {
  constexpr std::string_view kHex = "--hex";
  if (text.starts_with(kHex) && (text.size() == kHex.size() || text[kHex.size()] == ' ')) {
    std::string_view digits = text.substr(kHex.size());
    digits.remove_prefix(std::min(digits.find_first_not_of(' '), digits.size()));
    if (HexBytes(digits, bytes)) return true;
    problem = "not hexadecimal bytes: \"" + std::string(digits) + "\"";
    return false;
  }
  char32_t offending = 0;
  if (kdt::EncodeFromUtf8(text, bytes, offending)) return true;
  problem = offending == kdt::kNotUtf8
                ? "the text is not UTF-8"
                : "the unit's code page (windows-1251) has no " + kdt::CharacterName(offending);
  return false;
}

// Sets a relay's name from the panel; a name longer than the unit's field is
// cut, and the reply says so.
bool SetNameFromPanel(SimUnit& unit, int relay, std::string_view text, std::string& note) {
  std::string bytes;
  if (!NameBytes(text, bytes, note)) {
    note = kdt::RelayLabel(relay) + " keeps its name: " + note;
    return false;
  }
  if (bytes.size() > kdt::kReplyNameFieldLength) {
    bytes.resize(kdt::kReplyNameFieldLength);
    note = "the unit keeps " + std::to_string(kdt::kReplyNameFieldLength) +
           " characters of a name: cut to \"" + kdt::PrintableText(bytes) + "\"\n";
  }
  unit.SetName(relay, bytes);
  return true;
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
  return "commands: input R 1|2, name R TEXT, name R --hex BYTES, lock R on|off,\n"
         "          state R BYTE, model N, delay MS, delay switch MS, status, help, quit,\n"
         "          fault none|silent|close|bad-length|bad-checksum|partial [AFTER]\n"
         "R is 1-3 or A, B, C. TEXT is stored in the unit's code page (windows-1251);\n"
         "--hex sets raw bytes, such as 3C 62 3E.";
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
    std::string note;
    if (!SetNameFromPanel(unit, relay, RestOfLine(in), note)) {
      reply = note;
      return false;
    }
    reply = note + Describe(unit.Status());
    return true;
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
  } else if (verb == "delay" && in >> a && a == "switch" && in >> b && ParseNumber(b, value) &&
             value >= 0) {
    unit.SetSwitchDelay(value);
  } else if (verb == "delay" && ParseNumber(a, value) && value >= 0) {
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
