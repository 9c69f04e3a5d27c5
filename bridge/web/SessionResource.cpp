#include "web/SessionResource.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <utility>

#include "Json.h"
#include "UnitProcIP.h"
#include "web/Body.h"

namespace bridge {
namespace {

constexpr const char* kCookie = "kdt212_session";
// Checked when a name is not a user's and the file has no user at all.
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

namespace {

std::string Sha256(std::string_view text) {
  return QCryptographicHash::hash(QByteArrayView(text.data(), qsizetype(text.size())),
                                  QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

}  // namespace

SessionResource::SessionResource(const HttpConfig& config, EventStreams& streams,
                                 const std::string& keptIn)
    : config_(config), streams_(streams), sessions_(Sha256) {
  if (const std::string said = sessions_.KeepIn(keptIn); !said.empty()) Log(said);
  expiry_.setSingleShot(true);
  connect(&expiry_, &QTimer::timeout, this, &SessionResource::EndExpired);
}

void SessionResource::WatchExpiry() {
  const auto next = sessions_.NextEnd();
  if (!next) return expiry_.stop();
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - WebSessions::Clock::now());
  expiry_.start(std::max(left, std::chrono::milliseconds(0)));
}

// A session's end ends its streams, whatever ends it.
void SessionResource::EndExpired() {
  for (const std::string& token : sessions_.EndExpired()) streams_.Close(token);
  WatchExpiry();
}

void SessionResource::Reconfigure(const HttpConfig& config) {
  const std::vector<WebUser> before = std::exchange(config_.users, config.users);
  config_ = config;
  for (const std::string& user : sessions_.Keep(config_.users)) {
    Log("page: the sessions of " + user + " end: the users file no longer has it so");
  }
  streams_.CloseIf([this](const std::string& token) {
    return !token.empty() && !sessions_.Find(token, config_.users);
  });
  WatchExpiry();
  // A user whose role changed is told at once: its page offers what it may
  // do now, not what it could.
  streams_.Tell([&](const std::string& token) {
    Caller caller;
    caller.user = sessions_.Find(token, config_.users);
    const auto was = std::find_if(before.begin(), before.end(), [&](const WebUser& user) {
      return caller.user && user.name == caller.user->name;
    });
    if (!caller.user || was == before.end() || was->role == caller.user->role) return QByteArray();
    caller.role = caller.user->role;
    return QByteArray::fromStdString("event: me\ndata: " + MeJson(caller) + "\n\n");
  });
}

bool SessionResource::Authenticate(const WebRequest& request, Caller& caller) {
  if (!WithLogin()) return true;
  caller.session = sessions_.KeyOf(CookieValue(request.cookie, kCookie));
  caller.user = sessions_.Find(caller.session, config_.users);
  if (!caller.user) {
    caller.ended = sessions_.EndOf(caller.session);
    // A session found ended as it was asked for has a stream that ends too.
    if (!caller.session.empty()) streams_.Close(caller.session);
    return false;
  }
  caller.role = caller.user->role;
  return true;
}

void SessionResource::Me(RouteCall& call) {
  call.reply->Json(200, MeJson(call.caller));
}

// Refused before anything is hashed: while the address is refused, and
// while every place to check a password is taken.
void SessionResource::Login(RouteCall& call) {
  const WebRequest& request = call.request;
  if (!WithLogin()) return call.reply->Json(200, MeJson({}));
  QJsonObject body;
  if (!ReadBody(request.body, {"user", "password"}, body) || !body["user"].isString() ||
      !body["password"].isString()) {
    return call.reply->Error(400, "a login is {\"user\":…,\"password\":…}");
  }
  const std::string name = body["user"].toString().toStdString();
  const std::string password = body["password"].toString().toStdString();
  // crypt(3) reads a password up to its first NUL: what follows would not
  // count.
  if (password.find('\0') != std::string::npos || name.find('\0') != std::string::npos) {
    return call.reply->Error(400, "a name or password holds no NUL character");
  }
  const std::string address = kdt::IPToStr(request.peer);
  const LoginThrottle::Turn turn = throttle_.Begin(address, name, LoginThrottle::Clock::now());
  if (turn.refused) {
    return call.reply->Error(429, "too many failed logins from this address: wait a minute",
                             {{"Retry-After", "60"}});
  }
  auto attempt = std::make_shared<LoginAttempt>(LoginAttempt{
      .name = name,
      .address = address,
      .who = request.who,
      .secure = request.Secure(),
      .reply = std::move(call.reply),
  });
  attempt->gone = std::make_shared<std::atomic<bool>>(false);
  if (QTcpSocket* socket = attempt->reply->Socket()) {
    connect(socket, &QTcpSocket::disconnected, this, [gone = attempt->gone] { *gone = true; });
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(turn.wait);
  QTimer::singleShot(wait, this, [this, attempt, password] { CheckPassword(attempt, password); });
}

// An unknown name costs what a wrong password of a user of the file costs:
// the password is checked against a hash of the same kind and cost, and
// then counts for nothing.
void SessionResource::CheckPassword(const std::shared_ptr<LoginAttempt>& attempt,
                                    const std::string& password) {
  const WebUser* user = UserNamed(attempt->name);
  const std::string hash = user != nullptr         ? user->hash
                           : config_.users.empty() ? kNobodysHash
                                                   : config_.users[0].hash;
  const std::optional<WebUser> tried = user != nullptr ? std::optional(*user) : std::nullopt;
  const bool taken =
      checks_.Check(password, hash, attempt->gone, [this, attempt, tried](bool matches) {
        LoginChecked(*attempt, tried, matches && tried.has_value());
      });
  if (!taken) {
    throttle_.Cancel(attempt->address, attempt->name);
    attempt->reply->Error(503, "too many logins at once: try again in a second",
                          {{"Retry-After", "1"}});
  }
}

const WebUser* SessionResource::UserNamed(const std::string& name) const {
  const auto found = std::find_if(config_.users.begin(), config_.users.end(),
                                  [&](const WebUser& user) { return user.name == name; });
  return found == config_.users.end() ? nullptr : &*found;
}

void SessionResource::LoginChecked(LoginAttempt& attempt, const std::optional<WebUser>& tried,
                                   bool matches) {
  // The user may have gone from the file, or changed, meanwhile.
  const auto found = std::find(config_.users.begin(), config_.users.end(), tried);
  const WebUser* user = tried && found != config_.users.end() ? &*found : nullptr;
  const bool failed = user == nullptr || !matches;
  if (throttle_.End(attempt.address, attempt.name, failed, LoginThrottle::Clock::now())) {
    Log("page: 5 failed logins from " + attempt.address +
        " within a minute: its logins are refused for a minute");
  }
  if (failed) {
    logThrottle_.Log("failed login", attempt.address,
                     "page: failed login as " + Quoted(attempt.name) + " from " + attempt.who);
    return attempt.reply->Error(401, "wrong name or password");
  }
  Caller caller;
  caller.user = *user;
  caller.role = user->role;
  const WebSessions::Opened opened = sessions_.Open(*user);
  caller.session = opened.key;
  WatchExpiry();
  Log("page: " + user->name + " logged in from " + attempt.who);
  std::string cookie = std::string(kCookie) + "=" + opened.token + "; HttpOnly; SameSite=Strict";
  if (attempt.secure) cookie += "; Secure";
  attempt.reply->Json(200, MeJson(caller), {{"Set-Cookie", QByteArray::fromStdString(cookie)}});
}

void SessionResource::Logout(RouteCall& call) {
  if (!call.caller.session.empty()) {
    sessions_.Close(call.caller.session);
    streams_.Close(call.caller.session);
    WatchExpiry();
    Log("page: " + call.caller.user->name + " logged out from " + call.request.who);
  }
  call.reply->NoContent(
      {{"Set-Cookie", QByteArray(kCookie) + "=; Max-Age=0; HttpOnly; SameSite=Strict"}});
}

}  // namespace bridge
