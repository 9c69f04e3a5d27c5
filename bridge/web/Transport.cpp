#include "web/Transport.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

#include "AddressValue.h"
#include "UnitProcIP.h"
#include "web/RequestOrigin.h"

namespace bridge {
namespace {

// Forward secrecy and authenticated encryption: TLS 1.3's suites, and of
// TLS 1.2's those with an ECDHE key exchange and GCM or ChaCha20-Poly1305.
QList<QSslCipher> StrongCiphers() {
  QList<QSslCipher> strong;
  for (const QSslCipher& cipher : QSslConfiguration::supportedCiphers()) {
    const bool tls13 = cipher.protocol() == QSsl::TlsV1_3;
    const bool aead =
        cipher.encryptionMethod().contains("GCM") || cipher.encryptionMethod().contains("CHACHA20");
    if (tls13 || (cipher.keyExchangeMethod() == "ECDH" && aead)) strong.push_back(cipher);
  }
  return strong;
}

// The values of every field of that name, joined by commas.
std::string AllOf(const HttpRequest& request, std::string_view name) {
  std::string joined;
  for (const auto& [field, value] : request.headers) {
    if (field != name) continue;
    if (!joined.empty()) joined += ',';
    joined += value;
  }
  return joined;
}

QByteArray FieldOf(const HttpRequest& request, std::string_view name) {
  const auto value = request.Header(name);
  return value ? QByteArray(value->data(), qsizetype(value->size())) : QByteArray();
}

}  // namespace

// Takes each connection as the bridge decides: admitted or closed at once.
class HttpTransport::Listener : public QTcpServer {
 public:
  explicit Listener(HttpTransport& server) : QTcpServer(&server), server_(server) {}

 protected:
  void incomingConnection(qintptr descriptor) override { server_.Admit(descriptor); }

 private:
  HttpTransport& server_;
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
  tlsConfig_.setProtocol(QSsl::TlsV1_2OrLater);
  tlsConfig_.setCiphers(StrongCiphers());
  tls_ = true;
  return true;
}

void HttpTransport::Listen() {
  if (listener_ == nullptr || listener_->isListening()) return;
  const std::string where = EndpointText(config_.listen);
  if (listener_->listen(QHostAddress(kdt::NumericOrder(config_.listen.address)),
                        quint16(config_.listen.port))) {
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
  for (const auto& [socket, connection] : connections_) {
    if (!Allowed(config_.allow, connection->Peer().host)) socket->abort();
  }
}

std::optional<ConnectionPeer> HttpTransport::PeerOf(QTcpSocket* socket) const {
  const auto found = connections_.find(socket);
  if (found == connections_.end()) return std::nullopt;
  return found->second->Peer();
}

std::vector<ClientPlace> HttpTransport::Places(std::vector<HttpConnection*>& connections) const {
  std::vector<ClientPlace> places;
  for (const auto& [socket, connection] : connections_) {
    if (socket->state() != QAbstractSocket::ConnectedState) continue;
    places.push_back({connection->Peer().host, connection->LastActive(), connection->MayGiveWay()});
    connections.push_back(connection);
  }
  return places;
}

// A client that ALLOW leaves out, or beyond MAXCLIENTS, is closed at once;
// one that is admitted gets a connection of its own.
void HttpTransport::Admit(qintptr descriptor) {
  QTcpSocket* socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
  if (!socket->setSocketDescriptor(descriptor)) {
    delete socket;
    return;
  }
  ConnectionPeer peer;
  peer.host = kdt::FromNumericOrder(socket->peerAddress().toIPv4Address());
  peer.local = kdt::FromNumericOrder(socket->localAddress().toIPv4Address());
  peer.who = kdt::IPToStr(peer.host) + ":" + std::to_string(socket->peerPort());
  std::vector<HttpConnection*> held;
  const Admission admission =
      AdmitClient(config_.allow, config_.maxClients, peer.host, Places(held));
  if (admission.evict >= 0) {
    HttpConnection* evicted = held[std::size_t(admission.evict)];
    throttle_.Log("evicted", kdt::IPToStr(evicted->Peer().host),
                  "page: client " + evicted->Peer().who + " closed: " + admission.evicted);
    evicted->Socket()->abort();
  }
  if (!admission.admitted) {
    throttle_.Log("refused: " + KindOf(admission.refusal), kdt::IPToStr(peer.host),
                  "page: refused " + peer.who + ": " + admission.refusal);
    socket->abort();
    socket->deleteLater();
    return;
  }
  auto* connection = new HttpConnection(
      socket, peer,
      [this](HttpConnection& asking, HttpRequest request) { Dispatch(asking, std::move(request)); },
      [this](const HttpConnection& closed, const std::string& why) {
        throttle_.Log("closed: " + why, kdt::IPToStr(closed.Peer().host),
                      "page: client " + closed.Peer().who + " closed: " + why);
      });
  connections_[socket] = connection;
  connect(socket, &QObject::destroyed, this, [this, socket] { connections_.erase(socket); });
  connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  if (tls_) {
    auto* secure = static_cast<QSslSocket*>(socket);
    secure->setSslConfiguration(tlsConfig_);
    secure->startServerEncryption();
  }
}

void HttpTransport::Dispatch(HttpConnection& connection, HttpRequest request) {
  const ConnectionPeer& peer = connection.Peer();
  const std::string host(request.Header("host").value_or(""));
  if (!HostAccepted(host, peer.local, config_.hosts)) {
    return WebReply(&connection, true, tls_)
        .Error(421, "this bridge is not " + (host.empty() ? std::string("a nameless host") : host) +
                        ": [HTTP] HOST names the names it is reached by");
  }
  WebRequest web;
  web.get = request.method == "GET" || request.method == "HEAD";
  web.post = request.method == "POST";
  web.path = request.path;
  web.query = request.query;
  web.body = QByteArray::fromStdString(request.body);
  web.cookie = FieldOf(request, "cookie");
  web.contentType = FieldOf(request, "content-type");
  web.origin = FieldOf(request, "origin");
  web.host = QByteArray::fromStdString(host);
  web.forwardedProto = FieldOf(request, "x-forwarded-proto");
  web.peer = ClientBehind(peer.host, AllOf(request, "x-forwarded-for"), config_.proxies);
  web.who =
      web.peer == peer.host ? peer.who : kdt::IPToStr(web.peer) + " (through " + peer.who + ")";
  web.https = tls_;
  const bool api = web.path.starts_with("/api/");
  handler_(web, std::make_unique<WebReply>(&connection, api, tls_));
}

}  // namespace bridge
