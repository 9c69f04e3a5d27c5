// The bridge's HTTP interface, which its page uses and hubs and scripts
// may: logins and sessions (WebSessions.h), the units as kdt212ctl status
// --json prints them, an event stream of every change, the record of who
// switched what, and commands that answer once the unit's status shows
// them, protects, and the takes of salvos. Every request is checked here, at the bridge, never in
// the browser: a session and its role, a POST's Content-Type (JSON only) and its Origin (the page's
// own only), a body that is the JSON of its request.
#pragma once

#include <QObject>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BridgeConfig.h"
#include "CommandQueue.h"
#include "Log.h"
#include "LogBook.h"
#include "UnitCommands.h"
#include "UnitConsumer.h"
#include "WebReply.h"
#include "WebSessions.h"

namespace bridge {

class SharedUnit;
class WebServer;
struct WebRequest;

class WebApi : public QObject {
 public:
  WebApi(WebServer& server, const HttpConfig& config, const BridgeServices& services);
  ~WebApi() override;

  // The users anew: sessions of those removed, or whose password changed,
  // end; a changed role applies at the next request.
  void Reconfigure(const HttpConfig& config);
  bool SessionLive(const std::string& token);

  void Handle(const WebRequest& request, std::unique_ptr<WebReply> reply);

  void UnitsChanged(const std::vector<SharedUnit*>& units);
  void UnitChanged(const SharedUnit& unit);
  void Recorded(const LogEntry& entry);

 private:
  struct Caller {
    std::optional<WebUser> user;  // none without USERS
    std::string token;
    Role role = Role::kOperate;
    std::string By() const;  // "web alice", or "web"
  };

  void Route(const WebRequest& request, std::unique_ptr<WebReply>& reply);
  bool CheckPost(const WebRequest& request, WebReply& reply) const;
  bool Authenticate(const WebRequest& request, Caller& caller);
  void Login(const WebRequest& request, std::unique_ptr<WebReply> reply);
  void LoginChecked(const std::string& who, const std::string& address,
                    const std::optional<WebUser>& tried, bool matches, bool secure,
                    WebReply& reply);
  void Logout(const Caller& caller, WebReply& reply);
  void Events(const Caller& caller, std::unique_ptr<WebReply> reply);
  void UnitCommand(const WebRequest& request, const Caller& caller,
                   std::unique_ptr<WebReply>& reply);
  void Protect(const WebRequest& request, const Caller& caller, SharedUnit& unit, int relay,
               WebReply& reply);
  void Take(const WebRequest& request, const Caller& caller, std::unique_ptr<WebReply>& reply);
  void Answer(WebReply& reply, const std::string& unit, const UnitCommands::Result& result);
  CommandSource SourceOf(const Caller& caller);
  std::string UnitJson(const SharedUnit& unit) const;
  std::string UnitsJson() const;
  std::string MeJson(const Caller& caller) const;
  bool Protected() const { return !config_.usersFile.empty(); }

  WebServer& server_;
  HttpConfig config_;
  LogBook& logBook_;
  Protects& protects_;
  Salvos& salvos_;
  UnitCommands commands_;
  std::map<std::string, std::string> shown_;  // each unit's JSON as the streams have it
  std::vector<SalvoConfig> salvosShown_;      // the salvos as the streams have them
  WebSessions sessions_;
  LoginThrottle throttle_;
  LogThrottle logThrottle_;
  std::map<std::string, CommandSource> sources_;  // by who sends: one turn each
};

}  // namespace bridge
