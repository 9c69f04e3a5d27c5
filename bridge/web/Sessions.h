// Who is logged in to the page: a session per login, named by a random
// token in its cookie, ended by a logout, after 8 hours, or by a reload
// that removes the user or changes its password. A user's role is looked up
// at each request, so that a changed role applies at the next one. And the
// login throttle: after 5 failed logins from one address within a minute,
// every login from it is refused until a minute has passed since the first
// of them, right password or not. Free of Qt; the clock is the caller's.
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

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kMostFailures = 5;
  static constexpr std::chrono::minutes kWindow{1};

  // Whether logins from the address are refused now.
  bool Refused(const std::string& address, Clock::time_point now = Clock::now());
  // A failed login; true when it is the one that starts the refusal.
  bool Failed(const std::string& address, Clock::time_point now = Clock::now());

 private:
  void Forget(std::deque<Clock::time_point>& failures, Clock::time_point now);
  std::map<std::string, std::deque<Clock::time_point>> failures_;  // by address
};

}  // namespace bridge
