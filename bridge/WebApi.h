// The bridge's HTTP interface, which its page uses and hubs and scripts
// may: logins and sessions (WebSessions.h), the units as kdt212ctl status
// --json prints them, an event stream of every change, the record of who
// switched what, and commands that answer once the unit's status shows
// them. Every request is checked here, at the bridge, never in the
// browser: a session and its role, a POST's Content-Type (JSON only) and
// its Origin (the page's own only), a body that is the JSON of its request.
#pragma once

#include <QObject>
#include <QTimer>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BridgeConfig.h"
#include "CommandQueue.h"
#include "Log.h"
#include "LogBook.h"
#include "WebReply.h"
#include "WebSessions.h"

namespace bridge {

class SharedUnit;
class WebServer;
struct WebRequest;

class WebApi : public QObject {
 public:
  // How long a command may take to show in the unit's status, as kdt212ctl
  // waits.
  static constexpr int kCommandTimeMs = 3000;

  WebApi(WebServer& server, const HttpConfig& config, LogBook& logBook);
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
  struct Command;

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
  void Submit(std::unique_ptr<Command> command, SharedUnit& unit, const kdt::Frame& frame,
              const Caller& caller);
  void Answered(Command* key, bool answered);
  void Settle(Command& command);
  void Finish(Command& command, int status, const std::string& message);
  SharedUnit* Find(const std::string& id) const;
  std::string UnitsJson() const;
  std::string MeJson(const Caller& caller) const;
  bool Protected() const { return !config_.usersFile.empty(); }

  WebServer& server_;
  HttpConfig config_;
  LogBook& logBook_;
  std::vector<SharedUnit*> units_;
  std::map<std::string, std::string> shown_;  // each unit's JSON as the streams have it
  WebSessions sessions_;
  LoginThrottle throttle_;
  LogThrottle logThrottle_;
  std::map<std::string, CommandSource> sources_;  // by who sends: one turn each
  std::list<std::unique_ptr<Command>> commands_;  // waiting for the unit
};

}  // namespace bridge
