// The bridge's page and its HTTP interface ([HTTP]), on Qt's HTTP server,
// which parses every request (its head, its body, keep-alive) and writes the
// answers. What that server does not do in Qt 6.4 is done here, around it:
// - who may connect, and how many (ClientGate.h), on a listener of the
//   bridge's own that hands it only the clients it admits;
// - TLS, on that listener, with the configured certificate and key;
// - the bounds of a request: head and body at most 16 KiB (431 and 413,
//   then the connection closed), a request that has not arrived whole
//   within 10 s closed; the server itself reads whatever it is sent;
// - event streams that stay open: the server answers a request once and is
//   done with it, so a stream keeps its responder and the socket, which is
//   closed when its client leaves 256 KiB unread, and is sent a comment
//   every 15 s so that nobody takes it for dead.
// Everything runs on the event loop and nothing waits: no client slows
// another, the units' sessions or MQTT.
#pragma once

#include <QAbstractHttpServer>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "BridgeConfig.h"
#include "ClientGate.h"
#include "DownNotice.h"
#include "Log.h"
#include "LogBook.h"
#include "UnitConsumer.h"
#include "WebReply.h"

namespace bridge {

class WebApi;

// A request as the page's interface needs it.
struct WebRequest {
  bool get = false, post = false;
  std::string path;  // "/api/units"
  QByteArray body;
  QByteArray cookie, contentType, origin, host, forwardedProto;
  std::uint32_t peer = 0;  // the client's address value
  std::string who;         // "127.0.0.1:40000"
  bool https = false;
};

class WebServer : public QAbstractHttpServer, public UnitConsumer {
 public:
  static constexpr int kMostRequestBytes = 16 * 1024;
  static constexpr int kRequestTimeMs = 10000;
  static constexpr qint64 kMostUnreadEvents = 256 * 1024;
  static constexpr int kCommentEveryMs = 15000;

  WebServer(const HttpConfig& config, const BridgeServices& services, bool verbose);
  ~WebServer() override;

  const HttpConfig& Config() const { return config_; }
  // The same LISTEN and TLS, the rest of [HTTP] anew: users (sessions of
  // those removed or changed end), ALLOW (clients outside it go),
  // MAXCLIENTS.
  void Reconfigure(const HttpConfig& config);
  // Listens, unless it already does; said once when it cannot, and tried
  // again every second.
  void Listen();

  void UnitsChanged(const std::vector<SharedUnit*>& units) override;
  void UnitChanged(const SharedUnit& unit) override;
  void Recorded(const LogEntry& entry) override;

  // An event stream begins: the answer is kept, and the events that
  // follow go to it, until its client goes or `token`'s session ends.
  void OpenStream(std::unique_ptr<WebReply> reply, const std::string& token,
                  const QByteArray& first);
  void CloseStreams(const std::string& token);
  // Those whose session has ended (a reload that removed a user).
  void CloseEndedStreams();
  // Every stream, that each one's client knows where the bridge stands.
  void Broadcast(const QByteArray& event);

 protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
  void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

 private:
  class Listener;
  struct Connection;
  struct Stream {
    std::unique_ptr<WebReply> reply;
    std::string token;  // of its session; empty without USERS
  };

  void Admit(qintptr descriptor);
  void Watch(QTcpSocket* socket, std::uint32_t peer, const std::string& who);
  void Received(Connection& connection);
  void Refuse(QTcpSocket* socket, int status, const char* reason, const std::string& why);
  void SendComments();
  // The places that clients take now, and their sockets, in one order.
  std::vector<ClientPlace> Places(std::vector<QTcpSocket*>& sockets);
  Connection* ConnectionOf(QTcpSocket* socket) const;
  bool LoadTls(std::string& problem);

  HttpConfig config_;
  const bool verbose_;
  std::unique_ptr<WebApi> api_;
  Listener* listener_ = nullptr;  // the server's child
  bool tls_ = false;
  QSslConfiguration tlsConfig_;
  DownNotice listenDown_;
  LogThrottle throttle_;
  // Every client admitted, until its socket goes.
  std::unordered_map<QTcpSocket*, Connection*> connections_;
  std::vector<Stream> streams_;
  QTimer comments_;
};

}  // namespace bridge
