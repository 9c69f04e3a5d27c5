// What a relay may be called: the one rule for every way a person renames a
// relay (the console's edit, kdt212ctl, MQTT, the bridge's page) and for what
// the bridge lets through to the unit. A name is what the unit's code page
// (windows-1251) carries, without control characters, at most 24 characters
// once the blanks and control characters at its ends are stripped. Names that
// the unit reports may break the rule (a 25-byte field, any byte); they are
// shown escaped and can be sent back as they are. No dependencies but the
// code page and the text rules.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kdt {

// The most a rename carries: the set-name command's field.
constexpr std::size_t kNameLength = 24;
// The most a status reports: its name field, which may be full.
constexpr std::size_t kReportedNameLength = 25;

// A character that a person may give a name: one the code page carries that
// is not a control character.
bool IsNameCharacter(char32_t c);

// A name as typed, in UTF-8, as the unit's bytes: its ends stripped of blanks
// and control characters, then checked. False, with the reason in one line
// of words ("the unit's code page (windows-1251) has no "中" (U+4E2D)",
// "control characters are not taken", "25 characters, the unit takes 24",
// "not UTF-8"), and `bytes` empty.
bool EncodeRelayName(std::string_view utf8, std::string& bytes, std::string& problem);

// Whether the unit's bytes go into a set-name command's field as they are:
// at most 24 of them, none a NUL (which ends a name). Any name the unit
// reports may go back this way.
bool FitsNameField(std::string_view bytes);

// Whether a set-name command's field could have come from a program that
// keeps this rule or sends a reported name back: the name's bytes, then NUL
// bytes only to the field's end.
bool IsSendableNameField(std::string_view field);

}  // namespace kdt
