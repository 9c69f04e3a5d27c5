#include "StatusJson.h"

#include <cstdio>

#include "CodePage.h"
#include "Relays.h"

namespace kdt {
namespace {

std::string InputJson(std::uint8_t state) {
  const int input = InputOf(state);
  return input != 0 ? std::to_string(input) : "null";
}

}  // namespace

std::string JsonText(std::string_view utf8) {
  std::string text = "\"";
  for (char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      text += escape;
    } else {
      text += c;
    }
  }
  text += '"';
  return text;
}

std::string RelayJsonFields(const UnitStatus& status, int relay) {
  const std::uint8_t state = status.state[relay - 1];
  const std::string& name = status.name[relay - 1];
  std::string text = "\"relay\":\"";
  text += RelayLetter(relay);
  text += "\",\"number\":" + std::to_string(relay) + ",\"input\":" + InputJson(state) +
          ",\"locked\":" + (IsLocked(state) ? "true" : "false") +
          ",\"state\":" + std::to_string(state) + ",\"name\":" + JsonText(DecodeToUtf8(name)) +
          ",\"name_hex\":\"" + HexText(name) + "\"";
  return text;
}

std::string StatusJson(const UnitStatus& status, const std::string& unit,
                       const RelayJsonMore& more) {
  std::string text = "{\"unit\":" + JsonText(unit) +
                     ",\"connected\":true,\"model\":" + std::to_string(status.model) +
                     ",\"header\":" + std::to_string(status.header) + ",\"relays\":[";
  for (int relay : kRelaysLeftToRight) {
    if (relay != kRelaysLeftToRight[0]) text += ',';
    text += '{';
    text += RelayJsonFields(status, relay);
    if (more) text += more(relay);
    text += '}';
  }
  text += "]}";
  return text;
}

std::string NotConnectedJson(const std::string& unit, const std::string& reason) {
  return "{\"unit\":" + JsonText(unit) + ",\"connected\":false,\"reason\":" + JsonText(reason) +
         ",\"model\":null,\"header\":null,\"relays\":[]}";
}

}  // namespace kdt
