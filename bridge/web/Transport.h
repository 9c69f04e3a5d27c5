// The page's transport: a listener of the bridge's own, and around each
// client's connection (HttpConnection.h) what comes before any route:
// - who may connect, and how many (ClientGate.h): when the page is full, a
//   connection that holds no request in hand gives way to a new client;
// - TLS, with the configured certificate and key, ECDHE and AEAD ciphers
//   only;
// - whom a request is for (its Host, RequestOrigin.h: 421 for a name the
//   bridge is not reached by) and whom it comes from (behind a trusted
//   proxy, the client it names).
// Each request that passes goes to the handler it was made with, with the
// answer to give; it knows no route. Everything runs on the event loop and
// nothing waits: no client slows another, the units' sessions or MQTT.
#pragma once

#include <QObject>
#include <QSslConfiguration>
#include <QTcpServer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/ClientGate.h"
#include "core/DownNotice.h"
#include "core/Log.h"
#include "web/HttpConnection.h"
#include "web/Reply.h"
#include "web/Request.h"
#include "web/WebSection.h"

namespace bridge {

class HttpTransport : public QObject {
 public:
  using Handler = std::function<void(const WebRequest& request, std::unique_ptr<WebReply> reply)>;

  // Listens at once, and every second while it cannot.
  HttpTransport(const HttpConfig& config, Handler handler);
  ~HttpTransport() override;

  // ALLOW, MAXCLIENTS, PROXY and HOST anew (the listener is the same):
  // clients that ALLOW no longer names go.
  void Reconfigure(const HttpConfig& config);
  // Who is at the other end, for a log line.
  std::optional<ConnectionPeer> PeerOf(QTcpSocket* socket) const;

 private:
  class Listener;

  void Listen();
  void Admit(qintptr descriptor);
  void Dispatch(HttpConnection& connection, HttpRequest request);
  // The places that clients take now, and their connections, in one order.
  std::vector<ClientPlace> Places(std::vector<HttpConnection*>& connections) const;
  bool LoadTls(std::string& problem);

  HttpConfig config_;
  Handler handler_;
  Listener* listener_ = nullptr;  // a child
  bool tls_ = false;
  QSslConfiguration tlsConfig_;
  DownNotice listenDown_;
  LogThrottle throttle_;
  // Every client admitted, until its socket goes.
  std::unordered_map<QTcpSocket*, HttpConnection*> connections_;
};

}  // namespace bridge
