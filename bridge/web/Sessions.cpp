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

std::vector<std::string> WebSessions::EndExpired(Clock::time_point now) {
  std::vector<std::string> ended;
  std::erase_if(sessions_, [&](const auto& session) {
    if (now - session.second.opened < kLifetime) return false;
    ended.push_back(session.first);
    return true;
  });
  return ended;
}

std::optional<WebSessions::Clock::time_point> WebSessions::NextEnd() const {
  std::optional<Clock::time_point> next;
  for (const auto& [token, session] : sessions_) {
    if (!next || session.opened + kLifetime < *next) next = session.opened + kLifetime;
  }
  return next;
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

void LoginThrottle::Forget(std::map<std::string, Tries>& tries, Clock::time_point now) {
  for (auto it = tries.begin(); it != tries.end();) {
    // A refusal lasts until a minute has passed since the first of the
    // failures that caused it; failures older than that are forgotten.
    auto& failures = it->second.failures;
    while (!failures.empty() && now - failures.front() >= kWindow) failures.pop_front();
    const bool nothingLeft = failures.empty() && it->second.checking == 0;
    it = nothingLeft ? tries.erase(it) : std::next(it);
  }
}

bool LoginThrottle::Refused(const std::string& address, Clock::time_point now) {
  if (now - forgotten_ >= std::chrono::seconds(1)) {
    Forget(addresses_, now);
    Forget(names_, now);
    forgotten_ = now;
  }
  const auto found = addresses_.find(address);
  if (found == addresses_.end()) return false;
  auto& failures = found->second.failures;
  while (!failures.empty() && now - failures.front() >= kWindow) failures.pop_front();
  return int(failures.size()) + found->second.checking >= kMostFailures;
}

LoginThrottle::Turn LoginThrottle::Begin(const std::string& address, const std::string& name,
                                         Clock::time_point now) {
  Turn turn;
  if (Refused(address, now)) {
    turn.refused = true;
    return turn;
  }
  ++addresses_[address].checking;
  Tries& tries = names_[name];
  while (!tries.failures.empty() && now - tries.failures.front() >= kWindow) {
    tries.failures.pop_front();
  }
  ++tries.checking;
  if (int(tries.failures.size()) >= kMostFailures) turn.wait = kWaitOfANameUnderAttack;
  return turn;
}

bool LoginThrottle::End(const std::string& address, const std::string& name, bool failed,
                        Clock::time_point now) {
  Tries& byAddress = addresses_[address];
  Tries& byName = names_[name];
  byAddress.checking = std::max(0, byAddress.checking - 1);
  byName.checking = std::max(0, byName.checking - 1);
  if (!failed) return false;
  byName.failures.push_back(now);
  byAddress.failures.push_back(now);
  return int(byAddress.failures.size()) == kMostFailures;
}

void LoginThrottle::Cancel(const std::string& address, const std::string& name) {
  for (auto* tries : {&addresses_, &names_}) {
    const auto found = tries->find(tries == &addresses_ ? address : name);
    if (found != tries->end()) found->second.checking = std::max(0, found->second.checking - 1);
  }
}

}  // namespace bridge
