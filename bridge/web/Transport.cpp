#include "web/Transport.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <chrono>

#include "AddressValue.h"
#include "Json.h"
#include "UnitProcIP.h"

namespace bridge {
namespace {

using Clock = std::chrono::steady_clock;

constexpr QByteArrayView kHeadEnd = "\r\n\r\n";

qint64 ContentLength(const QByteArray& head) {
  for (const QByteArray& line : head.split('\n')) {
    const QByteArray field = line.trimmed().toLower();
    if (field.startsWith("content-length:")) return field.mid(15).trimmed().toLongLong();
  }
  return 0;
}

}  // namespace

// Takes each connection as the bridge decides: admitted or closed at once.
class HttpTransport::Listener : public QTcpServer {
 public:
  explicit Listener(HttpTransport& server) : QTcpServer(&server), server_(server) {}
  void Hand(QTcpSocket* socket) { addPendingConnection(socket); }

 protected:
  void incomingConnection(qintptr descriptor) override { server_.Admit(descriptor); }

 private:
  HttpTransport& server_;
};

// What the bridge keeps of a client's connection beside the server: the
// bounds of the request on its way, and whether it is an event stream.
// A child of its socket, it goes with it.
struct HttpTransport::Connection : public QObject {
  Connection(QTcpSocket* socket, std::uint32_t peerHost, std::string peerWho)
      : QObject(socket), host(peerHost), who(std::move(peerWho)) {}
  std::uint32_t host;
  std::string who;
  Clock::time_point lastActive = Clock::now();
  QByteArray head;      // of the request on its way, until its end is seen
  qint64 received = 0;  // bytes of the request on its way
  qint64 length = -1;   // its whole length, once its head is whole
  QTimer whole;         // the next request must be whole in time
};

HttpTransport::HttpTransport(const HttpConfig& config, Handler handler)
    : config_(config), handler_(std::move(handler)) {
  std::string problem;
  if (!config_.certFile.empty() && !LoadTls(problem)) {
    Log("page: not served: " + problem);
    return;
  }
  listener_ = new Listener(*this);
  Listen();
}

HttpTransport::~HttpTransport() = default;

bool HttpTransport::LoadTls(std::string& problem) {
  QFile certFile(QString::fromStdString(config_.certFile)),
      keyFile(QString::fromStdString(config_.keyFile));
  if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
    problem = "CERT or KEY cannot be read";
    return false;
  }
  const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll());
  const QByteArray keyPem = keyFile.readAll();
  QSslKey key(keyPem, QSsl::Rsa);
  if (key.isNull()) key = QSslKey(keyPem, QSsl::Ec);
  if (chain.isEmpty() || key.isNull()) {
    problem = chain.isEmpty() ? "CERT " + config_.certFile + " holds no certificate"
                              : "KEY " + config_.keyFile + " holds no RSA or EC key";
    return false;
  }
  tlsConfig_ = QSslConfiguration::defaultConfiguration();
  tlsConfig_.setLocalCertificateChain(chain);
  tlsConfig_.setPrivateKey(key);
  tls_ = true;
  return true;
}

void HttpTransport::Listen() {
  if (listener_ == nullptr || listener_->isListening()) return;
  const std::string where = EndpointText(config_.listen);
  if (listener_->listen(QHostAddress(kdt::NumericOrder(config_.listen.address)),
                        quint16(config_.listen.port))) {
    bind(listener_);  // the server takes only a listener that listens
    listenDown_.Up();
    Log(std::string("page: ") + (tls_ ? "https" : "http") + "://" + where + "/");
    return;
  }
  const std::string reason = listener_->errorString().toStdString();
  if (const auto line = listenDown_.Line(
          "page: cannot listen on " + where + ": " + reason + "; trying again every second",
          "page: still cannot listen on " + where + ": " + reason)) {
    Log(*line);
  }
  QTimer::singleShot(1000, this, &HttpTransport::Listen);
}

void HttpTransport::Reconfigure(const HttpConfig& config) {
  config_ = config;
  std::vector<QTcpSocket*> sockets;
  Places(sockets);
  for (QTcpSocket* socket : sockets) {
    const auto* connection = ConnectionOf(socket);
    if (connection != nullptr && !Allowed(config_.allow, connection->host)) socket->abort();
  }
}

void HttpTransport::KeepOpen(QTcpSocket* socket) {
  if (auto* connection = ConnectionOf(socket)) connection->whole.stop();
}

std::optional<HttpTransport::Peer> HttpTransport::PeerOf(QTcpSocket* socket) const {
  const auto* connection = ConnectionOf(socket);
  if (connection == nullptr) return std::nullopt;
  return Peer{connection->host, connection->who};
}

std::vector<ClientPlace> HttpTransport::Places(std::vector<QTcpSocket*>& sockets) {
  std::vector<ClientPlace> places;
  for (const auto& [socket, connection] : connections_) {
    if (socket->state() != QAbstractSocket::ConnectedState) continue;
    places.push_back({connection->host, connection->lastActive});
    sockets.push_back(socket);
  }
  return places;
}

HttpTransport::Connection* HttpTransport::ConnectionOf(QTcpSocket* socket) const {
  const auto found = connections_.find(socket);
  return found == connections_.end() ? nullptr : found->second;
}

// A client that ALLOW leaves out, or beyond MAXCLIENTS, is closed at once;
// one that is admitted goes to the server, watched.
void HttpTransport::Admit(qintptr descriptor) {
  QTcpSocket* socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
  if (!socket->setSocketDescriptor(descriptor)) {
    delete socket;
    return;
  }
  const std::uint32_t peer = kdt::FromNumericOrder(socket->peerAddress().toIPv4Address());
  const std::string who = kdt::IPToStr(peer) + ":" + std::to_string(socket->peerPort());
  std::vector<QTcpSocket*> sockets;
  const Admission admission = AdmitClient(config_.allow, config_.maxClients, peer, Places(sockets));
  if (admission.evict >= 0) {
    throttle_.Log("evicted", kdt::IPToStr(peer), "page: client closed: " + admission.evicted);
    sockets[std::size_t(admission.evict)]->abort();
  }
  if (!admission.admitted) {
    throttle_.Log("refused: " + KindOf(admission.refusal), kdt::IPToStr(peer),
                  "page: refused " + who + ": " + admission.refusal);
    socket->abort();
    socket->deleteLater();
    return;
  }
  Watch(socket, peer, who);
  if (tls_) {
    auto* secure = static_cast<QSslSocket*>(socket);
    secure->setSslConfiguration(tlsConfig_);
    secure->startServerEncryption();
  }
  listener_->Hand(socket);
}

// Before the server reads what comes, the bridge counts it: this watcher is
// connected first, so it runs first.
void HttpTransport::Watch(QTcpSocket* socket, std::uint32_t peer, const std::string& who) {
  auto* connection = new Connection(socket, peer, who);
  connections_[socket] = connection;
  connect(socket, &QObject::destroyed, this, [this, socket] { connections_.erase(socket); });
  connection->whole.setSingleShot(true);
  connection->whole.setInterval(kRequestTimeMs);
  connect(&connection->whole, &QTimer::timeout, socket, [this, socket] {
    Refuse(socket, 408, "Request Timeout", "the request did not arrive whole within 10 s");
  });
  connection->whole.start();  // a connection that sends nothing holds no place for long
  connect(socket, &QTcpSocket::readyRead, connection,
          [this, connection] { Received(*connection); });
  connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

// The request's length is known once its head is whole: its head's and
// the body's that Content-Length announces.
void HttpTransport::Received(Connection& connection) {
  auto* socket = static_cast<QTcpSocket*>(connection.parent());
  const QByteArray arrived = socket->peek(socket->bytesAvailable());
  connection.received += arrived.size();
  if (connection.length < 0) {
    connection.head += arrived;
    const qsizetype end = connection.head.indexOf(kHeadEnd);
    if ((end < 0 && connection.head.size() > kMostRequestBytes) || end > kMostRequestBytes) {
      return Refuse(socket, 431, "Request Header Fields Too Large",
                    "its request's head is over 16 KiB");
    }
    if (end < 0) return;
    connection.length = end + kHeadEnd.size() + ContentLength(connection.head.left(end));
    connection.head.clear();
  }
  if (connection.length > kMostRequestBytes || connection.received > kMostRequestBytes) {
    Refuse(socket, 413, "Content Too Large", "its request is over 16 KiB");
  }
}

// An answer of the bridge's own, outside the server (which has not parsed
// the request), then the end of the connection.
void HttpTransport::Refuse(QTcpSocket* socket, int status, const char* reason,
                           const std::string& why) {
  auto* connection = ConnectionOf(socket);
  if (connection != nullptr) {
    throttle_.Log("closed: " + why, kdt::IPToStr(connection->host),
                  "page: client " + connection->who + " closed: " + why);
  }
  const QByteArray body = QByteArray::fromStdString(kdt::JsonObject().AddText("error", why).Text());
  QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + " " + reason + "\r\n";
  for (const auto& [name, value] : SecurityHeaders(true)) answer += name + ": " + value + "\r\n";
  answer += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\nConnection: close\r\n\r\n" + body;
  socket->write(answer);
  socket->disconnectFromHost();  // once the answer is out
  QTimer::singleShot(1000, socket, [socket] { socket->abort(); });
}

bool HttpTransport::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
  auto* connection = ConnectionOf(socket);
  if (connection == nullptr) return false;
  // This request is whole: the next one is counted from its first byte,
  // and must be whole in time too.
  connection->whole.start();
  connection->head.clear();
  connection->received = 0;
  connection->length = -1;
  connection->lastActive = Clock::now();
  WebRequest web;
  web.get = request.method() == QHttpServerRequest::Method::Get;
  web.post = request.method() == QHttpServerRequest::Method::Post;
  web.path = request.url().path().toStdString();
  web.body = request.body();
  web.cookie = request.value("cookie");
  web.contentType = request.value("content-type");
  web.origin = request.value("origin");
  web.host = request.value("host");
  web.forwardedProto = request.value("x-forwarded-proto");
  web.peer = connection->host;
  web.who = connection->who;
  web.https = tls_;
  const bool api = web.path.starts_with("/api/");
  handler_(web, std::make_unique<WebReply>(makeResponder(request, socket), socket, api));
  return true;
}

void HttpTransport::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
  WebReply(makeResponder(request, socket), socket, true).Error(404, "nothing here");
}

}  // namespace bridge
