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

  // The content as it stands, for readers that check every section and key,
  // with the line each came from in the parsed text (0 for what was written
  // since).
  struct Entry {
    std::string_view name;  // empty for a line without "="
    std::string_view value;
    int line;
  };
  struct SectionView {
    std::string_view name;
    int line;
    std::vector<Entry> entries;
  };
  std::vector<SectionView> Sections() const;

  // The same sections and entries, wherever they came from.
  bool operator==(const IniContent& other) const { return sections_ == other.sections_; }

 private:
  struct Section {
    std::string name;
    std::vector<std::string> entries;  // "name=value", or a line without "="
    int line = 0;
    std::vector<int> entryLines;  // parallel to entries
    bool operator==(const Section& other) const {
      return name == other.name && entries == other.entries;
    }
  };
  Section* Find(std::string_view section);
  const Section* Find(std::string_view section) const;

  std::vector<Section> sections_;
};

}  // namespace kdt
