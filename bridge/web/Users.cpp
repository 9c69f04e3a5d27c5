#include "web/Users.h"

#include <crypt.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "TextRules.h"
#include "config/Values.h"

namespace bridge {
namespace {

constexpr std::string_view kYescrypt = "$y$";
constexpr std::string_view kSha512 = "$6$";
constexpr std::size_t kLongestName = 64;

// A user's name as a log line, a cookie's session and a page show it:
// letters, digits, '-', '_', '.' and '@'.
bool IsNameCharacter(char c) {
  return IsIdCharacter(c) || c == '.' || c == '@';
}

bool ReadRole(std::string_view text, Role& role) {
  for (Role candidate : {Role::kView, Role::kOperate, Role::kAdmin}) {
    if (text == RoleName(candidate)) {
      role = candidate;
      return true;
    }
  }
  return false;
}

bool ReadLine(std::string_view line, WebUser& user, std::string& reason) {
  const std::size_t first = line.find(':'), second = line.find(':', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos) {
    reason = "not NAME:ROLE:HASH";
    return false;
  }
  user.name = line.substr(0, first);
  const std::string_view role = line.substr(first + 1, second - first - 1);
  user.hash = line.substr(second + 1);
  if (user.name.empty() || user.name.size() > kLongestName ||
      !std::ranges::all_of(user.name, IsNameCharacter)) {
    reason = "a user's name is letters, digits, '-', '_', '.' and '@', not '" + user.name + "'";
  } else if (!ReadRole(role, user.role)) {
    reason = "the role is view, operate or admin, not '" + std::string(role) + "'";
  } else if (!user.hash.starts_with(kYescrypt) && !user.hash.starts_with(kSha512)) {
    reason = "the hash of " + user.name +
             " is not yescrypt ($y$) or SHA-512 ($6$): make one with kdt212-bridge --hash";
  } else if (crypt_checksalt(user.hash.c_str()) != CRYPT_SALT_OK) {
    reason = "the hash of " + user.name + " is not one that this system can check";
  }
  return reason.empty();
}

}  // namespace

std::string_view RoleName(Role role) {
  switch (role) {
    case Role::kView:
      return "view";
    case Role::kOperate:
      return "operate";
    case Role::kAdmin:
      return "admin";
  }
  return "view";
}

bool ParseUsers(std::string_view text, const std::string& path, std::vector<WebUser>& users,
                std::string& problem) {
  users.clear();
  int number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    ++number;
    const std::string_view line = kdt::TrimBlanks(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    WebUser user;
    std::string reason;
    if (!ReadLine(line, user, reason)) {
      problem = path + ":" + std::to_string(number) + ": " + reason;
      return false;
    }
    if (std::ranges::any_of(users, [&](const WebUser& u) { return u.name == user.name; })) {
      problem = path + ":" + std::to_string(number) + ": " + user.name + " given twice";
      return false;
    }
    users.push_back(std::move(user));
  }
  return true;
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
  auto data = std::make_unique<crypt_data>();
  const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
  // A failure gives a string that begins with '*', never equal to a hash.
  return result != nullptr && result[0] != '*' && hash == result;
}

std::string HashPassword(const std::string& password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(std::string(kYescrypt).c_str(), 0, nullptr, 0, salt, sizeof salt) ==
      nullptr) {
    return {};
  }
  auto data = std::make_unique<crypt_data>();
  const char* result = crypt_r(password.c_str(), salt, data.get());
  return result != nullptr && result[0] != '*' ? result : std::string();
}

}  // namespace bridge
