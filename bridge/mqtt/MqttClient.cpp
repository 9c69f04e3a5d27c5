#include "mqtt/MqttClient.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "core/Log.h"

namespace bridge {
namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kMiscPeriodMs = 1000;
constexpr int kQos = 1;
constexpr int kFarewellMs = 1000;  // at most, for the last messages to leave
constexpr int kFarewellSliceMs = 50;
// MQTT 5 reason codes of failures begin here; below, the library's own.
constexpr int kFirstErrorReason = 0x80;

// "host, process 1234": which bridge holds a CLIENTID's session.
std::string ThisInstance() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return std::string(host) + ", process " + std::to_string(getpid());
}
// At the program's end, for attempts still looking a name up.
constexpr auto kAttemptsGraceAtExit = std::chrono::seconds(2);

// A reason as the log lines give theirs: "connection refused".
std::string AsLogged(std::string text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = char(text[0] - 'A' + 'a');
  return text;
}

std::string Reason(int result) {
  return AsLogged(result == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(result));
}

// Connection attempts on their threads, counted, so that the library is not
// cleaned up under one.
struct Attempts {
  std::mutex mutex;
  std::condition_variable ended;
  int running = 0;
};

Attempts& RunningAttempts() {
  static Attempts attempts;
  return attempts;
}

}  // namespace

// The client of the library, destroyed by whoever holds it last: the
// MqttClient, or an attempt that outlives it.
struct MqttClient::Handle {
  mosquitto* mosq = nullptr;
  ~Handle() {
    if (mosq != nullptr) mosquitto_destroy(mosq);
  }
};

MqttLibrary::MqttLibrary() {
  mosquitto_lib_init();
}

MqttLibrary::~MqttLibrary() {
  Attempts& attempts = RunningAttempts();
  std::unique_lock lock(attempts.mutex);
  // One still looking up a slow name keeps the library: the program ends anyway.
  if (attempts.ended.wait_for(lock, kAttemptsGraceAtExit, [&] { return attempts.running == 0; })) {
    mosquitto_lib_cleanup();
  }
}

MqttClient::MqttClient(const MqttConfig& config, const std::string& willTopic,
                       const std::string& instanceTopic, Handlers handlers)
    : config_(config),
      willTopic_(willTopic),
      instanceTopic_(instanceTopic),
      instance_(ThisInstance()),
      handlers_(std::move(handlers)) {
  misc_.setInterval(kMiscPeriodMs);
  connect(&misc_, &QTimer::timeout, this,
          [this] { Drive([](mosquitto* m, int) { return mosquitto_loop_misc(m); }); });
  retry_.setSingleShot(true);
  connect(&retry_, &QTimer::timeout, this, &MqttClient::Connect);
  connack_.setSingleShot(true);
  connack_.setInterval(kConnackTimeoutMs);
  connect(&connack_, &QTimer::timeout, this, [this] {
    Lost("the broker took the connection but did not answer it within " +
         std::to_string(kConnackTimeoutMs / 1000) + " s");
  });
  std::string problem;
  if (!SetUp(problem)) {
    Log("mqtt: not connecting to " + Where() + ": " + problem);
    return;
  }
  Connect();
}

MqttClient::~MqttClient() {
  retry_.stop();
  misc_.stop();
  connack_.stop();
  if (connected_) SayFarewell();
  Unwatch(true);
  // An attempt on its thread keeps the handle, and frees it when it ends.
}

// Every step checked: a client that is not as configured does not connect,
// least of all in plain text when TLS was asked for.
bool MqttClient::SetUp(std::string& problem) {
  handle_ = std::make_shared<Handle>();
  handle_->mosq = mosquitto_new(config_.clientId.c_str(), true, this);
  mosq_ = handle_->mosq;
  if (mosq_ == nullptr) {
    problem = "the client cannot be made: " + AsLogged(std::strerror(errno));
    return false;
  }
  mosquitto_connect_v5_callback_set(mosq_, &MqttClient::OnConnect);
  mosquitto_disconnect_v5_callback_set(mosq_, &MqttClient::OnDisconnect);
  mosquitto_message_callback_set(mosq_, &MqttClient::OnMessage);
  mosquitto_publish_callback_set(mosq_, &MqttClient::OnPublish);
  static const std::string kOffline = "offline";
  int result = mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  if (result == MOSQ_ERR_SUCCESS) {
    result = mosquitto_will_set(mosq_, willTopic_.c_str(), int(kOffline.size()), kOffline.data(),
                                kQos, true);
  }
  if (result == MOSQ_ERR_SUCCESS && !config_.user.empty()) {
    result = mosquitto_username_pw_set(
        mosq_, config_.user.c_str(), config_.password.empty() ? nullptr : config_.password.c_str());
  }
  if (result != MOSQ_ERR_SUCCESS) {
    problem = "the client cannot be set up: " + Reason(result);
    return false;
  }
  if (!config_.caFile.empty()) {
    result = mosquitto_tls_set(mosq_, config_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (result != MOSQ_ERR_SUCCESS) {
      problem = "TLS with " + config_.caFile + " cannot be set up: " + Reason(result);
      return false;
    }
  }
  return true;
}

// Closes what the connection was watched by at once, or later when called
// from within one of its own signals.
void MqttClient::SayFarewell() {
  for (const auto& [topic, payload] : farewell_) {
    int id = 0;
    if (mosquitto_publish(mosq_, &id, topic.c_str(), int(payload.size()), payload.data(), kQos,
                          true) == MOSQ_ERR_SUCCESS) {
      unacknowledged_.insert(id);
    }
  }
  // Each waited for until the broker has it (briefly), then the goodbye.
  // Closing while the broker's acknowledgements are still unread would
  // reset the connection, and the broker could then lose the goodbye and
  // publish the last will instead.
  QElapsedTimer waited;
  waited.start();
  while (!unacknowledged_.empty() && connected_ && waited.elapsed() < kFarewellMs) {
    pollfd socket{mosquitto_socket(mosq_),
                  short(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
    if (poll(&socket, 1, kFarewellSliceMs) < 0) break;
    if ((socket.revents & POLLOUT) != 0 && mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS)
      break;
    if ((socket.revents & POLLIN) != 0 && mosquitto_loop_read(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
  }
  mosquitto_disconnect(mosq_);
}

void MqttClient::SetFarewell(std::vector<std::pair<std::string, std::string>> farewell) {
  farewell_ = std::move(farewell);
}

std::string MqttClient::Where() const {
  return config_.host + ":" + std::to_string(config_.port);
}

// The name looked up and the connection begun on a thread of their own: a
// slow resolver holds up nothing else. Until it is done, the client is the
// thread's alone.
void MqttClient::Connect() {
  connecting_ = true;
  {
    std::lock_guard lock(RunningAttempts().mutex);
    ++RunningAttempts().running;
  }
  QPointer<MqttClient> self(this);
  std::thread([self, handle = handle_, host = config_.host, port = config_.port] {
    const int result = mosquitto_connect_async(handle->mosq, host.c_str(), port, kKeepAliveSeconds);
    if (QCoreApplication* app = QCoreApplication::instance()) {
      QMetaObject::invokeMethod(app, [self, result] {
        if (self) self->Begun(result);
      });
    }
    Attempts& attempts = RunningAttempts();
    std::lock_guard lock(attempts.mutex);
    --attempts.running;
    attempts.ended.notify_all();
  }).detach();
}

void MqttClient::Begun(int result) {
  connecting_ = false;
  if (result != MOSQ_ERR_SUCCESS) {
    RetryLater("cannot connect to " + Where(), Reason(result));
    return;
  }
  Watch();
  misc_.start();
  connack_.start();
}

// The connection's socket, watched by the event loop.
void MqttClient::Watch() {
  Unwatch();
  const int fd = mosquitto_socket(mosq_);
  if (fd < 0) return;
  readable_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(readable_, &QSocketNotifier::activated, this, [this] { Drive(mosquitto_loop_read); });
  writable_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  connect(writable_, &QSocketNotifier::activated, this, [this] { Drive(mosquitto_loop_write); });
  WantWrite();
}

// A socket may go from within its own watcher's signal: they go later
// unless `now`, and with this object at the latest.
void MqttClient::Unwatch(bool now) {
  for (QSocketNotifier** notifier : {&readable_, &writable_}) {
    if (*notifier == nullptr) continue;
    (*notifier)->setEnabled(false);
    (*notifier)->disconnect(this);
    if (now) {
      delete *notifier;
    } else {
      (*notifier)->deleteLater();
    }
    *notifier = nullptr;
  }
}

// One step of the protocol; a failure, or the broker's end of the
// connection, is the end of it.
void MqttClient::Drive(int (*step)(mosquitto*, int)) {
  if (readable_ == nullptr) return;
  const int result = step(mosq_, 1);
  if (result != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq_) < 0) {
    Lost(!endReason_.empty() ? std::exchange(endReason_, {}) : Reason(result));
    return;
  }
  WantWrite();
}

void MqttClient::WantWrite() {
  if (writable_ != nullptr) writable_->setEnabled(mosquitto_want_write(mosq_));
}

void MqttClient::Lost(std::string reason) {
  if (!refusal_.empty()) reason = "refused by the broker: " + std::exchange(refusal_, {});
  Unwatch();
  misc_.stop();
  connack_.stop();
  const bool wasConnected = std::exchange(connected_, false);
  mosquitto_disconnect(mosq_);
  if (wasConnected && backoff_.Ended()) takenOverSaid_ = false;
  if (wasConnected && !takenOverSaid_) down_.Up();  // it was back: its loss is worth a line
  RetryLater(wasConnected ? "lost " + Where() : "cannot connect to " + Where(), reason);
}

// One line when the broker goes; a reminder now and then while it stays away.
void MqttClient::RetryLater(const std::string& what, const std::string& reason) {
  const std::chrono::milliseconds delay = backoff_.Next();
  if (const auto line = down_.Line(
          "mqtt: " + what + ": " + reason + "; trying again with a back-off of up to 30 s",
          "mqtt: still away: " + what + ": " + reason)) {
    Log(*line);
  }
  retry_.start(delay);
}

void MqttClient::OnConnect(mosquitto*, void* self, int result, int, const mosquitto_property*) {
  auto& client = *static_cast<MqttClient*>(self);
  client.connack_.stop();
  if (result != 0) {  // the broker's own reason; the read that brought it fails next
    client.refusal_ = AsLogged(mosquitto_reason_string(result));
    return;
  }
  client.connected_ = true;
  ++client.connections_;
  client.backoff_.Connected();
  if (!client.takenOverSaid_) Log("mqtt: connected to " + client.Where());
  client.Subscribe(client.instanceTopic_);  // who had the session before: its retained message
  client.Publish(client.instanceTopic_, client.instance_, true);
  if (client.handlers_.connected) client.handlers_.connected();
  client.WantWrite();
}

// The broker ended the connection. An MQTT 5 broker may say why (a reason
// of 0x80 and above); one that says another client took the session is
// heard as one whose instance topic names another bridge.
void MqttClient::OnDisconnect(mosquitto*, void* self, int reason, const mosquitto_property*) {
  auto& client = *static_cast<MqttClient*>(self);
  if (reason == MQTT_RC_SESSION_TAKEN_OVER) {
    client.TakenOver("another client");
  } else if (reason >= kFirstErrorReason) {
    client.endReason_ = "ended by the broker: " + AsLogged(mosquitto_reason_string(reason));
  }
}

// Another client with this CLIENTID: the broker gives the session to
// whichever connected last, and ends the other's, for as long as both run.
void MqttClient::TakenOver(const std::string& by) {
  endReason_ = by + " with this bridge's CLIENTID " + config_.clientId + " takes its session";
  if (!std::exchange(takenOverSaid_, true)) {
    Log("mqtt: " + endReason_ +
        ": two bridges with one CLIENTID take turns at the broker for "
        "ever; give each its own");
  }
}

// Who holds this CLIENTID's session: each connection says it on the
// instance topic, and reads there who had it before. Not every broker says
// why it ended a connection (Debian's mosquitto 2.0 does not), but every
// one keeps a retained message. At the first connection, another name there
// is the last run's, which may have ended without clearing it.
void MqttClient::Instance(const std::string& payload) {
  if (payload.empty() || payload == instance_ || connections_ < 2) return;
  TakenOver("another bridge (" + Quoted(payload) + ")");
}

void MqttClient::OnPublish(mosquitto*, void* self, int id) {
  static_cast<MqttClient*>(self)->unacknowledged_.erase(id);
}

void MqttClient::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& client = *static_cast<MqttClient*>(self);
  if (message->topic == nullptr) return;
  const std::string payload(static_cast<const char*>(message->payload),
                            std::size_t(std::max(message->payloadlen, 0)));
  if (message->topic == client.instanceTopic_) {
    client.Instance(payload);
  } else if (client.handlers_.message) {
    client.handlers_.message(message->topic, payload, message->retain);
  }
  client.WantWrite();
}

bool MqttClient::Publish(const std::string& topic, const std::string& payload, bool retain) {
  if (!connected_) return false;
  const int result = mosquitto_publish(mosq_, nullptr, topic.c_str(), int(payload.size()),
                                       payload.data(), kQos, retain);
  WantWrite();
  return result == MOSQ_ERR_SUCCESS;
}

bool MqttClient::Subscribe(const std::string& pattern) {
  if (!connected_) return false;
  const int result = mosquitto_subscribe_v5(mosq_, nullptr, pattern.c_str(), kQos,
                                            MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
  WantWrite();
  return result == MOSQ_ERR_SUCCESS;
}

}  // namespace bridge
