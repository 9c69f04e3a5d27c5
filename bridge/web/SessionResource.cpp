#include "web/SessionResource.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <algorithm>
#include <thread>

#include "Json.h"
#include "UnitProcIP.h"
#include "web/Body.h"

namespace bridge {
namespace {

constexpr const char* kCookie = "kdt212_session";
// Checked when a name is not a user's, so that a wrong name takes as long
// as a wrong password, and tells nothing.
constexpr const char* kNobodysHash =
    "$y$j9T$Mqte20tmgqH8HTeKHF.5E1$.Ws/cQS153zLsSirLDIcN2I.S.ogdHMcO126VyJJe52";

// The value of one cookie of a Cookie header.
std::string CookieValue(const QByteArray& header, const char* name) {
  for (const QByteArray& pair : header.split(';')) {
    const QByteArray trimmed = pair.trimmed();
    const qsizetype eq = trimmed.indexOf('=');
    if (eq > 0 && trimmed.left(eq) == name) return trimmed.mid(eq + 1).toStdString();
  }
  return {};
}

}  // namespace

std::string MeJson(const Caller& caller) {
  kdt::JsonObject me;
  if (caller.user) {
    me.AddText("user", caller.user->name);
  } else {
    me.AddNull("user");
  }
  return me.AddText("role", RoleName(caller.role)).AddText("owner", caller.AsOwner().Text()).Text();
}

SessionResource::SessionResource(const HttpConfig& config, EventStreams& streams)
    : config_(config), streams_(streams) {}

void SessionResource::Reconfigure(const HttpConfig& config) {
  config_ = config;
  for (const std::string& user : sessions_.Keep(config_.users)) {
    Log("page: the sessions of " + user + " end: the users file no longer has it so");
  }
  streams_.CloseIf([this](const std::string& token) {
    return !token.empty() && !sessions_.Find(token, config_.users);
  });
}

bool SessionResource::Authenticate(const WebRequest& request, Caller& caller) {
  if (!WithLogin()) return true;
  caller.token = CookieValue(request.cookie, kCookie);
  caller.user = sessions_.Find(caller.token, config_.users);
  if (!caller.user) return false;
  caller.role = caller.user->role;
  return true;
}

void SessionResource::Me(RouteCall& call) {
  call.reply->Json(200, MeJson(call.caller));
}

// The password is checked on a thread of its own: a hash takes tens of
// milliseconds by design, which no other client should wait for.
void SessionResource::Login(RouteCall& call) {
  const WebRequest& request = call.request;
  const std::string address = kdt::IPToStr(request.peer);
  if (!WithLogin()) return call.reply->Json(200, MeJson({}));
  if (throttle_.Refused(address)) {
    return call.reply->Error(429, "too many failed logins from this address: wait a minute");
  }
  QJsonObject body;
  if (!ReadBody(request.body, {"user", "password"}, body) || !body["user"].isString() ||
      !body["password"].isString()) {
    return call.reply->Error(400, "a login is {\"user\":…,\"password\":…}");
  }
  const std::string name = body["user"].toString().toStdString();
  const auto found = std::find_if(config_.users.begin(), config_.users.end(),
                                  [&](const WebUser& user) { return user.name == name; });
  const WebUser* user = found == config_.users.end() ? nullptr : &*found;
  const std::string hash = user != nullptr ? user->hash : kNobodysHash;
  const std::string password = body["password"].toString().toStdString();
  QPointer<SessionResource> self(this);
  std::shared_ptr<WebReply> pending(std::move(call.reply));
  const std::optional<WebUser> tried = user != nullptr ? std::optional(*user) : std::nullopt;
  std::thread([self, pending, password, hash, who = request.who, address, tried,
               secure = request.Secure()] {
    const bool matches = PasswordMatches(password, hash);
    QMetaObject::invokeMethod(QCoreApplication::instance(), [=] {
      if (self) self->LoginChecked(who, address, tried, matches, secure, *pending);
    });
  }).detach();
}

void SessionResource::LoginChecked(const std::string& who, const std::string& address,
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

void SessionResource::Logout(RouteCall& call) {
  if (!call.caller.token.empty()) {
    sessions_.Close(call.caller.token);
    streams_.Close(call.caller.token);
  }
  call.reply->NoContent(
      {{"Set-Cookie", QByteArray(kCookie) + "=; Max-Age=0; HttpOnly; SameSite=Strict"}});
}

}  // namespace bridge
