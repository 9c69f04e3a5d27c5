#include "web/Routes.h"

namespace bridge {
namespace {

// The path's segments against the route's, a {…} standing for any one.
bool Matches(std::string_view pattern, std::string_view path, std::vector<std::string>& params) {
  params.clear();
  while (!pattern.empty() && !path.empty()) {
    if (pattern.front() != '/' || path.front() != '/') return false;
    pattern.remove_prefix(1);
    path.remove_prefix(1);
    const std::string_view segment = pattern.substr(0, pattern.find('/'));
    const std::string_view given = path.substr(0, path.find('/'));
    if (segment.starts_with('{')) {
      if (given.empty()) return false;
      params.emplace_back(given);
    } else if (segment != given) {
      return false;
    }
    pattern.remove_prefix(segment.size());
    path.remove_prefix(given.size());
  }
  return pattern.empty() && path.empty();
}

const char* MethodName(Route::Method method) {
  return method == Route::Method::kGet ? "GET" : "POST";
}

}  // namespace

bool CheckPost(const WebRequest& request, WebReply& reply) {
  if (!request.contentType.toLower().startsWith("application/json")) {
    reply.Error(415, "a POST takes JSON (Content-Type: application/json)");
    return false;
  }
  if (request.origin.isEmpty()) return true;
  const QByteArray scheme = !request.forwardedProto.isEmpty() ? request.forwardedProto
                            : request.https                   ? QByteArray("https")
                                                              : QByteArray("http");
  if (request.origin.toLower() != (scheme + "://" + request.host).toLower()) {
    reply.Error(403, "the request comes from another page: " + request.origin.toStdString());
    return false;
  }
  return true;
}

Router::Router(std::vector<Route> routes, Authenticate authenticate)
    : routes_(std::move(routes)), authenticate_(std::move(authenticate)) {}

const Route* Router::Find(const WebRequest& request, std::vector<std::string>& params,
                          const Route*& otherMethod) const {
  otherMethod = nullptr;
  for (const Route& route : routes_) {
    if (!Matches(route.path, request.path, params)) continue;
    const bool method = route.method == Route::Method::kGet ? request.get : request.post;
    if (method) return &route;
    otherMethod = &route;
  }
  return nullptr;
}

void Router::Dispatch(const WebRequest& request, std::unique_ptr<WebReply> reply) const {
  const bool api = request.path.starts_with("/api/");
  if (api && request.post && !CheckPost(request, *reply)) return;
  std::vector<std::string> params;
  const Route* otherMethod = nullptr;
  const Route* route = Find(request, params, otherMethod);
  if (route == nullptr && otherMethod != nullptr) {
    return reply->Error(405, request.path + " takes a " + MethodName(otherMethod->method));
  }
  if (route == nullptr) {
    return reply->Error(404, api ? "no such request: " + request.path : "nothing here");
  }
  Caller caller;
  if (route->access != Route::Access::kAnyone && !authenticate_(request, caller)) {
    return reply->Error(401, caller.ended.empty() ? std::string("not logged in")
                                                  : "your session ended: " + caller.ended);
  }
  if (route->access == Route::Access::kOperator && caller.role < Role::kOperate) {
    return reply->Error(403, "a view user changes nothing");
  }
  RouteCall call{request, caller, std::move(params), std::move(reply)};
  route->handler(call);
}

}  // namespace bridge
