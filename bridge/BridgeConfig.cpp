#include "BridgeConfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "AddressValue.h"
#include "IniFile.h"
#include "Relays.h"
#include "TextFile.h"
#include "TextRules.h"
#include "UnitProcIP.h"

namespace bridge {
namespace {

constexpr std::string_view kUnitSection = "UNIT";
constexpr std::string_view kMqttSection = "MQTT";
constexpr std::string_view kHttpSection = "HTTP";
constexpr std::string_view kSalvoSection = "SALVO";
constexpr std::string_view kBridgeSection = "BRIDGE";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr int kLongestIntervalMs = 60000;
constexpr int kMostClients = 1024;
constexpr int kHighestPort = 65535;
const Cidr kLoopback{0x7F000000, 8};

std::uint32_t Mask(int prefix) {
  return prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix);
}

bool SameName(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

// The text with what follows ";" after a blank taken off every line: a
// comment may follow a section's header or a value. Lines keep their number.
std::string WithoutComments(std::string_view text) {
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

// A line that someone meant as a comment in another format's way.
bool IsHashComment(std::string_view line) {
  return !line.empty() && line[0] == '#';
}

constexpr const char* kHashComment = "'#' begins no comment here: a comment begins with ';'";

// The first line before any section that is neither blank nor a comment: the
// format drops such lines, and a configuration must not lose one unsaid.
// 0 when there is none; `line` is its text.
int StrayLine(std::string_view text, std::string_view& line) {
  int number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    ++number;
    line = kdt::TrimBlanks(text.substr(start, end - start));
    if (!line.empty() && line[0] == '[') return 0;
    if (!line.empty() && line[0] != ';') return number;
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return 0;
}

// Collects the first fault and every warning, each with its line, and
// judges the files that the configuration names.
class Checker {
 public:
  Checker(std::string path, const FileAccess& files, std::vector<std::string>& warnings)
      : path_(std::move(path)), files_(files), warnings_(warnings) {}
  bool Fail(int line, const std::string& reason) {
    if (problem_.empty()) problem_ = At(line) + reason;
    return false;
  }
  // A fault of another file, with its own name and line.
  bool FailElsewhere(const std::string& problem) {
    if (problem_.empty()) problem_ = problem;
    return false;
  }
  void Warn(int line, const std::string& text) { warnings_.push_back(At(line) + text); }
  const std::string& Problem() const { return problem_; }
  const FileAccess& Files() const { return files_; }

 private:
  std::string At(int line) const { return path_ + ":" + std::to_string(line) + ": "; }

  std::string path_;
  const FileAccess& files_;
  std::vector<std::string>& warnings_;
  std::string problem_;
};

bool ReadAddress(std::string_view text, std::uint32_t& address) {
  kdt::OctetArray octets;
  if (!kdt::StrToIPBytes(text, octets)) return false;
  address = kdt::PackOctets(octets);
  return true;
}

bool ReadNumber(std::string_view text, int lowest, int highest, int& value) {
  std::int32_t number = 0;
  if (!kdt::ParseWholeNumber(text, number) || number < lowest || number > highest) return false;
  value = number;
  return true;
}

bool ReadEndpoint(std::string_view text, Endpoint& endpoint) {
  const std::size_t colon = text.rfind(':');
  return colon != std::string_view::npos && ReadAddress(text.substr(0, colon), endpoint.address) &&
         ReadNumber(text.substr(colon + 1), 1, kHighestPort, endpoint.port);
}

// A network, or a single address. An address with bits beyond its prefix
// ("192.168.1.1/24") is refused rather than guessed at: the writer may have
// meant the host or the network.
bool ReadCidr(std::string_view text, Cidr& cidr, std::string& reason) {
  const std::size_t slash = text.find('/');
  std::uint32_t address = 0;
  cidr.prefix = 32;
  if (!ReadAddress(kdt::TrimBlanks(text.substr(0, slash)), address) ||
      (slash != std::string_view::npos &&
       !ReadNumber(kdt::TrimBlanks(text.substr(slash + 1)), 0, 32, cidr.prefix))) {
    reason = "ALLOW: networks such as 127.0.0.0/8, 192.168.1.0/24, not '" + std::string(text) + "'";
    return false;
  }
  cidr.network = kdt::NumericOrder(address) & Mask(cidr.prefix);
  if (cidr.network == kdt::NumericOrder(address)) return true;
  reason = "ALLOW: " + std::string(text) + " has bits beyond its /" + std::to_string(cidr.prefix) +
           ": the network is " + CidrText(cidr) + ", the host " + kdt::IPToStr(address) + "/32";
  return false;
}

bool ReadCidrList(std::string_view text, std::vector<Cidr>& list, std::string& reason) {
  list.clear();
  for (;;) {
    const std::size_t comma = text.find(',');
    Cidr cidr;
    if (!ReadCidr(kdt::TrimBlanks(text.substr(0, comma)), cidr, reason)) return false;
    list.push_back(cidr);
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// Reads one KEY=VALUE of a unit; false with the reason.
bool ReadUnitKey(std::string_view key, std::string_view value, UnitConfig& unit,
                 std::string& reason) {
  int number = 0;
  if (SameName(key, "ADDR")) {
    if (ReadAddress(value, unit.address) && unit.address != 0) return true;
    reason = "ADDR: not a unit's IPv4 address: '" + std::string(value) + "'";
  } else if (SameName(key, "PORT")) {
    if (ReadNumber(value, 1, kHighestPort, unit.port)) return true;
    reason = "PORT: a port from 1 to 65535, not '" + std::string(value) + "'";
  } else if (SameName(key, "INTERVAL")) {
    if (ReadNumber(value, 0, kLongestIntervalMs, number)) {
      unit.intervalMs = std::uint32_t(number);
      return true;
    }
    reason = "INTERVAL: milliseconds from 0 to 60000, not '" + std::string(value) + "'";
  } else if (SameName(key, "LISTEN")) {
    Endpoint endpoint;
    if (ReadEndpoint(value, endpoint)) {
      unit.listen = endpoint;
      return true;
    }
    reason =
        "LISTEN: an address and a port, such as 127.0.0.1:10001, not '" + std::string(value) + "'";
  } else if (SameName(key, "ALLOW")) {
    return ReadCidrList(value, unit.allow, reason);
  } else if (SameName(key, "MAXCLIENTS")) {
    if (ReadNumber(value, 1, kMostClients, unit.maxClients)) return true;
    reason = "MAXCLIENTS: from 1 to 1024, not '" + std::string(value) + "'";
  } else {
    reason =
        "unknown key " + std::string(key) + " (ADDR, PORT, INTERVAL, LISTEN, ALLOW, MAXCLIENTS)";
  }
  return false;
}

// "[UNIT studio]", "[SALVO evening]": the id that follows the kind.
bool ReadSectionId(std::string_view sectionName, std::string_view kind, std::string& id) {
  if (sectionName.size() <= kind.size() || !SameName(sectionName.substr(0, kind.size()), kind) ||
      (sectionName[kind.size()] != ' ' && sectionName[kind.size()] != '\t')) {
    return false;
  }
  id = std::string(kdt::TrimBlanks(sectionName.substr(kind.size())));
  return true;
}

// Every entry of a section through `read`, each key once.
template <typename Read>
bool ReadEntries(const kdt::IniContent::SectionView& section, Checker& checker, Read read) {
  std::vector<std::pair<std::string_view, int>> seen;
  for (const kdt::IniContent::Entry& entry : section.entries) {
    if (IsHashComment(entry.name.empty() ? entry.value : entry.name)) {
      return checker.Fail(entry.line, kHashComment);
    }
    if (entry.name.empty()) return checker.Fail(entry.line, "not a KEY=VALUE line");
    for (const auto& [name, line] : seen) {
      if (SameName(name, entry.name)) {
        return checker.Fail(entry.line, std::string(entry.name) + " given twice (first at line " +
                                            std::to_string(line) + ")");
      }
    }
    seen.emplace_back(entry.name, entry.line);
    std::string reason;
    if (!read(entry, reason)) return checker.Fail(entry.line, reason);
  }
  return true;
}

bool ReadUnit(const kdt::IniContent::SectionView& section, Checker& checker, UnitConfig& unit) {
  unit.line = section.line;
  unit.allow = {kLoopback};
  ReadSectionId(section.name, kUnitSection, unit.id);
  if (unit.id.empty()) return checker.Fail(section.line, "[UNIT] needs an id: [UNIT name]");
  if (unit.id.size() > kLongestUnitId) {
    return checker.Fail(section.line, "a unit's id is at most " + std::to_string(kLongestUnitId) +
                                          " characters, not " + std::to_string(unit.id.size()));
  }
  if (!std::ranges::all_of(unit.id, IsIdCharacter)) {
    return checker.Fail(section.line,
                        "a unit's id is letters, digits, '-' and '_', not '" + unit.id + "'");
  }
  for (std::string_view taken : {kBridgeId, kSalvoId}) {
    if (SameName(unit.id, taken)) {
      return checker.Fail(section.line, "'" + std::string(taken) +
                                            "' names the bridge's own in MQTT topics: give the "
                                            "unit another id");
    }
  }
  const auto read = [&unit](const kdt::IniContent::Entry& entry, std::string& reason) {
    return ReadUnitKey(entry.name, entry.value, unit, reason);
  };
  if (!ReadEntries(section, checker, read)) return false;
  if (unit.address == 0) return checker.Fail(section.line, "unit " + unit.id + " has no ADDR");
  for (const kdt::IniContent::Entry& entry : section.entries) {
    if (!unit.listen && (SameName(entry.name, "ALLOW") || SameName(entry.name, "MAXCLIENTS"))) {
      return checker.Fail(
          entry.line, std::string(entry.name) + " without LISTEN: the unit is shared with nobody");
    }
  }
  return true;
}

// A topic the bridge publishes under: no wildcards, no empty level at
// either end.
bool IsTopicBase(std::string_view topic) {
  return !topic.empty() && topic.find_first_of("+#") == std::string_view::npos &&
         topic.front() != '/' && topic.back() != '/';
}

// The password: the file's first line, its line end (LF or CR LF) not part
// of it.
bool ReadPasswordFile(const std::string& path, int line, MqttConfig& mqtt, Checker& checker,
                      std::string& reason) {
  std::string text, error;
  if (!checker.Files().MayRead(path, reason) || !kdt::ReadTextFile(path, text, error)) {
    reason = "PASSWORD_FILE: " + (reason.empty() ? error : reason);
    return false;
  }
  mqtt.password = text.substr(0, text.find_first_of("\r\n"));
  if (mqtt.password.empty()) {
    reason = "PASSWORD_FILE: '" + path + "' holds no password on its first line";
    return false;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0) {
    checker.Warn(
        line, "PASSWORD_FILE " + path + " may be read by every user of this machine: chmod o-r it");
  }
  return true;
}

bool ReadMqttKey(const kdt::IniContent::Entry& entry, MqttConfig& mqtt, Checker& checker,
                 std::string& reason) {
  const std::string_view key = entry.name;
  const std::string text(entry.value);
  if (SameName(key, "HOST")) {
    mqtt.host = text;
    if (!text.empty() && text.find_first_of(" \t") == std::string::npos) return true;
    reason = "HOST: the broker's address or name, not '" + text + "'";
  } else if (SameName(key, "PORT")) {
    if (ReadNumber(text, 1, kHighestPort, mqtt.port)) return true;
    reason = "PORT: a port from 1 to 65535, not '" + text + "'";
  } else if (SameName(key, "CLIENTID")) {
    mqtt.clientId = text;
    if (!text.empty() && text.size() <= kLongestUnitId &&
        std::ranges::all_of(text, IsIdCharacter)) {
      return true;
    }
    reason =
        "CLIENTID: the bridge's name at the broker, in its topics and at the hub: letters, "
        "digits, '-' and '_', at most 64, not '" +
        text + "'";
  } else if (SameName(key, "USER")) {
    mqtt.user = text;
    return true;
  } else if (SameName(key, "PASSWORD_FILE")) {
    return text.empty() || ReadPasswordFile(text, entry.line, mqtt, checker, reason);
  } else if (SameName(key, "PASSWORD")) {
    reason =
        "PASSWORD: the broker's password is not taken in this file, which many may read; "
        "give PASSWORD_FILE, a file readable by the service alone";
  } else if (SameName(key, "CAFILE")) {
    mqtt.caFile = text;
    if (text.empty() || checker.Files().MayRead(text, reason)) return true;
    reason = "CAFILE: " + reason;
  } else if (SameName(key, "TOPIC")) {
    mqtt.topic = text;
    if (IsTopicBase(text)) return true;
    reason = "TOPIC: a topic without + or # and without / at its ends, not '" + text + "'";
  } else if (SameName(key, "DISCOVERY")) {
    mqtt.discovery = text;
    if (text.empty() || IsTopicBase(text)) return true;
    reason = "DISCOVERY: a topic without + or # and without / at its ends, or nothing, not '" +
             text + "'";
  } else {
    reason = "unknown key " + std::string(key) +
             " (HOST, PORT, CLIENTID, USER, PASSWORD_FILE, CAFILE, TOPIC, DISCOVERY)";
  }
  return false;
}

bool ReadMqtt(const kdt::IniContent::SectionView& section, Checker& checker, MqttConfig& mqtt) {
  mqtt.line = section.line;
  const auto read = [&](const kdt::IniContent::Entry& entry, std::string& reason) {
    return ReadMqttKey(entry, mqtt, checker, reason);
  };
  if (!ReadEntries(section, checker, read)) return false;
  if (!mqtt.password.empty() && mqtt.user.empty()) {
    return checker.Fail(section.line, "a password for the broker needs USER");
  }
  return true;
}

// The users file: readable by the service, by nobody else but its owner and
// group, and every line of it sound.
bool ReadUsersFile(const kdt::IniContent::Entry& entry, HttpConfig& http, Checker& checker) {
  http.usersFile = std::string(entry.value);
  std::string reason, text, error;
  if (!checker.Files().MayRead(http.usersFile, reason) ||
      !kdt::ReadTextFile(http.usersFile, text, error)) {
    return checker.Fail(entry.line, "USERS: " + (reason.empty() ? error : reason));
  }
  struct stat st {};
  if (stat(http.usersFile.c_str(), &st) == 0 && (st.st_mode & S_IRWXO) != 0) {
    return checker.Fail(entry.line, "USERS: " + http.usersFile +
                                        " may be read by every user of this machine, and its "
                                        "hashes tried: chmod o-rwx it");
  }
  std::string problem;
  return ParseUsers(text, http.usersFile, http.users, problem) || checker.FailElsewhere(problem);
}

bool ReadHttpKey(const kdt::IniContent::Entry& entry, HttpConfig& http, Checker& checker,
                 std::string& reason) {
  const std::string_view key = entry.name;
  const std::string text(entry.value);
  if (SameName(key, "LISTEN")) {
    if (ReadEndpoint(text, http.listen)) return true;
    reason = "LISTEN: an address and a port, such as 127.0.0.1:8212, not '" + text + "'";
  } else if (SameName(key, "ALLOW")) {
    return ReadCidrList(text, http.allow, reason);
  } else if (SameName(key, "USERS")) {
    if (!text.empty()) return ReadUsersFile(entry, http, checker);
    reason = "USERS: the users file";
  } else if (SameName(key, "CERT") || SameName(key, "KEY")) {
    (SameName(key, "CERT") ? http.certFile : http.keyFile) = text;
    if (!text.empty() && checker.Files().MayRead(text, reason)) return true;
    reason = std::string(key) + ": " + (text.empty() ? "a file" : reason);
  } else if (SameName(key, "MAXCLIENTS")) {
    if (ReadNumber(text, 1, kMostClients, http.maxClients)) return true;
    reason = "MAXCLIENTS: from 1 to 1024, not '" + text + "'";
  } else {
    reason = "unknown key " + std::string(key) + " (LISTEN, ALLOW, USERS, CERT, KEY, MAXCLIENTS)";
  }
  return false;
}

bool IsLoopback(std::uint32_t address) {
  return kLoopback.Contains(address);
}

bool ReadHttp(const kdt::IniContent::SectionView& section, Checker& checker, HttpConfig& http) {
  http.line = section.line;
  http.allow = {kLoopback};
  const auto read = [&](const kdt::IniContent::Entry& entry, std::string& reason) {
    return ReadHttpKey(entry, http, checker, reason);
  };
  if (!ReadEntries(section, checker, read)) return false;
  if (http.listen.port == 0) return checker.Fail(section.line, "[HTTP] needs LISTEN");
  if (http.certFile.empty() != http.keyFile.empty()) {
    return checker.Fail(section.line, "CERT and KEY go together: HTTPS needs both");
  }
  if (http.usersFile.empty() && !IsLoopback(http.listen.address)) {
    return checker.Fail(section.line,
                        "LISTEN " + EndpointText(http.listen) +
                            " would open a page that switches feeds to the network without a "
                            "login: give USERS, or listen on a loopback address");
  }
  return true;
}

// "studio.A=2": a relay of a unit and the input it takes. Whether the unit
// is one of the file's is known once the whole file is read.
bool ReadSalvoStep(const kdt::IniContent::Entry& entry, SalvoStep& step, std::string& reason) {
  const std::string_view key = entry.name;
  const std::size_t dot = key.rfind('.');
  const std::string_view letter = dot == std::string_view::npos ? "" : key.substr(dot + 1);
  step.unit = std::string(key.substr(0, dot == std::string_view::npos ? 0 : dot));
  step.relay = letter.size() == 1 ? kdt::RelayOfLetter(letter[0]) : 0;
  if (step.unit.empty() || step.relay == 0) {
    reason =
        "a salvo's line is UNIT.RELAY=INPUT, such as studio.A=2, not '" + std::string(key) + "'";
    return false;
  }
  const std::string_view input = kdt::TrimBlanks(entry.value);
  if (input != "1" && input != "2") {
    reason = std::string(key) + ": an input is 1 or 2, not '" + std::string(entry.value) + "'";
    return false;
  }
  step.input = input[0] - '0';
  step.line = entry.line;
  return true;
}

bool ReadSalvo(const kdt::IniContent::SectionView& section, Checker& checker, SalvoConfig& salvo) {
  salvo.line = section.line;
  ReadSectionId(section.name, kSalvoSection, salvo.id);
  if (salvo.id.empty()) return checker.Fail(section.line, "[SALVO] needs an id: [SALVO name]");
  if (salvo.id.size() > kLongestUnitId || !std::ranges::all_of(salvo.id, IsIdCharacter)) {
    return checker.Fail(section.line,
                        "a salvo's id is letters, digits, '-' and '_', at most 64, "
                        "not '" +
                            salvo.id + "'");
  }
  const auto read = [&salvo](const kdt::IniContent::Entry& entry, std::string& reason) {
    if (SameName(entry.name, "LABEL")) {
      salvo.label = std::string(entry.value);
      return true;
    }
    SalvoStep step;
    if (!ReadSalvoStep(entry, step, reason)) return false;
    for (const SalvoStep& earlier : salvo.steps) {
      if (SameName(earlier.unit, step.unit) && earlier.relay == step.relay) {
        reason = step.unit + "." + kdt::RelayLetter(step.relay) + " given twice";
        return false;
      }
    }
    salvo.steps.push_back(std::move(step));
    return true;
  };
  if (!ReadEntries(section, checker, read)) return false;
  if (salvo.steps.empty()) {
    return checker.Fail(section.line,
                        "salvo " + salvo.id + " sets no relay: give UNIT.RELAY=INPUT");
  }
  return true;
}

bool ReadBridge(const kdt::IniContent::SectionView& section, Checker& checker,
                BridgeConfig& config) {
  const auto read = [&config](const kdt::IniContent::Entry& entry, std::string& reason) {
    if (!SameName(entry.name, "STATE")) {
      reason = "unknown key " + std::string(entry.name) + " (STATE)";
      return false;
    }
    config.stateFile = std::string(entry.value);
    const std::string folder = kdt::FolderOf(config.stateFile);
    if (!config.stateFile.empty() && access(folder.c_str(), W_OK) == 0) return true;
    reason = "STATE: a file in a folder that may be written, not '" + config.stateFile + "'";
    return false;
  };
  return ReadEntries(section, checker, read);
}

bool ReadSection(const kdt::IniContent::SectionView& section, Checker& checker,
                 BridgeConfig& config) {
  std::string id;
  if (ReadSectionId(section.name, kSalvoSection, id) || SameName(section.name, kSalvoSection)) {
    SalvoConfig salvo;
    if (!ReadSalvo(section, checker, salvo)) return false;
    config.salvos.push_back(std::move(salvo));
    return true;
  }
  if (SameName(section.name, kBridgeSection)) return ReadBridge(section, checker, config);
  if (ReadSectionId(section.name, kUnitSection, id) || SameName(section.name, kUnitSection)) {
    UnitConfig unit;
    if (!ReadUnit(section, checker, unit)) return false;
    config.units.push_back(std::move(unit));
    return true;
  }
  if (SameName(section.name, kHttpSection)) {
    if (config.http) {
      return checker.Fail(section.line, "[HTTP] given twice (first at line " +
                                            std::to_string(config.http->line) + ")");
    }
    config.http.emplace();
    return ReadHttp(section, checker, *config.http);
  }
  if (!SameName(section.name, kMqttSection)) {
    return checker.Fail(section.line, "unknown section [" + std::string(section.name) + "]");
  }
  if (config.mqtt) {
    return checker.Fail(section.line, "[MQTT] given twice (first at line " +
                                          std::to_string(config.mqtt->line) + ")");
  }
  config.mqtt.emplace();
  return ReadMqtt(section, checker, *config.mqtt);
}

bool Overlaps(const Endpoint& a, const Endpoint& b) {
  return a.port == b.port && (a.address == b.address || a.address == 0 || b.address == 0);
}

// A salvo names units of the file, and only one salvo takes an id.
bool CheckSalvos(const BridgeConfig& config, Checker& checker) {
  for (std::size_t i = 0; i < config.salvos.size(); ++i) {
    const SalvoConfig& salvo = config.salvos[i];
    for (std::size_t j = 0; j < i; ++j) {
      if (SameName(config.salvos[j].id, salvo.id)) {
        return checker.Fail(salvo.line, "salvo " + salvo.id + " given twice (first at line " +
                                            std::to_string(config.salvos[j].line) + ")");
      }
    }
    for (const SalvoStep& step : salvo.steps) {
      if (std::ranges::none_of(config.units,
                               [&](const UnitConfig& unit) { return unit.id == step.unit; })) {
        return checker.Fail(step.line,
                            "salvo " + salvo.id + ": no unit " + step.unit + " in this file");
      }
    }
  }
  return true;
}

bool CheckAcrossUnits(const BridgeConfig& config, Checker& checker) {
  for (const UnitConfig& unit : config.units) {
    if (config.http && unit.listen && Overlaps(*unit.listen, config.http->listen)) {
      return checker.Fail(config.http->line, "LISTEN " + EndpointText(config.http->listen) +
                                                 " is unit " + unit.id + "'s already");
    }
  }
  for (std::size_t i = 0; i < config.units.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      const UnitConfig &unit = config.units[i], &earlier = config.units[j];
      if (SameName(unit.id, earlier.id)) {
        return checker.Fail(unit.line, "unit " + unit.id + " given twice (first at line " +
                                           std::to_string(earlier.line) + ")");
      }
      if (unit.listen && earlier.listen && Overlaps(*unit.listen, *earlier.listen)) {
        return checker.Fail(unit.line, "LISTEN " + EndpointText(*unit.listen) + " is unit " +
                                           earlier.id + "'s already");
      }
      // A unit takes one connection: two sessions would take turns with it.
      if (unit.address == earlier.address && unit.port == earlier.port) {
        return checker.Fail(unit.line, "unit " + unit.id + ": " +
                                           EndpointText({unit.address, unit.port}) + " is unit " +
                                           earlier.id + " already (first at line " +
                                           std::to_string(earlier.line) + ")");
      }
    }
  }
  return true;
}

}  // namespace

bool IsIdCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

bool Cidr::Contains(std::uint32_t addressValue) const {
  return (kdt::NumericOrder(addressValue) & Mask(prefix)) == network;
}

bool MqttConfig::operator==(const MqttConfig& other) const {
  return host == other.host && port == other.port && clientId == other.clientId &&
         user == other.user && password == other.password && caFile == other.caFile &&
         topic == other.topic && discovery == other.discovery;
}

bool HttpConfig::operator==(const HttpConfig& other) const {
  return listen == other.listen && allow == other.allow && usersFile == other.usersFile &&
         users == other.users && certFile == other.certFile && keyFile == other.keyFile &&
         maxClients == other.maxClients;
}

bool UnitConfig::operator==(const UnitConfig& other) const {
  return SameSession(other) && listen == other.listen && allow == other.allow &&
         maxClients == other.maxClients;
}

bool UnitConfig::SameSession(const UnitConfig& other) const {
  return id == other.id && address == other.address && port == other.port &&
         intervalMs == other.intervalMs;
}

std::string ChangesText(const UnitConfig& before, const UnitConfig& after) {
  const auto allowText = [](const UnitConfig& unit) {
    std::string text;
    for (const Cidr& cidr : unit.allow) text += (text.empty() ? "" : ",") + CidrText(cidr);
    return text;
  };
  const auto listenText = [](const UnitConfig& unit) {
    return unit.listen ? EndpointText(*unit.listen) : std::string("none");
  };
  struct Key {
    const char* name;
    std::string before, after;
  };
  const Key keys[] = {
      {"ADDR", kdt::IPToStr(before.address), kdt::IPToStr(after.address)},
      {"PORT", std::to_string(before.port), std::to_string(after.port)},
      {"INTERVAL", std::to_string(before.intervalMs), std::to_string(after.intervalMs)},
      {"LISTEN", listenText(before), listenText(after)},
      {"ALLOW", allowText(before), allowText(after)},
      {"MAXCLIENTS", std::to_string(before.maxClients), std::to_string(after.maxClients)},
  };
  std::string text;
  for (const Key& key : keys) {
    if (key.before == key.after) continue;
    text +=
        (text.empty() ? "" : ", ") + std::string(key.name) + " " + key.before + " -> " + key.after;
  }
  return text;
}

bool ParseBridgeConfig(std::string_view text, const std::string& path, BridgeConfig& config,
                       std::string& problem, const FileAccess& files) {
  config = {};
  Checker checker(path, files, config.warnings);
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  const std::string plain = WithoutComments(text);
  std::string_view strayText;
  if (const int stray = StrayLine(plain, strayText); stray != 0) {
    checker.Fail(stray,
                 IsHashComment(strayText) ? kHashComment : "a line before the first section");
  }
  const kdt::IniContent content = kdt::IniContent::Parse(plain);
  for (const kdt::IniContent::SectionView& section : content.Sections()) {
    if (!checker.Problem().empty() || !ReadSection(section, checker, config)) break;
  }
  if (checker.Problem().empty()) CheckAcrossUnits(config, checker) && CheckSalvos(config, checker);
  problem = checker.Problem();
  return problem.empty();
}

bool ReadBridgeConfig(const std::string& path, BridgeConfig& config, std::string& problem,
                      const FileAccess& files) {
  std::string text, error;
  if (access(path.c_str(), F_OK) != 0) {
    problem = path + ": " + std::strerror(errno);
    return false;
  }
  if (!kdt::ReadTextFile(path, text, error)) {
    problem = error;
    return false;
  }
  return ParseBridgeConfig(text, path, config, problem, files);
}

int DescriptorsNeeded(const BridgeConfig& config) {
  constexpr int kProgramsOwn = 64;  // standard streams, the signal pipe, the event loop's own
  int needed =
      kProgramsOwn + (config.mqtt ? 1 : 0) + (config.http ? 1 + config.http->maxClients : 0);
  for (const UnitConfig& unit : config.units) {
    needed += 1 + (unit.listen ? 1 + unit.maxClients : 0);
  }
  return needed;
}

std::string EndpointText(const Endpoint& endpoint) {
  return kdt::IPToStr(endpoint.address) + ":" + std::to_string(endpoint.port);
}

std::string CidrText(const Cidr& cidr) {
  return kdt::IPToStr(kdt::FromNumericOrder(cidr.network)) + "/" + std::to_string(cidr.prefix);
}

std::string Describe(const UnitConfig& unit) {
  std::string text = unit.id + ": " + EndpointText({unit.address, unit.port}) + ", every " +
                     std::to_string(unit.intervalMs) + " ms";
  if (!unit.listen) return text + "; not shared";
  text += "; shared on " + EndpointText(*unit.listen) + " for ";
  for (std::size_t i = 0; i < unit.allow.size(); ++i) {
    text += (i != 0 ? ", " : "") + CidrText(unit.allow[i]);
  }
  return text + ", at most " + std::to_string(unit.maxClients) + " clients";
}

std::string Describe(const HttpConfig& http) {
  std::string text = std::string("page: ") + (http.certFile.empty() ? "http" : "https") + "://" +
                     EndpointText(http.listen) + "/ for ";
  for (std::size_t i = 0; i < http.allow.size(); ++i) {
    text += (i != 0 ? ", " : "") + CidrText(http.allow[i]);
  }
  text += ", at most " + std::to_string(http.maxClients) + " clients; ";
  return text + (http.usersFile.empty()
                     ? "no login: every client may switch"
                     : std::to_string(http.users.size()) + " users from " + http.usersFile);
}

std::string Describe(const MqttConfig& mqtt) {
  return "mqtt: " + mqtt.host + ":" + std::to_string(mqtt.port) +
         (mqtt.caFile.empty() ? "" : " (TLS)") + (mqtt.user.empty() ? "" : " as " + mqtt.user) +
         ", topic " + mqtt.topic + ", " +
         (mqtt.discovery.empty() ? "no discovery" : "discovery under " + mqtt.discovery);
}

}  // namespace bridge
