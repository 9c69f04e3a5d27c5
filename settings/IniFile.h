// The settings file's INI format, held in memory as 8-bit text: sections in
// file order, each with its entries in order. Section and key names compare
// without regard to ASCII letter case; sections and keys the program does not
// know are kept, while comments, blank lines and blanks around "=" are not.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kdt {

class IniContent {
 public:
  // Lines end at CR, LF or CR LF. Lines before the first section are dropped.
  static IniContent Parse(std::string_view text);
  // Every line ends in CR LF, and an empty line follows each section.
  std::string Serialize() const;

  std::optional<std::string> Read(std::string_view section, std::string_view key) const;
  // Replaces the entry of that name, spelling the key as given here, or
  // appends one; a missing section is appended at the end.
  void Write(std::string_view section, std::string_view key, std::string_view value);

  // Integers and booleans read by the whole-number rule; anything else, and a
  // missing key, reads as the default.
  std::int32_t ReadInteger(std::string_view section, std::string_view key,
                           std::int32_t defaultValue) const;
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;
  void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

  bool operator==(const IniContent&) const = default;

 private:
  struct Section {
    std::string name;
    std::vector<std::string> entries;  // "name=value", or a line without "="
    bool operator==(const Section&) const = default;
  };
  Section* Find(std::string_view section);
  const Section* Find(std::string_view section) const;

  std::vector<Section> sections_;
};

}  // namespace kdt
