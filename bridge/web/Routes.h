// The page's requests as a table: each route a method, a path (with {…} for
// what varies: "/api/units/{unit}/relays/{relay}/{what}"), who may ask, and
// its handler, which the resource it belongs to gives. The router checks
// what every request must pass before a handler sees it, in one place: a
// POST's Content-Type (JSON only) and Origin (the page's own only), a
// session (401), and a role that may change things (403).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "web/Reply.h"
#include "web/Request.h"

namespace bridge {

// What a handler is given: the request, who sent it, what the path's {…}
// stood for (in order), and the answer, which it may keep to give later.
struct RouteCall {
  const WebRequest& request;
  const Caller& caller;
  std::vector<std::string> params;
  std::unique_ptr<WebReply> reply;
};

struct Route {
  enum class Method { kGet, kPost };
  enum class Access {
    kAnyone,    // the page's files, a login
    kLoggedIn,  // whatever only reads
    kOperator,  // whatever changes: not a view user's
  };
  Method method;
  std::string_view path;
  Access access;
  std::function<void(RouteCall& call)> handler;
};

class Router {
 public:
  // Who sent a request: false when it needs a session and has none.
  using Authenticate = std::function<bool(const WebRequest& request, Caller& caller)>;

  Router(std::vector<Route> routes, Authenticate authenticate);
  void Dispatch(const WebRequest& request, std::unique_ptr<WebReply> reply) const;

 private:
  // The route of the request; nullptr when none, with the route of its
  // path for another method, if there is one.
  const Route* Find(const WebRequest& request, std::vector<std::string>& params,
                    const Route*& otherMethod) const;

  std::vector<Route> routes_;
  Authenticate authenticate_;
};

// A POST is taken only as JSON, and only from the page's own origin: a page
// of another site cannot send one with the session's cookie. False with the
// answer given.
bool CheckPost(const WebRequest& request, WebReply& reply);

}  // namespace bridge
