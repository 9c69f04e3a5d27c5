// JSON as the project writes it, one way for every program: strings
// escaped, objects member by member in the order given, arrays of what is
// JSON already. Reading JSON is the toolkit's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kdt {

// A JSON string: quotes, backslashes and control characters escaped.
std::string JsonText(std::string_view utf8);

// "[a,b]" of items that are JSON each.
std::string JsonArray(const std::vector<std::string>& items);

class JsonObject {
 public:
  JsonObject& AddText(std::string_view name, std::string_view utf8);
  JsonObject& AddNumber(std::string_view name, std::int64_t number);
  JsonObject& AddBool(std::string_view name, bool value);
  JsonObject& AddNull(std::string_view name);
  // A member whose value is JSON already: an object, an array, a number.
  JsonObject& AddJson(std::string_view name, std::string_view json);
  // The members of another object, after these.
  JsonObject& AddMembers(const JsonObject& other);
  std::string Text() const { return "{" + members_ + "}"; }

 private:
  std::string members_;
};

}  // namespace kdt
