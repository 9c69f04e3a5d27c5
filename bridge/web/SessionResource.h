// The page's sessions as a resource: a login (the login throttle before
// it, its password checked by PasswordChecks.h), a logout, and who the
// caller is (api/me). Every other request is authenticated here: the
// session's cookie names a live session, whose user's role is looked up as
// the users file is now.
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "core/Log.h"
#include "web/PasswordChecks.h"
#include "web/Routes.h"
#include "web/Sessions.h"
#include "web/Streams.h"
#include "web/WebSection.h"

namespace bridge {

class SessionResource : public QObject {
 public:
  // `keptIn`: the file that keeps the sessions across a restart; empty:
  // none.
  SessionResource(const HttpConfig& config, EventStreams& streams, const std::string& keptIn);

  // The users anew: sessions of those removed, or whose password changed,
  // end, and their streams with them; a changed role applies at the next
  // request.
  void Reconfigure(const HttpConfig& config);
  bool Authenticate(const WebRequest& request, Caller& caller);

  void Login(RouteCall& call);
  void Logout(RouteCall& call);
  void Me(RouteCall& call);

 private:
  // A login on its way, until its answer.
  struct LoginAttempt {
    std::string name, address, who;
    bool secure = false;
    std::unique_ptr<WebReply> reply{};
    PasswordChecks::Gone gone{};
  };

  void CheckPassword(const std::shared_ptr<LoginAttempt>& attempt, const std::string& password);
  void LoginChecked(LoginAttempt& attempt, const std::optional<WebUser>& tried, bool matches);
  const WebUser* UserNamed(const std::string& name) const;
  // The timer for the next session's end, set anew after a change.
  void WatchExpiry();
  void EndExpired();
  bool WithLogin() const { return !config_.usersFile.empty(); }

  HttpConfig config_;
  EventStreams& streams_;
  WebSessions sessions_;
  QTimer expiry_;
  LoginThrottle throttle_;
  PasswordChecks checks_;
  LogThrottle logThrottle_;
};

// {"user":…,"role":…,"owner":…}: who the caller is, and the owner its
// protects name ("web alice").
std::string MeJson(const Caller& caller);

}  // namespace bridge
