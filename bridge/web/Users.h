// Who may log in to the bridge's page, and what each may do: the users file
// that [HTTP] USERS names, one user a line, NAME:ROLE:HASH, where ROLE is
// view (sees everything, changes nothing), operate, or admin (operates, and
// may release another's protect), and HASH a crypt(3)
// string of yescrypt ($y$) or SHA-512 ($6$): nothing weaker. Passwords are
// checked and hashed with the system's libcrypt. Free of Qt.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bridge {

// In order: each may do what the one before may.
enum class Role { kView, kOperate, kAdmin };

std::string_view RoleName(Role role);  // "view", "operate", "admin"

struct WebUser {
  std::string name;
  Role role = Role::kView;
  std::string hash;
  bool operator==(const WebUser&) const = default;
};

// The users file's text; false with "FILE:LINE: reason".
bool ParseUsers(std::string_view text, const std::string& path, std::vector<WebUser>& users,
                std::string& problem);

// Whether `password` is the one `hash` was made of. Slow by design (a
// yescrypt hash takes tens of milliseconds): never on the event loop.
bool PasswordMatches(const std::string& password, const std::string& hash);

// A yescrypt hash of `password`, with a fresh salt; empty when the system
// cannot make one.
std::string HashPassword(const std::string& password);

}  // namespace bridge
