// A request to the page or its interface, as the routes need it, and who
// sent it: a user of the page, or anyone where the page has no login.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <optional>
#include <string>

#include "core/Owner.h"
#include "web/Users.h"

namespace bridge {

struct WebRequest {
  bool get = false, post = false;
  std::string path;   // "/api/units"
  std::string query;  // "unit=studio&limit=100"
  QByteArray body;
  QByteArray cookie, contentType, origin, host, forwardedProto;
  std::uint32_t peer = 0;  // the client's address value
  std::string who;         // "127.0.0.1:40000"
  bool https = false;
  // Over HTTPS, here or at a reverse proxy in front.
  bool Secure() const { return https || forwardedProto == "https"; }
};

struct Caller {
  std::optional<WebUser> user;  // none without USERS
  std::string session;          // its session's key (a digest of its cookie's token)
  std::string ended;            // without a session: why the one it had ended, if known
  Role role = Role::kOperate;
  // "web alice", or "web" where the page has no login.
  Owner AsOwner() const { return user ? Owner::WebUser(user->name) : Owner::Web(); }
};

}  // namespace bridge
