#include "MqttClient.h"

#include <mosquitto.h>

#include <poll.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

#include "Log.h"

namespace bridge {
namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kMiscPeriodMs = 1000;
constexpr int kQos = 1;
constexpr qint64 kDownReminderMs = 10 * 60 * 1000;
constexpr int kFarewellMs = 1000;  // at most, for the last messages to leave
constexpr int kFarewellSliceMs = 50;

// A reason as the log lines give theirs: "connection refused".
std::string AsLogged(std::string text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = char(text[0] - 'A' + 'a');
  return text;
}

std::string Reason(int result) {
  return AsLogged(result == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(result));
}

// A delay within a quarter of `ms` either way.
int WithJitter(int ms) {
  static std::mt19937 random{std::random_device{}()};
  return std::uniform_int_distribution<int>(ms * 3 / 4, ms * 5 / 4)(random);
}

}  // namespace

MqttLibrary::MqttLibrary() {
  mosquitto_lib_init();
}

MqttLibrary::~MqttLibrary() {
  mosquitto_lib_cleanup();
}

MqttClient::MqttClient(const MqttConfig& config, const std::string& willTopic, Handlers handlers)
    : config_(config), willTopic_(willTopic), handlers_(std::move(handlers)) {
  mosq_ = mosquitto_new(config_.clientId.c_str(), true, this);
  mosquitto_connect_callback_set(mosq_, &MqttClient::OnConnect);
  mosquitto_message_callback_set(mosq_, &MqttClient::OnMessage);
  mosquitto_publish_callback_set(mosq_, &MqttClient::OnPublish);
  static const std::string kOffline = "offline";
  mosquitto_will_set(mosq_, willTopic_.c_str(), int(kOffline.size()), kOffline.data(), kQos, true);
  if (!config_.user.empty()) {
    mosquitto_username_pw_set(mosq_, config_.user.c_str(),
                              config_.password.empty() ? nullptr : config_.password.c_str());
  }
  if (!config_.caFile.empty()) {
    mosquitto_tls_set(mosq_, config_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
  }
  misc_.setInterval(kMiscPeriodMs);
  connect(&misc_, &QTimer::timeout, this,
          [this] { Drive([](mosquitto* m, int) { return mosquitto_loop_misc(m); }); });
  retry_.setSingleShot(true);
  connect(&retry_, &QTimer::timeout, this, &MqttClient::Connect);
  Connect();
}

MqttClient::~MqttClient() {
  retry_.stop();
  misc_.stop();
  if (connected_) SayFarewell();
  Unwatch(true);
  mosquitto_destroy(mosq_);
}

// The last messages, each waited for until the broker has it (briefly),
// then the goodbye. Closing while the broker's acknowledgements are still
// unread would reset the connection, and the broker could then lose the
// goodbye and publish the last will instead.
void MqttClient::SayFarewell() {
  for (const auto& [topic, payload] : farewell_) {
    int id = 0;
    if (mosquitto_publish(mosq_, &id, topic.c_str(), int(payload.size()), payload.data(), kQos,
                          true) == MOSQ_ERR_SUCCESS) {
      unacknowledged_.insert(id);
    }
  }
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

void MqttClient::Connect() {
  const int result =
      mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, kKeepAliveSeconds);
  if (result != MOSQ_ERR_SUCCESS) {
    RetryLater("cannot connect to " + Where(), Reason(result));
    return;
  }
  Watch();
  misc_.start();
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

// One step of the protocol; a failure is the end of the connection.
void MqttClient::Drive(int (*step)(mosquitto*, int)) {
  if (readable_ == nullptr) return;
  const int result = step(mosq_, 1);
  if (result != MOSQ_ERR_SUCCESS) {
    Lost(Reason(result));
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
  const bool wasConnected = connected_;
  connected_ = false;
  mosquitto_disconnect(mosq_);
  if (wasConnected) downSaid_ = false;
  RetryLater(wasConnected ? "lost " + Where() : "cannot connect to " + Where(), reason);
}

// One line when the broker goes; a reminder now and then while it stays away.
void MqttClient::RetryLater(const std::string& what, const std::string& reason) {
  const int delay = WithJitter(nextRetryMs_);
  nextRetryMs_ = std::min(nextRetryMs_ * 2, kLongestRetryMs);
  if (!downSaid_) {
    Log("mqtt: " + what + ": " + reason + "; trying again with a back-off of up to 30 s");
    downSaid_ = true;
    reminded_.start();
  } else if (reminded_.elapsed() >= kDownReminderMs) {
    Log("mqtt: still away: " + what + ": " + reason);
    reminded_.start();
  }
  retry_.start(delay);
}

void MqttClient::OnConnect(mosquitto*, void* self, int result) {
  auto& client = *static_cast<MqttClient*>(self);
  if (result != 0) {  // the broker's own reason; the read that brought it fails next
    const std::string said = mosquitto_connack_string(result);  // "Connection Refused: why."
    client.refusal_ =
        AsLogged(said.substr(said.find(": ") == std::string::npos ? 0 : said.find(": ") + 2));
    return;
  }
  client.connected_ = true;
  client.nextRetryMs_ = kFirstRetryMs;
  client.downSaid_ = false;
  Log("mqtt: connected to " + client.Where());
  if (client.handlers_.connected) client.handlers_.connected();
  client.WantWrite();
}

void MqttClient::OnPublish(mosquitto*, void* self, int id) {
  static_cast<MqttClient*>(self)->unacknowledged_.erase(id);
}

void MqttClient::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& client = *static_cast<MqttClient*>(self);
  if (!client.handlers_.message || message->topic == nullptr) return;
  const std::string payload(static_cast<const char*>(message->payload),
                            std::size_t(std::max(message->payloadlen, 0)));
  client.handlers_.message(message->topic, payload, message->retain);
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
  const int result = mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), kQos);
  WantWrite();
  return result == MOSQ_ERR_SUCCESS;
}

}  // namespace bridge
