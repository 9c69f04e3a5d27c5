#include "Json.h"

#include <cstdio>

namespace kdt {

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

std::string JsonArray(const std::vector<std::string>& items) {
  std::string text = "[";
  for (const std::string& item : items) text += (text.size() == 1 ? "" : ",") + item;
  return text + "]";
}

JsonObject& JsonObject::AddJson(std::string_view name, std::string_view json) {
  if (!members_.empty()) members_ += ',';
  members_ += JsonText(name);
  members_ += ':';
  members_ += json;
  return *this;
}

JsonObject& JsonObject::AddText(std::string_view name, std::string_view utf8) {
  return AddJson(name, JsonText(utf8));
}

JsonObject& JsonObject::AddNumber(std::string_view name, std::int64_t number) {
  return AddJson(name, std::to_string(number));
}

JsonObject& JsonObject::AddBool(std::string_view name, bool value) {
  return AddJson(name, value ? "true" : "false");
}

JsonObject& JsonObject::AddNull(std::string_view name) {
  return AddJson(name, "null");
}

JsonObject& JsonObject::AddMembers(const JsonObject& other) {
  if (!members_.empty() && !other.members_.empty()) members_ += ',';
  members_ += other.members_;
  return *this;
}

}  // namespace kdt
