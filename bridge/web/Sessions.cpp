#include "web/Sessions.h"

#include <sys/random.h>

#include <algorithm>

#include "CodePage.h"

namespace bridge {
namespace {

constexpr std::size_t kTokenBytes = 32;

// Unguessable: from the system's random source, hex.
std::string NewToken() {
  char bytes[kTokenBytes];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += std::size_t(n);
  }
  return kdt::HexText(std::string_view(bytes, sizeof bytes));
}

const WebUser* UserNamed(const std::vector<WebUser>& users, const std::string& name) {
  const auto found =
      std::find_if(users.begin(), users.end(), [&](const WebUser& u) { return u.name == name; });
  return found == users.end() ? nullptr : &*found;
}

}  // namespace

std::string WebSessions::Open(const WebUser& user, Clock::time_point now) {
  std::string token = NewToken();
  sessions_[token] = {user.name, user.hash, now};
  return token;
}

std::optional<WebUser> WebSessions::Find(const std::string& token,
                                         const std::vector<WebUser>& users, Clock::time_point now) {
  const auto found = sessions_.find(token);
  if (found == sessions_.end()) return std::nullopt;
  const WebUser* user = UserNamed(users, found->second.user);
  if (now - found->second.opened >= kLifetime || user == nullptr ||
      user->hash != found->second.hash) {
    sessions_.erase(found);
    return std::nullopt;
  }
  return *user;
}

void WebSessions::Close(const std::string& token) {
  sessions_.erase(token);
}

std::vector<std::string> WebSessions::Keep(const std::vector<WebUser>& users) {
  std::vector<std::string> ended;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    const WebUser* user = UserNamed(users, it->second.user);
    if (user != nullptr && user->hash == it->second.hash) {
      ++it;
      continue;
    }
    if (std::find(ended.begin(), ended.end(), it->second.user) == ended.end()) {
      ended.push_back(it->second.user);
    }
    it = sessions_.erase(it);
  }
  return ended;
}

void LoginThrottle::Forget(std::deque<Clock::time_point>& failures, Clock::time_point now) {
  // A refusal lasts until a minute has passed since the first of the
  // failures that caused it; failures older than that are forgotten.
  while (!failures.empty() && now - failures.front() >= kWindow) failures.pop_front();
}

bool LoginThrottle::Refused(const std::string& address, Clock::time_point now) {
  const auto found = failures_.find(address);
  if (found == failures_.end()) return false;
  Forget(found->second, now);
  if (found->second.empty()) {
    failures_.erase(found);
    return false;
  }
  return int(found->second.size()) >= kMostFailures;
}

bool LoginThrottle::Failed(const std::string& address, Clock::time_point now) {
  std::deque<Clock::time_point>& failures = failures_[address];
  Forget(failures, now);
  failures.push_back(now);
  return int(failures.size()) == kMostFailures;
}

}  // namespace bridge
