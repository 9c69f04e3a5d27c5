// How the bridge's file differs from the project's plain INI format, which
// reads it (IniFile.h): names of sections and keys in any case, a comment
// after a value or a section's header when ';' follows a blank, a byte
// order mark as some editors save one, and what that format would drop
// unsaid refused instead: a line before the first section, and '#' meant
// as a comment. Free of Qt.
#pragma once

#include <string>
#include <string_view>

namespace bridge {

// Names of sections and keys: the same in any case.
bool SameName(std::string_view a, std::string_view b);

// The text as the plain format should read it: without a byte order mark,
// and with every comment that follows a value or a header taken off. Lines
// keep their numbers.
std::string WithoutComments(std::string_view text);

// The first line before any section that the plain format would drop
// without a word, with the reason it is refused; 0 when there is none.
int StrayLine(std::string_view text, std::string& reason);

// A line, or a key, that someone meant as a comment in another format's way.
bool IsHashComment(std::string_view line);
inline constexpr const char* kHashComment = "'#' begins no comment here: a comment begins with ';'";

// "[UNIT studio]", "[SALVO evening]": true for a section of that kind, with
// the id that follows it (empty when there is none).
bool IsSectionOfKind(std::string_view sectionName, std::string_view kind, std::string& id);

}  // namespace bridge
