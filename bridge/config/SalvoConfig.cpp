#include "config/SalvoConfig.h"

#include "Relays.h"
#include "TextRules.h"
#include "config/Values.h"

namespace bridge {
namespace {

// "studio.A=2": a relay of a unit and the input it takes.
bool ReadStep(std::string_view key, std::string_view value, int line, SalvoStep& step,
              std::string& reason) {
  const std::size_t dot = key.rfind('.');
  const std::string_view letter = dot == std::string_view::npos ? "" : key.substr(dot + 1);
  step.unit = std::string(key.substr(0, dot == std::string_view::npos ? 0 : dot));
  step.relay = letter.size() == 1 ? kdt::RelayOfLetter(letter[0]) : 0;
  if (step.unit.empty() || step.relay == 0) {
    reason =
        "a salvo's line is UNIT.RELAY=INPUT, such as studio.A=2, not '" + std::string(key) + "'";
    return false;
  }
  const std::string_view input = kdt::TrimBlanks(value);
  if (input != "1" && input != "2") {
    reason = std::string(key) + ": an input is 1 or 2, not '" + std::string(value) + "'";
    return false;
  }
  step.input = input[0] - '0';
  step.line = line;
  return true;
}

const KeyTable<SalvoConfig> kSalvoKeys = {
    {"LABEL",
     [](std::string_view value, SalvoConfig& salvo, KeyLine, std::string&) {
       salvo.label = std::string(value);
       return true;
     }},
    {"UNIT.RELAY",
     [](std::string_view value, SalvoConfig& salvo, KeyLine at, std::string& reason) {
       SalvoStep step;
       if (!ReadStep(at.key, value, at.line, step, reason)) return false;
       for (const SalvoStep& earlier : salvo.steps) {
         if (SameName(earlier.unit, step.unit) && earlier.relay == step.relay) {
           reason = step.unit + "." + kdt::RelayLetter(step.relay) + " given twice";
           return false;
         }
       }
       salvo.steps.push_back(std::move(step));
       return true;
     },
     false, [](std::string_view) { return true; }},  // every key but LABEL is a relay's
};

}  // namespace

bool ReadSalvo(const SectionView& section, Checker& checker, SalvoConfig& salvo) {
  salvo.line = section.line;
  IsSectionOfKind(section.name, "SALVO", salvo.id);
  if (salvo.id.empty()) return checker.Fail(section.line, "[SALVO] needs an id: [SALVO name]");
  if (!IsId(salvo.id)) {
    return checker.Fail(
        section.line,
        "a salvo's id is letters, digits, '-' and '_', at most 64, not '" + salvo.id + "'");
  }
  if (!ReadSection(section, kSalvoKeys, "salvo " + salvo.id, salvo, checker)) return false;
  if (salvo.steps.empty()) {
    return checker.Fail(section.line,
                        "salvo " + salvo.id + " sets no relay: give UNIT.RELAY=INPUT");
  }
  return true;
}

}  // namespace bridge
