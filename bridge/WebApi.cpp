#include "WebApi.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <algorithm>
#include <thread>

#include "CodePage.h"
#include "Protects.h"
#include "RelayName.h"
#include "Relays.h"
#include "Salvos.h"
#include "SharedUnit.h"
#include "StatusJson.h"
#include "UnitProcIP.h"
#include "WebServer.h"

namespace bridge {
namespace {

constexpr const char* kCookie = "kdt212_session";
// Checked when a name is not a user's, so that a wrong name takes as long
// as a wrong password, and tells nothing.
constexpr const char* kNobodysHash =
    "$y$j9T$Mqte20tmgqH8HTeKHF.5E1$.Ws/cQS153zLsSirLDIcN2I.S.ogdHMcO126VyJJe52";

struct PageFile {
  const char* path;
  const char* resource;
  const char* type;
};
const PageFile kPageFiles[] = {
    {"/", ":/page/index.html", "text/html; charset=utf-8"},
    {"/app.js", ":/page/app.js", "text/javascript; charset=utf-8"},
    {"/app.css", ":/page/app.css", "text/css; charset=utf-8"},
    {"/icon.svg", ":/page/icon.svg", "image/svg+xml"},
};

std::string Event(const char* name, std::uint64_t seq, const std::string& data) {
  return "id: " + std::to_string(seq) + "\nevent: " + name + "\ndata: " + data + "\n\n";
}

// The value of one cookie of a Cookie header.
std::string CookieValue(const QByteArray& header, const char* name) {
  for (const QByteArray& pair : header.split(';')) {
    const QByteArray trimmed = pair.trimmed();
    const qsizetype eq = trimmed.indexOf('=');
    if (eq > 0 && trimmed.left(eq) == name) return trimmed.mid(eq + 1).toStdString();
  }
  return {};
}

// A body that is a JSON object of exactly these members.
bool ReadBody(const QByteArray& body, std::initializer_list<const char*> members,
              QJsonObject& object) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(body, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return false;
  object = document.object();
  if (std::size_t(object.size()) != members.size()) return false;
  return std::all_of(members.begin(), members.end(),
                     [&](const char* member) { return object.contains(member); });
}

// "/api/units/studio/relays/a/input": the unit's id, the relay and what to set.
bool ReadCommandPath(const std::string& path, std::string& unit, int& relay, std::string& what) {
  constexpr std::string_view kFront = "/api/units/", kRelays = "/relays/";
  if (!path.starts_with(kFront)) return false;
  const std::size_t relays = path.find(kRelays, kFront.size());
  if (relays == std::string::npos) return false;
  unit = path.substr(kFront.size(), relays - kFront.size());
  const std::string rest = path.substr(relays + kRelays.size());  // "a/input"
  if (rest.size() < 3 || rest[1] != '/' || rest[0] < 'a' || rest[0] > 'z') return false;
  relay = kdt::RelayOfLetter(rest[0]);
  what = rest.substr(2);
  return relay != 0;
}

}  // namespace

std::string WebApi::Caller::By() const {
  return user ? "web " + user->name : "web";
}

WebApi::WebApi(WebServer& server, const HttpConfig& config, const BridgeServices& services)
    : server_(server),
      config_(config),
      logBook_(services.logBook),
      protects_(services.protects),
      salvos_(services.salvos) {}

WebApi::~WebApi() = default;

void WebApi::Reconfigure(const HttpConfig& config) {
  config_ = config;
  for (const std::string& user : sessions_.Keep(config_.users)) {
    Log("page: the sessions of " + user + " end: the users file no longer has it so");
  }
}

bool WebApi::SessionLive(const std::string& token) {
  return sessions_.Find(token, config_.users).has_value();
}

// The unit object of the interface: kdt212ctl's JSON for the unit, its id,
// and who holds each of its relays.
std::string WebApi::UnitJson(const SharedUnit& unit) const {
  const auto protect = [&unit](int relay) {
    const bridge::Protect* held = unit.ProtectOf(relay);
    return ",\"protected\":" + (held == nullptr
                                    ? std::string("null")
                                    : "{\"by\":" + kdt::JsonText(held->by) +
                                          ",\"since\":" + kdt::JsonText(held->since) + "}");
  };
  const std::string json = unit.Live() ? kdt::StatusJson(unit.Status(), unit.Where(), protect)
                                       : kdt::NotConnectedJson(unit.Where(), unit.DownReason());
  return "{\"id\":" + kdt::JsonText(unit.Config().id) + "," + json.substr(1);
}

std::string WebApi::UnitsJson() const {
  std::string json = "{\"seq\":" + std::to_string(logBook_.Seq()) + ",\"units\":[";
  const std::vector<SharedUnit*>& units = commands_.Units();
  for (std::size_t i = 0; i < units.size(); ++i) {
    json += (i == 0 ? "" : ",") + UnitJson(*units[i]);
  }
  return json + "]}";
}

std::string WebApi::MeJson(const Caller& caller) const {
  return std::string("{\"user\":") + (caller.user ? kdt::JsonText(caller.user->name) : "null") +
         ",\"role\":" + kdt::JsonText(std::string(RoleName(caller.role))) + "}";
}

void WebApi::Handle(const WebRequest& request, std::unique_ptr<WebReply> reply) {
  Route(request, reply);
}

// A POST is taken only as JSON, and only from the page's own origin: a page
// of another site cannot send one with the session's cookie.
bool WebApi::CheckPost(const WebRequest& request, WebReply& reply) const {
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

bool WebApi::Authenticate(const WebRequest& request, Caller& caller) {
  if (!Protected()) return true;
  caller.token = CookieValue(request.cookie, kCookie);
  caller.user = sessions_.Find(caller.token, config_.users);
  if (!caller.user) return false;
  caller.role = caller.user->role;
  return true;
}

void WebApi::Route(const WebRequest& request, std::unique_ptr<WebReply>& reply) {
  for (const PageFile& file : kPageFiles) {
    if (request.path != file.path) continue;
    QFile resource(file.resource);
    if (!request.get) {
      reply->Error(405, "the page is only read");
    } else if (!resource.open(QIODevice::ReadOnly)) {
      reply->Error(500, "the page is not built into this program");
    } else {
      reply->File(resource.readAll(), file.type);
    }
    return;
  }
  if (!request.path.starts_with("/api/")) return reply->Error(404, "nothing here");
  if (request.post && !CheckPost(request, *reply)) return;
  if (request.path == "/api/login") {
    return request.post ? Login(request, std::move(reply)) : reply->Error(405, "a login is a POST");
  }
  Caller caller;
  if (!Authenticate(request, caller)) return reply->Error(401, "not logged in");
  if (request.path == "/api/logout") {
    return request.post ? Logout(caller, *reply) : reply->Error(405, "a logout is a POST");
  }
  if (request.path == "/api/me" && request.get) return reply->Json(200, MeJson(caller));
  if (request.path == "/api/units" && request.get) return reply->Json(200, UnitsJson());
  if (request.path == "/api/events" && request.get) return Events(caller, std::move(reply));
  if (request.path == "/api/log" && request.get) {
    std::string json = "{\"entries\":[";
    for (const LogEntry& entry : logBook_.Entries()) {
      json += (json.back() == '[' ? "" : ",") + EntryJson(entry);
    }
    return reply->Json(200, json + "]}");
  }
  if (request.path.starts_with("/api/units/") && request.post) {
    return UnitCommand(request, caller, reply);
  }
  if (request.path == "/api/salvos" && request.get) return reply->Json(200, salvos_.ListJson());
  if (request.path.starts_with("/api/salvos/") && request.post) return Take(request, caller, reply);
  reply->Error(request.get || request.post ? 404 : 405, "no such request: " + request.path);
}

// The password is checked on a thread of its own: a hash takes tens of
// milliseconds by design, which no other client should wait for.
void WebApi::Login(const WebRequest& request, std::unique_ptr<WebReply> reply) {
  const std::string address = kdt::IPToStr(request.peer);
  if (!Protected()) return reply->Json(200, MeJson({}));
  if (throttle_.Refused(address)) {
    return reply->Error(429, "too many failed logins from this address: wait a minute");
  }
  QJsonObject body;
  if (!ReadBody(request.body, {"user", "password"}, body) || !body["user"].isString() ||
      !body["password"].isString()) {
    return reply->Error(400, "a login is {\"user\":…,\"password\":…}");
  }
  const std::string name = body["user"].toString().toStdString();
  const auto found = std::find_if(config_.users.begin(), config_.users.end(),
                                  [&](const WebUser& user) { return user.name == name; });
  const WebUser* user = found == config_.users.end() ? nullptr : &*found;
  const std::string hash = user != nullptr ? user->hash : kNobodysHash;
  const std::string password = body["password"].toString().toStdString();
  QPointer<WebApi> self(this);
  std::shared_ptr<WebReply> pending(std::move(reply));
  const std::optional<WebUser> tried = user != nullptr ? std::optional(*user) : std::nullopt;
  const bool secure = request.https || request.forwardedProto == "https";
  std::thread([self, pending, password, hash, who = request.who, address, tried, secure] {
    const bool matches = PasswordMatches(password, hash);
    QMetaObject::invokeMethod(QCoreApplication::instance(), [=] {
      if (self) self->LoginChecked(who, address, tried, matches, secure, *pending);
    });
  }).detach();
}

void WebApi::LoginChecked(const std::string& who, const std::string& address,
                          const std::optional<WebUser>& tried, bool matches, bool secure,
                          WebReply& reply) {
  // The user may have gone from the file, or changed, meanwhile.
  const auto found = std::find(config_.users.begin(), config_.users.end(), tried);
  const WebUser* user = tried && found != config_.users.end() ? &*found : nullptr;
  if (user == nullptr || !matches) {
    if (throttle_.Failed(address)) {
      Log("page: 5 failed logins from " + address +
          " within a minute: its logins are refused for a minute");
    }
    logThrottle_.Log("failed login", address, "page: failed login from " + who);
    return reply.Error(401, "wrong name or password");
  }
  Caller caller;
  caller.user = *user;
  caller.role = user->role;
  caller.token = sessions_.Open(*user);
  logThrottle_.Log("login", user->name, "page: " + user->name + " logged in from " + who);
  std::string cookie = std::string(kCookie) + "=" + caller.token + "; HttpOnly; SameSite=Strict";
  if (secure) cookie += "; Secure";
  reply.Json(200, MeJson(caller), {{"Set-Cookie", QByteArray::fromStdString(cookie)}});
}

void WebApi::Logout(const Caller& caller, WebReply& reply) {
  if (!caller.token.empty()) {
    sessions_.Close(caller.token);
    server_.CloseStreams(caller.token);
  }
  reply.NoContent(
      {{"Set-Cookie", QByteArray(kCookie) + "=; Max-Age=0; HttpOnly; SameSite=Strict"}});
}

void WebApi::Events(const Caller& caller, std::unique_ptr<WebReply> reply) {
  const QByteArray first =
      QByteArray::fromStdString(Event("snapshot", logBook_.Seq(), UnitsJson()));
  server_.OpenStream(std::move(reply), caller.token, first);
}

// The answer to a command that the unit's status shows, or the reason it
// does not, with its HTTP status.
void WebApi::Answer(WebReply& reply, const std::string& unit, const UnitCommands::Result& result) {
  using Outcome = UnitCommands::Outcome;
  switch (result.outcome) {
    case Outcome::kShown:
      if (SharedUnit* shown = commands_.Find(unit)) return reply.Json(200, UnitJson(*shown));
      return reply.Error(503, "the unit was taken out");
    case Outcome::kLocked:
    case Outcome::kProtected:
      return reply.Error(409, result.text);
    case Outcome::kTimedOut:
      return reply.Error(504, result.text);
    case Outcome::kNotConnected:
    case Outcome::kQueueFull:
    case Outcome::kLost:
      return reply.Error(503, result.text);
  }
}

void WebApi::UnitCommand(const WebRequest& request, const Caller& caller,
                         std::unique_ptr<WebReply>& reply) {
  std::string id, what;
  int relay = 0;
  if (!ReadCommandPath(request.path, id, relay, what) ||
      (what != "input" && what != "name" && what != "protect") || commands_.Find(id) == nullptr) {
    return reply->Error(404, "no such unit or relay: " + request.path);
  }
  if (caller.role < Role::kOperate) return reply->Error(403, "a view user changes nothing");
  if (what == "protect") return Protect(request, caller, *commands_.Find(id), relay, *reply);
  UnitCommands::Request command{id,          relay,      std::nullopt, "", SourceOf(caller),
                                caller.By(), caller.By()};
  QJsonObject body;
  if (what == "input") {
    if (!ReadBody(request.body, {"input"}, body) || !body["input"].isDouble() ||
        (body["input"].toDouble() != 1 && body["input"].toDouble() != 2)) {
      return reply->Error(400, "an input is {\"input\":1} or {\"input\":2}");
    }
    command.input = int(body["input"].toDouble());
  } else {
    if (!ReadBody(request.body, {"name"}, body) || !body["name"].isString()) {
      return reply->Error(400, "a name is {\"name\":\"…\"}");
    }
    std::string problem;
    if (!kdt::EncodeRelayName(body["name"].toString().toStdString(), command.name, problem)) {
      return reply->Error(422, kdt::RelayLabel(relay) + " keeps its name: " + problem);
    }
  }
  std::shared_ptr<WebReply> pending(std::move(reply));
  QPointer<WebApi> self(this);
  commands_.Send(std::move(command), [self, pending, id](const UnitCommands::Result& result) {
    if (self) self->Answer(*pending, id, result);
  });
}

// {"on":true} protects the relay for the caller, {"on":false} releases it:
// the owner's release, or an admin's forced one.
void WebApi::Protect(const WebRequest& request, const Caller& caller, SharedUnit& unit, int relay,
                     WebReply& reply) {
  QJsonObject body;
  if (!ReadBody(request.body, {"on"}, body) || !body["on"].isBool()) {
    return reply.Error(400, "a protect is {\"on\":true} or {\"on\":false}");
  }
  const std::string& id = unit.Config().id;
  const Protects::Change change =
      body["on"].toBool() ? protects_.Hold(id, relay, caller.By())
                          : protects_.Release(id, relay, caller.By(), caller.role >= Role::kAdmin);
  if (change == Protects::Change::kHeldByOther) {
    return reply.Error(
        409, kdt::RelayLabel(relay) + " is protected by " + OwnerText(protects_.Of(id, relay)->by));
  }
  reply.Json(200, UnitJson(unit));
}

// "/api/salvos/evening/take": answered 200 with the take's answer, whatever
// its result, as the request itself has succeeded.
void WebApi::Take(const WebRequest& request, const Caller& caller,
                  std::unique_ptr<WebReply>& reply) {
  constexpr std::string_view kFront = "/api/salvos/", kTake = "/take";
  const std::string& path = request.path;
  const std::string id =
      path.ends_with(kTake) && path.size() > kFront.size() + kTake.size()
          ? path.substr(kFront.size(), path.size() - kFront.size() - kTake.size())
          : "";
  if (salvos_.Find(id) == nullptr) return reply->Error(404, "no such salvo: " + path);
  if (caller.role < Role::kOperate) return reply->Error(403, "a view user changes nothing");
  QJsonObject body;
  if (!request.body.isEmpty() && !ReadBody(request.body, {}, body)) {
    return reply->Error(400, "a take is {} or nothing");
  }
  std::shared_ptr<WebReply> pending(std::move(reply));
  QPointer<WebApi> self(this);
  salvos_.Take(id, caller.By(), [self, pending](const std::string& answer) {
    if (self) pending->Json(200, answer);
  });
}

CommandSource WebApi::SourceOf(const Caller& caller) {
  CommandSource& source = sources_[caller.By()];
  if (source == 0) source = NewCommandSource();
  return source;
}

// A reload may change the salvos too: the streams hear of it, so that every
// page lists them anew.
void WebApi::UnitsChanged(const std::vector<SharedUnit*>& units) {
  commands_.UnitsChanged(units);
  std::erase_if(shown_,
                [this](const auto& shown) { return commands_.Find(shown.first) == nullptr; });
  if (salvos_.All() == salvosShown_) return;
  salvosShown_ = salvos_.All();
  const std::uint64_t seq = logBook_.NextSeq();
  server_.Broadcast(
      QByteArray::fromStdString(Event("salvos", seq, "{\"seq\":" + std::to_string(seq) + "}")));
}

// Each change of a unit's connection or relays, once, to every stream; and
// the commands that wait for it.
void WebApi::UnitChanged(const SharedUnit& unit) {
  const std::string json = UnitJson(unit);
  std::string& shown = shown_[unit.Config().id];
  if (json != shown) {
    shown = json;
    const std::uint64_t seq = logBook_.NextSeq();
    server_.Broadcast(QByteArray::fromStdString(
        Event("unit", seq, "{\"seq\":" + std::to_string(seq) + ",\"unit\":" + json + "}")));
  }
  commands_.UnitChanged(unit);
}

void WebApi::Recorded(const LogEntry& entry) {
  server_.Broadcast(QByteArray::fromStdString(
      Event("log", entry.seq,
            "{\"seq\":" + std::to_string(entry.seq) + ",\"entry\":" + EntryJson(entry) + "}")));
}

}  // namespace bridge
