#include "web/WebSection.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "TextFile.h"
#include "TextRules.h"

namespace bridge {
namespace {

bool Refuse(std::string& reason, std::string text) {
  reason = std::move(text);
  return false;
}

// The users file: readable by the service, by nobody else but its owner and
// group, and every line of it sound. A fault of one of its lines is said
// with its own name and line.
bool ReadUsersFile(std::string_view value, HttpConfig& http, KeyLine at, std::string& reason) {
  http.usersFile = std::string(value);
  if (value.empty()) return Refuse(reason, "USERS: the users file");
  std::string text, error;
  if (!at.checker.Files().MayRead(http.usersFile, reason) ||
      !kdt::ReadTextFile(http.usersFile, text, error)) {
    return Refuse(reason, "USERS: " + (reason.empty() ? error : reason));
  }
  struct stat st {};
  if (stat(http.usersFile.c_str(), &st) == 0 && (st.st_mode & S_IRWXO) != 0) {
    return Refuse(reason, "USERS: " + http.usersFile +
                              " may be read by every user of this machine, and its hashes tried: "
                              "chmod o-rwx it");
  }
  std::string problem;
  return ParseUsers(text, http.usersFile, http.users, problem) || at.checker.FailElsewhere(problem);
}

bool ReadFile(std::string_view value, std::string& file, KeyLine at, std::string& reason) {
  file = std::string(value);
  if (value.empty()) return Refuse(reason, std::string(at.key) + ": a file");
  return at.checker.Files().MayRead(file, reason) ||
         Refuse(reason, std::string(at.key) + ": " + reason);
}

// The names a browser reaches the page by: what it sends as Host.
bool ReadHostNames(std::string_view value, HttpConfig& http, KeyLine, std::string& reason) {
  http.hosts.clear();
  for (std::size_t start = 0; start <= value.size();) {
    std::size_t comma = value.find(',', start);
    if (comma == std::string_view::npos) comma = value.size();
    const std::string_view name = kdt::TrimBlanks(value.substr(start, comma - start));
    start = comma + 1;
    if (name.empty() || !std::ranges::all_of(name, [](char c) {
          return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.';
        })) {
      return Refuse(reason, "HOST: names such as kdt.example.org, separated by commas, not '" +
                                std::string(value) + "'");
    }
    http.hosts.emplace_back(name);
  }
  return true;
}

const KeyTable<HttpConfig> kHttpKeys = {
    {"LISTEN",
     [](std::string_view value, HttpConfig& http, KeyLine, std::string& reason) {
       return ReadEndpoint(value, http.listen) ||
              Refuse(reason, "LISTEN: an address and a port, such as 127.0.0.1:8212, not '" +
                                 std::string(value) + "'");
     },
     true},
    {"ALLOW", [](std::string_view value, HttpConfig& http, KeyLine,
                 std::string& reason) { return ReadCidrList(value, http.allow, reason); }},
    {"PROXY",
     [](std::string_view value, HttpConfig& http, KeyLine, std::string& reason) {
       return ReadCidrList(value, http.proxies, reason) ||
              Refuse(reason,
                     "PROXY: the addresses of the reverse proxies in front, such as "
                     "127.0.0.1, not '" +
                         std::string(value) + "'");
     }},
    {"HOST", ReadHostNames},
    {"USERS", ReadUsersFile},
    {"CERT", [](std::string_view value, HttpConfig& http, KeyLine at,
                std::string& reason) { return ReadFile(value, http.certFile, at, reason); }},
    {"KEY", [](std::string_view value, HttpConfig& http, KeyLine at,
               std::string& reason) { return ReadFile(value, http.keyFile, at, reason); }},
    {"MAXCLIENTS",
     [](std::string_view value, HttpConfig& http, KeyLine, std::string& reason) {
       return ReadNumber(value, 1, kMostClients, http.maxClients) ||
              Refuse(reason, "MAXCLIENTS: from 1 to 1024, not '" + std::string(value) + "'");
     }},
};

}  // namespace

bool HttpConfig::operator==(const HttpConfig& other) const {
  return SameListener(other) && allow == other.allow && proxies == other.proxies &&
         hosts == other.hosts && usersFile == other.usersFile && users == other.users &&
         maxClients == other.maxClients;
}

bool HttpConfig::SameListener(const HttpConfig& other) const {
  return listen == other.listen && certFile == other.certFile && keyFile == other.keyFile;
}

std::string HttpConfig::Describe() const {
  return std::string("page: ") + (certFile.empty() ? "http" : "https") + "://" +
         EndpointText(listen) + "/ for " + CidrListText(allow) + ", at most " +
         std::to_string(maxClients) + " clients; " +
         (usersFile.empty() ? "no login: every client may switch"
                            : std::to_string(users.size()) + " users from " + usersFile);
}

std::shared_ptr<const FaceSettings> ReadHttpSection(const SectionView& section, Checker& checker) {
  auto http = std::make_shared<HttpConfig>();
  http->line = section.line;
  http->allow = {kLoopback};
  if (!ReadSection(section, kHttpKeys, "[HTTP]", *http, checker)) return nullptr;
  if (http->certFile.empty() != http->keyFile.empty()) {
    checker.Fail(section.line, "CERT and KEY go together: HTTPS needs both");
    return nullptr;
  }
  if (http->usersFile.empty() && !IsLoopback(http->listen.address)) {
    checker.Fail(section.line, "LISTEN " + EndpointText(http->listen) +
                                   " would open a page that switches feeds to the network without "
                                   "a login: give USERS, or listen on a loopback address");
    return nullptr;
  }
  return http;
}

}  // namespace bridge
