// The page's transport: Qt's HTTP server, which parses every request (its
// head, its body, keep-alive) and writes the answers, and around it what
// that server does not do in Qt 6.4:
// - who may connect, and how many (ClientGate.h), on a listener of the
//   bridge's own that hands it only the clients it admits;
// - TLS, on that listener, with the configured certificate and key;
// - the bounds of a request: head and body at most 16 KiB (431 and 413,
//   then the connection closed), a request that has not arrived whole
//   within 10 s closed; the server itself reads whatever it is sent.
// Each whole request goes to the handler it was made with, with the answer
// to give; it knows no route. Everything runs on the event loop and nothing
// waits: no client slows another, the units' sessions or MQTT.
#pragma once

#include <QAbstractHttpServer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/ClientGate.h"
#include "core/DownNotice.h"
#include "core/Log.h"
#include "web/Reply.h"
#include "web/Request.h"
#include "web/WebSection.h"

namespace bridge {

class HttpTransport : public QAbstractHttpServer {
 public:
  static constexpr int kMostRequestBytes = 16 * 1024;
  static constexpr int kRequestTimeMs = 10000;

  using Handler = std::function<void(const WebRequest& request, std::unique_ptr<WebReply> reply)>;

  // Listens at once, and every second while it cannot.
  HttpTransport(const HttpConfig& config, Handler handler);
  ~HttpTransport() override;

  // ALLOW and MAXCLIENTS anew (the listener is the same): clients that
  // ALLOW no longer names go.
  void Reconfigure(const HttpConfig& config);
  // The connection carries an event stream and no more requests: it is no
  // longer held to the time a request takes.
  void KeepOpen(QTcpSocket* socket);
  // Who is at the other end, for a log line.
  struct Peer {
    std::uint32_t host = 0;
    std::string who;  // "127.0.0.1:40000"
  };
  std::optional<Peer> PeerOf(QTcpSocket* socket) const;

 protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
  void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

 private:
  class Listener;
  struct Connection;

  void Listen();
  void Admit(qintptr descriptor);
  void Watch(QTcpSocket* socket, std::uint32_t peer, const std::string& who);
  void Received(Connection& connection);
  void Refuse(QTcpSocket* socket, int status, const char* reason, const std::string& why);
  // The places that clients take now, and their sockets, in one order.
  std::vector<ClientPlace> Places(std::vector<QTcpSocket*>& sockets);
  Connection* ConnectionOf(QTcpSocket* socket) const;
  bool LoadTls(std::string& problem);

  HttpConfig config_;
  Handler handler_;
  Listener* listener_ = nullptr;  // the server's child
  bool tls_ = false;
  QSslConfiguration tlsConfig_;
  DownNotice listenDown_;
  LogThrottle throttle_;
  // Every client admitted, until its socket goes.
  std::unordered_map<QTcpSocket*, Connection*> connections_;
};

}  // namespace bridge
