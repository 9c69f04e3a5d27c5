#include "web/Sessions.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "CodePage.h"

namespace bridge {
namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr const char* kExpired = "8 hours have passed since you logged in";
constexpr const char* kUsersChanged = "the users file changed";

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

WebSessions::Opened WebSessions::Open(const WebUser& user, Clock::time_point now) {
  Opened opened{NewToken(), ""};
  opened.key = KeyOf(opened.token);
  sessions_[opened.key] = {user.name, digest_(user.hash), now};
  Save();
  return opened;
}

std::string WebSessions::KeyOf(std::string_view token) const {
  return token.empty() ? std::string() : digest_(token);
}

bool WebSessions::StillHolds(const Session& session, const std::vector<WebUser>& users) const {
  const WebUser* user = UserNamed(users, session.user);
  return user != nullptr && digest_(user->hash) == session.hashDigest;
}

// Gone, with why, which its page is told at its next request.
void WebSessions::End(std::map<std::string, Session>::iterator session, const std::string& why) {
  if (ends_.emplace(session->first, why).second) endOrder_.push_back(session->first);
  while (endOrder_.size() > kEndsKept) {
    ends_.erase(endOrder_.front());
    endOrder_.pop_front();
  }
  sessions_.erase(session);
}

std::optional<WebUser> WebSessions::Find(const std::string& key, const std::vector<WebUser>& users,
                                         Clock::time_point now) {
  const auto found = sessions_.find(key);
  if (found == sessions_.end()) return std::nullopt;
  if (now - found->second.opened >= kLifetime) {
    End(found, kExpired);
  } else if (!StillHolds(found->second, users)) {
    End(found, kUsersChanged);
  } else {
    return *UserNamed(users, found->second.user);
  }
  Save();
  return std::nullopt;
}

std::string WebSessions::EndOf(const std::string& key) const {
  const auto found = ends_.find(key);
  return found == ends_.end() ? std::string() : found->second;
}

void WebSessions::Close(const std::string& key) {
  const auto found = sessions_.find(key);
  if (found == sessions_.end()) return;
  End(found, "you logged out");
  Save();
}

std::vector<std::string> WebSessions::EndExpired(Clock::time_point now) {
  std::vector<std::string> ended;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    const auto next = std::next(it);
    if (now - it->second.opened >= kLifetime) {
      ended.push_back(it->first);
      End(it, kExpired);
    }
    it = next;
  }
  if (!ended.empty()) Save();
  return ended;
}

std::optional<WebSessions::Clock::time_point> WebSessions::NextEnd() const {
  std::optional<Clock::time_point> next;
  for (const auto& [key, session] : sessions_) {
    if (!next || session.opened + kLifetime < *next) next = session.opened + kLifetime;
  }
  return next;
}

std::vector<std::string> WebSessions::Keep(const std::vector<WebUser>& users) {
  std::vector<std::string> ended;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    const auto next = std::next(it);
    if (!StillHolds(it->second, users)) {
      if (std::find(ended.begin(), ended.end(), it->second.user) == ended.end()) {
        ended.push_back(it->second.user);
      }
      End(it, kUsersChanged);
    }
    it = next;
  }
  if (!ended.empty()) Save();
  return ended;
}

// A line per session: its key, its user, its password hash's digest, when
// it opened (Unix milliseconds); written beside the file, then in its
// place, so that a cut leaves one or the other whole.
void WebSessions::Save() const {
  if (file_.empty()) return;
  const std::string beside = file_ + ".new";
  {
    std::ofstream out(beside, std::ios::binary | std::ios::trunc);
    for (const auto& [key, session] : sessions_) {
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(session.opened.time_since_epoch())
              .count();
      out << key << '\t' << session.user << '\t' << session.hashDigest << '\t' << ms << '\n';
    }
    if (!out.flush()) return;
  }
  chmod(beside.c_str(), 0600);
  std::rename(beside.c_str(), file_.c_str());
}

std::string WebSessions::KeepIn(const std::string& path, Clock::time_point now) {
  if (path.empty() || path == file_) return {};
  const bool first = file_.empty();
  file_ = path;
  std::string said;
  if (first) {
    std::ifstream in(path, std::ios::binary);
    int unread = 0;
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string key, user, hashDigest, ms;
      if (!std::getline(fields, key, '\t') || !std::getline(fields, user, '\t') ||
          !std::getline(fields, hashDigest, '\t') || !std::getline(fields, ms) || key.empty() ||
          ms.empty() || !std::all_of(ms.begin(), ms.end(), ::isdigit) || ms.size() > 15) {
        ++unread;
        continue;
      }
      const Clock::time_point opened{std::chrono::milliseconds(std::stoll(ms))};
      if (now - opened < kLifetime) sessions_[key] = {user, hashDigest, opened};
    }
    if (unread > 0) said = "page: " + std::to_string(unread) + " lines of " + path + " not read";
  }
  Save();
  return said;
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
