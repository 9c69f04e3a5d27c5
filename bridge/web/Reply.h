// One answer of the bridge's page or HTTP interface, through Qt's HTTP
// server's responder, with the headers that every answer carries: a content
// security policy that allows nothing but the page's own files and no
// framing, no sniffing of types, no referrer; and no caching of the
// interface's answers. The client may have gone by the time an answer is
// ready (a command waits for the unit): then nothing is written.
#pragma once

#include <QByteArray>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTcpSocket>
#include <string>
#include <utility>
#include <vector>

#include "core/Result.h"

namespace bridge {

using HttpHeaders = std::vector<std::pair<QByteArray, QByteArray>>;

// What every answer carries; `api` adds what the interface's carry.
HttpHeaders SecurityHeaders(bool api);

class WebReply {
 public:
  WebReply(QHttpServerResponder responder, QTcpSocket* socket, bool api)
      : responder_(std::move(responder)), socket_(socket), api_(api) {}

  void Json(int status, const std::string& json, const HttpHeaders& extra = {});
  // {"error":"one line in words"}
  void Error(int status, const std::string& message);
  // What the core refused, with the status that says why: 404 for what is
  // not there, 409 for a relay that is locked or another's, 422 for a name
  // the unit cannot take, 503 while the unit cannot be reached, 504 when it
  // did not show a change in time.
  void Refused(const Result& refused);
  void NoContent(const HttpHeaders& extra = {});
  void File(const QByteArray& body, const QByteArray& type);
  // The head of an event stream, its first event with it; what follows goes
  // by Event().
  void StartStream(const QByteArray& first);
  void Event(const QByteArray& text);

  bool Gone() const { return socket_.isNull() || !socket_->isOpen(); }
  QTcpSocket* Socket() const { return socket_.data(); }

 private:
  void Send(int status, const QByteArray& type, const QByteArray& body, const HttpHeaders& extra);

  QHttpServerResponder responder_;
  QPointer<QTcpSocket> socket_;
  const bool api_;
};

}  // namespace bridge
