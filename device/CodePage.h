// The unit's names are single bytes of the Windows Cyrillic code page
// (windows-1251): the one table of it for the whole project, and the
// conversions to and from UTF-8 for what runs on a terminal. Decoding and
// encoding are exact inverses for every byte 1 to 255, so a name read from
// the unit and sent back unchanged reaches it as the same bytes; 0x98, which
// the code page leaves undefined, stands for U+0098. No dependencies.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kdt {

char32_t CodePageCharacter(std::uint8_t byte);
// False when the code page has no byte for the character. NUL has none
// either: it ends a name.
bool CodePageByte(char32_t character, std::uint8_t& byte);

std::string DecodeToUtf8(std::string_view bytes);
// What EncodeFromUtf8 reports for text that is not UTF-8 at all.
constexpr char32_t kNotUtf8 = 0xFFFD;
// False at the first character that has no byte, given in `offending`.
bool EncodeFromUtf8(std::string_view utf8, std::string& bytes, char32_t& offending);

// The characters of UTF-8 text; false when it is not UTF-8.
bool Utf8Characters(std::string_view utf8, std::u32string& characters);

// C0, DEL and C1: what no name should hold and no terminal should be sent.
bool IsControlCharacter(char32_t c);

// The unit's bytes as text for a terminal or a log: UTF-8, with every control
// character (C0, DEL, C1) and the backslash written as an escape (\x1B,
// \\), so that a hostile name can neither move a terminal's cursor nor change
// its colours, and no two names print alike. Where the text may come back as
// a name (a hub's text entity), the backslash stays as it is, so that a name
// with one is not changed by being shown and sent back.
enum class Backslash { kEscaped, kKept };
std::string PrintableText(std::string_view bytes, Backslash backslash = Backslash::kEscaped);

// The bytes in hexadecimal, upper case, two digits each, with `separator`
// between them: "D1F2", or with " ", "02 01 FF".
std::string HexText(std::string_view bytes, std::string_view separator = "");

// A character as messages name it: "中" (U+4E2D); a control character by its
// code point alone.
std::string CharacterName(char32_t character);

}  // namespace kdt
