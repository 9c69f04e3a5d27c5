#include "web/WebFace.h"

#include <QPointer>

#include "web/PageFiles.h"

namespace bridge {

WebFace::WebFace(const HttpConfig& config, Core& core)
    : config_(config),
      transport_(config_,
                 [this](const WebRequest& request, std::unique_ptr<WebReply> reply) {
                   router_.Dispatch(request, std::move(reply));
                 }),
      streams_(transport_),
      sessions_(config_, streams_,
                core.StateFolder().empty() ? "" : core.StateFolder() + "/sessions"),
      // A command's end may come after the page has gone with a reload.
      units_(core,
             [self = QPointer<WebFace>(this)](const Result& result, std::uint64_t id) {
               if (self) self->events_.CommandEnded(result, id);
             }),
      salvos_(core),
      events_(core, streams_, units_),
      router_(Routes(), [this](const WebRequest& request, Caller& caller) {
        return sessions_.Authenticate(request, caller);
      }) {}

WebFace::~WebFace() = default;

// Every request of the page and its interface, and who may ask it.
std::vector<Route> WebFace::Routes() {
  using Method = Route::Method;
  using Access = Route::Access;
  const auto page = [](RouteCall& call) { ServePageFile(call.request.path, *call.reply); };
  return {
      {Method::kGet, "/", Access::kAnyone, page},
      {Method::kGet, "/{file}", Access::kAnyone, page},
      {Method::kGet, "/api/rules", Access::kAnyone, [this](RouteCall& c) { events_.Rules(c); }},
      {Method::kPost, "/api/login", Access::kAnyone, [this](RouteCall& c) { sessions_.Login(c); }},
      {Method::kPost, "/api/logout", Access::kLoggedIn,
       [this](RouteCall& c) { sessions_.Logout(c); }},
      {Method::kGet, "/api/me", Access::kLoggedIn, [this](RouteCall& c) { sessions_.Me(c); }},
      {Method::kGet, "/api/units", Access::kLoggedIn, [this](RouteCall& c) { units_.List(c); }},
      {Method::kPost, "/api/units/{unit}/relays/{relay}/{what}", Access::kOperator,
       [this](RouteCall& c) { units_.Relay(c); }},
      {Method::kGet, "/api/events", Access::kLoggedIn, [this](RouteCall& c) { events_.Events(c); }},
      {Method::kGet, "/api/log", Access::kLoggedIn, [this](RouteCall& c) { events_.Log(c); }},
      {Method::kGet, "/api/log.csv", Access::kLoggedIn,
       [this](RouteCall& c) { events_.LogCsv(c); }},
      {Method::kGet, "/api/salvos", Access::kLoggedIn, [this](RouteCall& c) { salvos_.List(c); }},
      {Method::kPost, "/api/salvos/{salvo}/take", Access::kOperator,
       [this](RouteCall& c) { salvos_.Take(c); }},
  };
}

bool WebFace::Reconfigure(const FaceSettings& settings) {
  const auto* http = dynamic_cast<const HttpConfig*>(&settings);
  if (http == nullptr || !http->SameListener(config_)) return false;
  if (*http == config_) return true;
  Log("page: [HTTP] changed; its clients stay");
  config_ = *http;
  sessions_.Reconfigure(config_);
  transport_.Reconfigure(config_);
  return true;
}

}  // namespace bridge
