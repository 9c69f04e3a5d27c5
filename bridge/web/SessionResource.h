// The page's sessions as a resource: a login (its password checked on a
// thread of its own, the login throttle before it), a logout, and who the
// caller is (api/me). Every other request is authenticated here: the
// session's cookie names a live session, whose user's role is looked up as
// the users file is now.
#pragma once

#include <QObject>
#include <optional>
#include <string>

#include "core/Log.h"
#include "web/Routes.h"
#include "web/Sessions.h"
#include "web/Streams.h"
#include "web/WebSection.h"

namespace bridge {

class SessionResource : public QObject {
 public:
  SessionResource(const HttpConfig& config, EventStreams& streams);

  // The users anew: sessions of those removed, or whose password changed,
  // end, and their streams with them; a changed role applies at the next
  // request.
  void Reconfigure(const HttpConfig& config);
  bool Authenticate(const WebRequest& request, Caller& caller);

  void Login(RouteCall& call);
  void Logout(RouteCall& call);
  void Me(RouteCall& call);

 private:
  void LoginChecked(const std::string& who, const std::string& address,
                    const std::optional<WebUser>& tried, bool matches, bool secure,
                    WebReply& reply);
  bool WithLogin() const { return !config_.usersFile.empty(); }

  HttpConfig config_;
  EventStreams& streams_;
  WebSessions sessions_;
  LoginThrottle throttle_;
  LogThrottle logThrottle_;
};

// {"user":…,"role":…,"owner":…}: who the caller is, and the owner its
// protects name ("web alice").
std::string MeJson(const Caller& caller);

}  // namespace bridge
