// Who is logged in to the page: a session per login, named by a random
// token in its cookie, ended by a logout, after 8 hours, or by a reload
// that removes the user or changes its password. A user's role is looked up
// at each request, so that a changed role applies at the next one. And the
// login throttle: after 5 failed logins from one address within a minute,
// every login from it is refused until a minute has passed since the first
// of them, right password or not (LoginThrottle). Free of Qt; the clock is
// the caller's.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "web/Users.h"

namespace bridge {

class WebSessions {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::hours kLifetime{8};

  // A new session for the user; its token.
  std::string Open(const WebUser& user, Clock::time_point now = Clock::now());
  // The user of a live session, as the users are now; none for a token that
  // names no session, or one that has ended.
  std::optional<WebUser> Find(const std::string& token, const std::vector<WebUser>& users,
                              Clock::time_point now = Clock::now());
  void Close(const std::string& token);
  // Sessions 8 hours old end: their tokens, for their event streams.
  std::vector<std::string> EndExpired(Clock::time_point now = Clock::now());
  // When the oldest session ends; none while there is none.
  std::optional<Clock::time_point> NextEnd() const;
  // The users file was read again: sessions of users that are gone, or
  // whose password changed, end. The names of those whose sessions ended.
  std::vector<std::string> Keep(const std::vector<WebUser>& users);

 private:
  struct Session {
    std::string user;
    std::string hash;  // the user's when it logged in
    Clock::time_point opened;
  };
  std::map<std::string, Session> sessions_;  // by token
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
