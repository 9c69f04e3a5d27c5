#include "config/IniDialect.h"

#include <algorithm>

#include "TextRules.h"

namespace bridge {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string WithoutComments(std::string_view text) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  std::string kept;
  bool inComment = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      inComment = false;
    } else if (c == ';' && i > 0 && (text[i - 1] == ' ' || text[i - 1] == '\t')) {
      inComment = true;
    }
    if (!inComment) kept += c;
  }
  return kept;
}

bool IsHashComment(std::string_view line) {
  return !line.empty() && line[0] == '#';
}

int StrayLine(std::string_view text, std::string& reason) {
  int number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    ++number;
    const std::string_view line = kdt::TrimBlanks(text.substr(start, end - start));
    if (!line.empty() && line[0] == '[') return 0;
    if (!line.empty() && line[0] != ';') {
      reason = IsHashComment(line) ? kHashComment : "a line before the first section";
      return number;
    }
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return 0;
}

bool IsSectionOfKind(std::string_view sectionName, std::string_view kind, std::string& id) {
  id.clear();
  if (SameName(sectionName, kind)) return true;
  if (sectionName.size() <= kind.size() || !SameName(sectionName.substr(0, kind.size()), kind) ||
      (sectionName[kind.size()] != ' ' && sectionName[kind.size()] != '\t')) {
    return false;
  }
  id = std::string(kdt::TrimBlanks(sectionName.substr(kind.size())));
  return true;
}

}  // namespace bridge
