// Who is logged in to the page: a session per login, named by a random
// token in its cookie, ended by a logout, after 8 hours, or by a reload
// that removes the user or changes its password. A session is known by its
// key, a digest of its token, so that neither memory nor the file that
// keeps the sessions across a restart (or an upgrade) holds a token that
// could be used; the user's password hash is kept as a digest too. Why a
// session ended is kept a while, so that its page can say so. A user's role is looked up
// at each request, so that a changed role applies at the next one. And the
// login throttle: after 5 failed logins from one address within a minute,
// every login from it is refused until a minute has passed since the first
// of them, right password or not (LoginThrottle). Free of Qt; the clock is
// the caller's.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "web/Users.h"

namespace bridge {

class WebSessions {
 public:
  // The wall's clock: a session's 8 hours go on across a restart.
  using Clock = std::chrono::system_clock;
  using Digest = std::function<std::string(std::string_view text)>;
  static constexpr std::chrono::hours kLifetime{8};
  static constexpr std::size_t kEndsKept = 4096;

  // `digest`: one-way, such as SHA-256.
  explicit WebSessions(Digest digest) : digest_(std::move(digest)) {}

  // Kept in the file at `path` from now on, and read from it when it is the
  // first given; empty: only while the bridge runs. What is worth a log
  // line (a file that cannot be read) is its answer.
  std::string KeepIn(const std::string& path, Clock::time_point now = Clock::now());

  struct Opened {
    std::string token;  // for the cookie, and nowhere else
    std::string key;
  };
  // A new session for the user.
  Opened Open(const WebUser& user, Clock::time_point now = Clock::now());
  // The key of the session a cookie's token names; empty for no token.
  std::string KeyOf(std::string_view token) const;
  // The user of a live session, as the users are now; none for a key that
  // names no session, or one that has ended.
  std::optional<WebUser> Find(const std::string& key, const std::vector<WebUser>& users,
                              Clock::time_point now = Clock::now());
  // Why the session of `key` ended, in words ("you logged out"); empty for
  // one the bridge does not know.
  std::string EndOf(const std::string& key) const;
  void Close(const std::string& key);
  // Sessions 8 hours old end: their keys, for their event streams.
  std::vector<std::string> EndExpired(Clock::time_point now = Clock::now());
  // When the oldest session ends; none while there is none.
  std::optional<Clock::time_point> NextEnd() const;
  // The users file was read again: sessions of users that are gone, or
  // whose password changed, end. The names of those whose sessions ended.
  std::vector<std::string> Keep(const std::vector<WebUser>& users);

 private:
  struct Session {
    std::string user;
    std::string hashDigest;  // of the user's password hash when it logged in
    Clock::time_point opened;
  };
  bool StillHolds(const Session& session, const std::vector<WebUser>& users) const;
  void End(std::map<std::string, Session>::iterator session, const std::string& why);
  void Save() const;

  Digest digest_;
  std::string file_;
  std::map<std::string, Session> sessions_;  // by key
  std::map<std::string, std::string> ends_;  // why, by key
  std::deque<std::string> endOrder_;         // the keys of ends_, oldest first
};

// Failed logins are counted per address and per user name, within a
// minute. Per address, the logins still being checked count as failures
// until they are known, so that many sent at once are refused as surely as
// many sent one by one. Per user name, a name that has failed 5 times in
// the minute, from anywhere, is checked only after a second's wait: whoever
// tries it is slowed, and never refused for what others did.
class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kMostFailures = 5;
  static constexpr std::chrono::minutes kWindow{1};
  static constexpr std::chrono::seconds kWaitOfANameUnderAttack{1};

  struct Turn {
    bool refused = false;    // the address is refused
    Clock::duration wait{};  // before the password may be checked
  };
  // A login from the address for the name begins.
  Turn Begin(const std::string& address, const std::string& name, Clock::time_point now);
  // It was checked; true when its failure is the one that starts the
  // address's refusal.
  bool End(const std::string& address, const std::string& name, bool failed, Clock::time_point now);
  // It was never checked.
  void Cancel(const std::string& address, const std::string& name);
  // Whether logins from the address are refused now.
  bool Refused(const std::string& address, Clock::time_point now);

 private:
  struct Tries {
    std::deque<Clock::time_point> failures;  // within the window
    int checking = 0;
  };
  // Failures older than the window are forgotten, and so is whoever has
  // nothing left, so that names made up by the thousand hold nothing.
  void Forget(std::map<std::string, Tries>& tries, Clock::time_point now);

  std::map<std::string, Tries> addresses_, names_;
  Clock::time_point forgotten_{};
};

}  // namespace bridge
