#include "config/Section.h"

#include "config/IniDialect.h"

namespace bridge {

bool Checker::Fail(int line, const std::string& reason) {
  if (problem_.empty()) problem_ = At(line) + reason;
  return false;
}

bool Checker::FailElsewhere(const std::string& problem) {
  if (problem_.empty()) problem_ = problem;
  return false;
}

void Checker::Warn(int line, const std::string& text) {
  warnings_.push_back(At(line) + text);
}

namespace section {

bool Entries::Each(const std::function<bool(const kdt::IniContent::Entry&)>& read) {
  std::vector<std::pair<std::string_view, int>> seen;
  for (const kdt::IniContent::Entry& entry : section_.entries) {
    if (IsHashComment(entry.name.empty() ? entry.value : entry.name)) {
      return checker_.Fail(entry.line, kHashComment);
    }
    if (entry.name.empty()) return checker_.Fail(entry.line, "not a KEY=VALUE line");
    for (const auto& [name, line] : seen) {
      if (SameName(name, entry.name)) {
        return checker_.Fail(entry.line, std::string(entry.name) + " given twice (first at line " +
                                             std::to_string(line) + ")");
      }
    }
    seen.emplace_back(entry.name, entry.line);
    if (!read(entry)) return false;
  }
  return true;
}

bool Entries::Unknown(const kdt::IniContent::Entry& entry,
                      const std::vector<std::string_view>& known) {
  std::string list;
  for (std::string_view name : known) list += (list.empty() ? "" : ", ") + std::string(name);
  return checker_.Fail(entry.line, "unknown key " + std::string(entry.name) + " (" + list + ")");
}

bool Entries::Missing(const std::string& who, std::string_view key) {
  return checker_.Fail(section_.line, who + " needs " + std::string(key));
}

}  // namespace section
}  // namespace bridge
