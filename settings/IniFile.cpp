#include "IniFile.h"

#include "TextRules.h"

namespace kdt {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view EntryName(std::string_view entry) {
  std::size_t eq = entry.find('=');
  return eq == std::string_view::npos ? std::string_view() : entry.substr(0, eq);
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string NormalisedEntry(std::string_view line) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::string(line);
  return std::string(TrimBlanks(line.substr(0, eq))) + "=" +
         std::string(TrimBlanks(line.substr(eq + 1)));
}

}  // namespace

IniContent IniContent::Parse(std::string_view text) {
  IniContent content;
  int number = 0;
  for (std::string_view raw : SplitLines(text)) {
    ++number;
    std::string_view line = TrimBlanks(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      content.sections_.push_back(
          {std::string(TrimBlanks(line.substr(1, line.size() - 2))), {}, number, {}});
    } else if (!content.sections_.empty()) {
      content.sections_.back().entries.push_back(NormalisedEntry(line));
      content.sections_.back().entryLines.push_back(number);
    }
  }
  return content;
}

std::vector<IniContent::SectionView> IniContent::Sections() const {
  std::vector<SectionView> views;
  for (const Section& section : sections_) {
    SectionView view{section.name, section.line, {}};
    for (std::size_t i = 0; i < section.entries.size(); ++i) {
      const std::string_view entry = section.entries[i];
      const std::string_view name = EntryName(entry);
      const int line = i < section.entryLines.size() ? section.entryLines[i] : 0;
      view.entries.push_back({name,
                              name.empty() && entry.find('=') == std::string_view::npos
                                  ? entry
                                  : entry.substr(name.size() + 1),
                              line});
    }
    views.push_back(std::move(view));
  }
  return views;
}

std::string IniContent::Serialize() const {
  std::string text;
  for (const Section& section : sections_) {
    text += "[" + section.name + "]\r\n";
    for (const std::string& entry : section.entries) text += entry + "\r\n";
    text += "\r\n";
  }
  return text;
}

IniContent::Section* IniContent::Find(std::string_view section) {
  for (Section& s : sections_) {
    if (SameName(s.name, section)) return &s;
  }
  return nullptr;
}

const IniContent::Section* IniContent::Find(std::string_view section) const {
  return const_cast<IniContent*>(this)->Find(section);
}

std::optional<std::string> IniContent::Read(std::string_view section, std::string_view key) const {
  const Section* s = Find(section);
  if (s == nullptr) return std::nullopt;
  for (const std::string& entry : s->entries) {
    std::string_view name = EntryName(entry);
    if (!name.empty() && SameName(name, key)) return entry.substr(name.size() + 1);
  }
  return std::nullopt;
}

void IniContent::Write(std::string_view section, std::string_view key, std::string_view value) {
  Section* s = Find(section);
  if (s == nullptr) {
    sections_.push_back({std::string(section), {}, 0, {}});
    s = &sections_.back();
  }
  std::string entry = std::string(key) + "=" + std::string(value);
  for (std::string& existing : s->entries) {
    std::string_view name = EntryName(existing);
    if (!name.empty() && SameName(name, key)) {
      existing = entry;
      return;
    }
  }
  s->entries.push_back(entry);
}

std::int32_t IniContent::ReadInteger(std::string_view section, std::string_view key,
                                     std::int32_t defaultValue) const {
  std::optional<std::string> text = Read(section, key);
  std::int32_t value = 0;
  return text && ParseWholeNumber(*text, value) ? value : defaultValue;
}

bool IniContent::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

std::string IniContent::ReadString(std::string_view section, std::string_view key,
                                   std::string_view defaultValue) const {
  return Read(section, key).value_or(std::string(defaultValue));
}

void IniContent::WriteInteger(std::string_view section, std::string_view key, std::int32_t value) {
  Write(section, key, std::to_string(value));
}

void IniContent::WriteBool(std::string_view section, std::string_view key, bool value) {
  Write(section, key, value ? "1" : "0");
}

}  // namespace kdt
